// Fuzz target of the form variable decoder: splitting and decoding a request
// text in place, and the whole constructor on POST, GET and other methods.
// Every map is compared with a plain model of the decoding written on
// std::string, and every key and value must point into the request text.
//
// The first input byte picks the case, the rest is the request:
//   0  split() on a copy of the text with its NUL at n
//   1  POST, CONTENT_LENGTH the body's size
//   2  POST, CONTENT_LENGTH the text before the first "\n", body the rest
//   3  POSTX, as 2 (only the first four bytes of the method count)
//   4  POST without CONTENT_LENGTH
//   5  GET or GETS (by the next byte's low bit), QUERY_STRING the text up to a NUL
//   6  another method: HEAD, post or the empty value
//   7  REQUEST_METHOD unset
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cgi_tools/cgi.hpp"
#include "fuzz/check.hpp"

namespace {

using form_var_map = std::map<char*, char*, cgi_tools::form_var_comp>;
using decoder = cgi_tools::cgi<form_var_map>;
using model_map = std::map<std::string, std::string>;
using cgi_tools::fault;

constexpr int limit = 3000;

std::string up_to_nul(const std::string& text) { return text.substr(0, text.find('\0')); }

// The field decoding as a model: "+" a space, "%XY" one byte when two bytes
// follow, anything else as it stands; the field ends at its first NUL.
std::string model_decode(const std::string& raw) {
  std::string field = up_to_nul(raw);
  std::string out;
  for (std::size_t i = 0; i < field.size();) {
    if (field[i] == '+') {
      out += ' ';
      i += 1;
    } else if (field[i] == '%' && i + 2 < field.size()) {
      int byte = 16 * cgi_tools::hex_value(static_cast<unsigned char>(field[i + 1])) +
                 cgi_tools::hex_value(static_cast<unsigned char>(field[i + 2]));
      out += static_cast<char>(byte & 0xFF);
      i += 3;
    } else {
      out += field[i];
      i += 1;
    }
  }
  return up_to_nul(out);
}

// The splitting as a model: a name runs to "=" (through "&" and NUL), a value
// to "&" or NUL, and a rest without "=" is a name with an empty value.
model_map model_split(const std::string& text) {
  model_map pairs;
  std::size_t n = text.size(), p = 0;
  while (p < n) {
    std::size_t start = p;
    while (p < n && text[p] != '=') ++p;
    if (p == n) {
      pairs[model_decode(text.substr(start))] = "";
      break;
    }
    std::string name = text.substr(start, p - start);
    std::size_t value_start = ++p;
    while (p < n && text[p] != '&' && text[p] != '\0') ++p;
    pairs[model_decode(name)] = model_decode(text.substr(value_start, p - value_start));
    ++p;
  }
  return pairs;
}

bool inside(const char* pointer, const char* text, std::size_t n) {
  return pointer >= text && pointer <= text + n;
}

// The decoder's map equals the model's, and all of it lies in the text.
void check_map(const form_var_map& vars, const char* text, std::size_t n, const model_map& want) {
  FUZZ_CHECK(vars.size() == want.size());
  for (const auto& entry : vars) {
    FUZZ_CHECK(entry.second != nullptr);
    FUZZ_CHECK(inside(entry.first, text, n));
    FUZZ_CHECK(inside(entry.second, text, n));
    auto found = want.find(entry.first);
    FUZZ_CHECK(found != want.end());
    FUZZ_CHECK(found->second == entry.second);
  }
}

// decode on a field of exactly its own size: never longer, as the model says.
void check_decode(const std::string& raw) {
  std::string field = up_to_nul(raw);
  std::vector<char> copy(field.begin(), field.end());
  copy.push_back('\0');
  cgi_tools::decode(copy.data());
  FUZZ_CHECK(std::strlen(copy.data()) <= field.size());
  FUZZ_CHECK(copy.data() == model_decode(field));
}

// An environment variable set from a buffer of our own: putenv keeps the
// pointer, where setenv would keep a copy of every value ever set.
class env_var {
 public:
  env_var(const char* name, const std::string& value) : name_(name) {
    std::string entry = std::string(name) + "=" + up_to_nul(value);
    text_.assign(entry.begin(), entry.end());
    text_.push_back('\0');
    putenv(text_.data());
  }
  ~env_var() { unsetenv(name_); }
  char* value() { return text_.data() + std::strlen(name_) + 1; }
  env_var(const env_var&) = delete;
  env_var& operator=(const env_var&) = delete;

