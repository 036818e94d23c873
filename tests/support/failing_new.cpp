// Linked into a copy of the program to run out of memory on purpose: when
// OSTREL_FAIL_ALLOCATION is N, allocation number N (counted from 0) and
// every one after it fail, as they would once memory is exhausted.
#include <cstdlib>
#include <new>

namespace {

long allocations_left() {
  static const long limit = [] {
    const char* text = std::getenv("OSTREL_FAIL_ALLOCATION");
    return text ? std::atol(text) : -1;
  }();
  static long made = 0;
  if (limit < 0) return 1;
  return limit - made++;
}

}  // namespace

void* operator new(std::size_t size) {
  if (allocations_left() <= 0) throw std::bad_alloc();
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
