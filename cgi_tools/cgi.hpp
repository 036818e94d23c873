// Form variable decoder: turns one CGI request into a map of form variables.
#pragma once

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

namespace cgi_tools {

// Orders form variable names byte by byte, case included, as strcmp does.
struct form_var_comp {
  bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
};

// Why a request cannot be decoded. Each fault has one fixed answer (fault_text).
enum class fault {
  none,
  no_method,       // REQUEST_METHOD not set
  no_length,       // POST without CONTENT_LENGTH
  too_long,        // POST body declared longer than the limit
  no_memory,       // no block for the POST body
  unreadable,      // POST body not delivered whole
  query_too_long,  // GET query text longer than the limit
  late,            // POST body not whole within its time limit: answered as unreadable
};

struct fault_answer {
  const char* text;
  bool on_stderr;
};

// The fixed text of a fault and the standard stream it goes to.
inline fault_answer fault_text(fault f) {
  switch (f) {
    case fault::no_method:
      return {"\nMust run as a cgi...\n", true};
    case fault::no_length:
      return {"CONTENT_LENGTH = null", true};
    case fault::too_long:
      return {"Your message is too long.. please shorten it. Thanks!", false};
    case fault::no_memory:
      return {"Unable to allocate memory for the querrey string.\n</BODY></HTML>", false};
    case fault::unreadable:
    case fault::late:
      return {"Unable to read from the input stream.", false};
    case fault::query_too_long:
      return {"\nYour message is too long.. please shorten it. Thanks!", false};
    case fault::none:
      break;
  }
  return {"", false};
}

// Writes the fault's text with one write, flushes, and ends the process with status 1.
[[noreturn]] inline void stop(fault f) {
  fault_answer answer = fault_text(f);
  std::FILE* stream = answer.on_stderr ? stderr : stdout;
  std::fwrite(answer.text, 1, std::strlen(answer.text), stream);
  std::fflush(stream);
  std::exit(1);
}

// Value of one hex digit of a percent escape. Nothing is validated: any byte
// goes through the same formula, so "%zz" is 'S' and "%G0" a NUL byte.
inline int hex_value(unsigned char c) {
  return (c >= 0x41 && c <= 0x7F) ? (c & 0xDF) - 55 : c - 48;
}

// Decodes one NUL-terminated field in place: "+" is a space, "%XY" one byte.
// A "%" with fewer than two bytes left in the field is kept as it stands.
inline void decode(char* field) {
  const char* in = field;
  char* out = field;
  while (*in) {
    if (*in == '+') {
      *out++ = ' ';
      ++in;
    } else if (*in == '%' && in[1] && in[2]) {
      int byte = 16 * hex_value(static_cast<unsigned char>(in[1])) +
                 hex_value(static_cast<unsigned char>(in[2]));
      *out++ = static_cast<char>(static_cast<unsigned char>(byte));  // low eight bits
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
}

// CONTENT_LENGTH as a number: leading blanks and a sign allowed, trailing text
// ignored, 0 when it does not begin with a number. Values beyond the range of
// long saturate, so a huge length is too long rather than wrapping around.
inline long declared_length(const char* text) { return std::strtol(text, nullptr, 10); }

// Longest wait for a POST body when the caller names none. Web servers
// buffer a body or time out a slow client themselves; this is the last guard.
inline constexpr std::chrono::milliseconds body_time_limit{30000};

// Waits, within the time limit that started at first, until fd has
// something to read; false when the time ran out first.
inline bool body_arrives(int fd, std::chrono::milliseconds time_limit,
                         std::optional<std::chrono::steady_clock::time_point>& deadline) {
  if (!deadline) deadline = std::chrono::steady_clock::now() + time_limit;
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// What became of a POST body.
enum class body { whole, cut_short, late };

// Reads exactly n bytes of a POST body within time_limit. A web server hands
// the body over as a file or a pipe; from a pipe, a client that stops
// sending must not hold the process. What is there already is taken without
// a wait, so the time limit costs nothing until something has to be waited
// for. A stream without a descriptor (as tests use) is read as it is.
inline body read_body(std::FILE* in, char* into, std::size_t n,
                      std::chrono::milliseconds time_limit) {
  int fd = fileno(in);
  if (fd < 0) return std::fread(into, n, 1, in) == 1 ? body::whole : body::cut_short;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  std::size_t have = 0;
  while (have < n) {
    iovec rest{into + have, n - have};
    ssize_t got = ::preadv2(fd, &rest, 1, -1, RWF_NOWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EOPNOTSUPP)) {
      if (!body_arrives(fd, time_limit, deadline)) return body::late;
      got = ::read(fd, into + have, n - have);
    }
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return body::cut_short;
    have += static_cast<std::size_t>(got);
  }
  return body::whole;
}

template <class Map>
class cgi {
 public:
  Map form_vars;
  char* query = nullptr;
  bool is_post = false;
  char* cur_name = nullptr;
  char* cur_value = nullptr;

  // Reads and decodes the request that the CGI environment describes; on an
  // unusable request (a POST body not whole within body_time included)
  // writes the fault's text and ends the process.
  explicit cgi(const int& limit, std::chrono::milliseconds body_time = body_time_limit) {
    fault f = load_or_release(limit, stdin, body_time);
    if (f != fault::none) stop(f);
  }

  // The same, reading a POST body from `in`, but reports a fault in `outcome`
  // instead of ending the process, so that its caller answers it in its own
  // way, and tests and fuzzers run it in one process.
  cgi(const int& limit, std::FILE* in, fault& outcome,
      std::chrono::milliseconds body_time = body_time_limit) {
    outcome = load_or_release(limit, in, body_time);
  }

  ~cgi() {
    if (is_post) delete[] query;
  }

  cgi(const cgi&) = delete;
  cgi& operator=(const cgi&) = delete;

  // Splits the n bytes of text (text[n] is NUL) into name=value pairs,
  // decodes each in place and enters it; a later pair of the same name wins.
  void split(char* text, std::size_t n) {
    std::size_t p = 0;
    while (p < n) {
      cur_name = text + p;
      while (p < n && text[p] != '=') ++p;
      if (p == n) {
        cur_value = text + n;  // no "=" left: the rest is a name with an empty value
        p = n + 1;
      } else {
        text[p++] = '\0';
        cur_value = text + p;
        while (p < n && text[p] != '&' && text[p] != '\0') ++p;
        text[p++] = '\0';
      }
      decode(cur_name);
      decode(cur_value);
      form_vars[cur_name] = cur_value;
    }
  }

 private:
  // A map entry that cannot be allocated throws out of the constructor, and
  // then no destructor runs: the block of a POST is released here.
  fault load_or_release(int limit, std::FILE* in, std::chrono::milliseconds body_time) {
    try {
      return load(limit, in, body_time);
    } catch (...) {
      if (is_post) delete[] query;
      throw;
    }
  }

  fault load(int limit, std::FILE* in, std::chrono::milliseconds body_time) {
    const char* method = std::getenv("REQUEST_METHOD");
    if (!method) return fault::no_method;
    if (std::strncmp(method, "POST", 4) == 0) return load_post(limit, in, body_time);
    if (std::strncmp(method, "GET", 3) == 0) return load_get(limit);
    return fault::none;  // another method: an empty form
  }

  fault load_post(long limit, std::FILE* in, std::chrono::milliseconds body_time) {
    is_post = true;
    const char* declared = std::getenv("CONTENT_LENGTH");
    if (!declared) return fault::no_length;
    long n = declared_length(declared);
    if (n > limit) return fault::too_long;
    // No body of zero bytes is ever read whole, and a negative length must
    // not size an allocation or a read.
    if (n <= 0) return fault::unreadable;
    query = new (std::nothrow) char[static_cast<std::size_t>(n) + 1];
    if (!query) return fault::no_memory;
    body got = read_body(in, query, static_cast<std::size_t>(n), body_time);
    if (got != body::whole) return got == body::late ? fault::late : fault::unreadable;
    query[n] = '\0';
    split(query, static_cast<std::size_t>(n));
    return fault::none;
  }

  fault load_get(long limit) {
    static char empty_query[1] = "";
    char* text = std::getenv("QUERY_STRING");
    query = text ? text : empty_query;
    std::size_t n = std::strlen(query);
    if (limit < 0 || n > static_cast<std::size_t>(limit)) return fault::query_too_long;
    if (n > 0) split(query, n);  // in place, in the environment's own storage
    return fault::none;
  }
};

}  // namespace cgi_tools