 private:
  const char* name_;
  std::vector<char> text_;
};

void set_method(const char* method) {
  if (method)
    setenv("REQUEST_METHOD", method, 1);  // few distinct values, so no growth
  else
    unsetenv("REQUEST_METHOD");
}

// The constructor with a body on a stream of its own; the fault it reports.
fault construct(decoder*& made, const std::string& body) {
  std::vector<char> bytes(body.begin(), body.end());
  std::FILE* in = fmemopen(bytes.empty() ? nullptr : bytes.data(), bytes.size(), "r");
  FUZZ_CHECK(in != nullptr);
  fault outcome = fault::none;
  made = new decoder(limit, in, outcome);
  std::fclose(in);
  return outcome;
}

void split_case(const std::string& text) {
  std::size_t n = text.size() > limit ? limit : text.size();
  std::vector<char> copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  copy.push_back('\0');
  set_method("HEAD");  // no request of its own, so split() gets the text alone
  decoder* d = nullptr;
  FUZZ_CHECK(construct(d, "") == fault::none);
  d->split(copy.data(), n);
  check_map(d->form_vars, copy.data(), n, model_split(text.substr(0, n)));
  FUZZ_CHECK(copy[n] == '\0');
  delete d;
  check_decode(text.substr(0, n));
}

// What a POST of body with CONTENT_LENGTH declared must give.
void post_case(const char* method, const std::string& declared, const std::string& body,
               bool with_length) {
  set_method(method);
  env_var* length = with_length ? new env_var("CONTENT_LENGTH", declared) : nullptr;
  long n = with_length ? std::strtol(length->value(), nullptr, 10) : 0;
  decoder* d = nullptr;
  fault outcome = construct(d, body);
  FUZZ_CHECK(d->is_post);
  if (!with_length) {
    FUZZ_CHECK(outcome == fault::no_length);
  } else if (n > limit) {
    FUZZ_CHECK(outcome == fault::too_long);
  } else if (n <= 0 || static_cast<std::size_t>(n) > body.size()) {
    FUZZ_CHECK(outcome == fault::unreadable);  // nothing to read, or a short body
  } else {
    std::size_t size = static_cast<std::size_t>(n);
    FUZZ_CHECK(outcome == fault::none);
    FUZZ_CHECK(d->query != nullptr);
    FUZZ_CHECK(d->query[size] == '\0');
    check_map(d->form_vars, d->query, size, model_split(body.substr(0, size)));
  }
  if (outcome != fault::none) FUZZ_CHECK(d->form_vars.empty());
  delete d;
  delete length;
}

void get_case(const char* method, const std::string& text) {
  set_method(method);
  env_var query("QUERY_STRING", text);
  std::string raw = up_to_nul(text);
  decoder* d = nullptr;
  fault outcome = construct(d, "");
  FUZZ_CHECK(!d->is_post);
  if (raw.size() > limit) {
    FUZZ_CHECK(outcome == fault::query_too_long);
  } else {
    FUZZ_CHECK(outcome == fault::none);
    FUZZ_CHECK(d->query == query.value());  // decoded where it lies, not copied
    check_map(d->form_vars, d->query, raw.size(), model_split(raw));
  }
  delete d;
}

void other_case(const char* method) {
  set_method(method);
  decoder* d = nullptr;
  fault outcome = construct(d, "a=1");
  FUZZ_CHECK(outcome == (method ? fault::none : fault::no_method));
  FUZZ_CHECK(d->form_vars.empty());
  FUZZ_CHECK(!d->is_post);
  delete d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  int choice = data[0] % 8;
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  int second = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]);
  std::size_t line_end = rest.find('\n');
  std::string declared = line_end == std::string::npos ? rest : rest.substr(0, line_end);
  std::string after = line_end == std::string::npos ? "" : rest.substr(line_end + 1);
  switch (choice) {
    case 0:
      split_case(rest);
      break;
    case 1:
      post_case("POST", std::to_string(rest.size()), rest, true);
      break;
    case 2:
      post_case("POST", declared, after, true);
      break;
    case 3:
      post_case("POSTX", declared, after, true);
      break;
    case 4:
      post_case("POST", "", rest, false);
      break;
    case 5:
      get_case(second & 1 ? "GETS" : "GET", rest);
      break;
    case 6:
      other_case(second % 3 == 0 ? "HEAD" : second % 3 == 1 ? "post" : "");
      break;
    case 7:
      other_case(nullptr);
      break;
  }
  return 0;
}
