// What the fuzz targets share: a check that stops the run with the failed
// condition, in every build (assert would vanish in the release build).
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : fuzz_fail(#condition, __FILE__, __LINE__))
