// ostrel-export: the request log, or the spam log, as CSV for a spreadsheet
// or as JSON Lines, streamed a block at a time in constant memory.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "log_tools/export_format.hpp"
#include "log_tools/log_record.hpp"
#include "ostrel/config.hpp"

namespace {

using namespace log_tools;

// Exit statuses.
constexpr int all_exported = 0;
constexpr int lines_skipped = 1;
constexpr int failed = 2;  // a usage error, or a file that cannot be read or written

// Reads and writes go in blocks this large: few system calls, and a block
// still fits the cache beside the other.
constexpr std::size_t block_size = std::size_t{256} * 1024;

// The most one record takes once exported: every field as a JSON string,
// with the keys, braces and LF.
constexpr std::size_t longest_export(std::size_t longest_line) {
  return json_string_room(longest_line) + 64;
}

// A log of a million bad lines must not bury the few worth reading.
constexpr unsigned long most_lines_named = 100;

constexpr char usage_text[] = "usage: ostrel-export [--json | --bom] [--received] [FILE]\n";

constexpr char help_text[] = R"(usage: ostrel-export [--json | --bom] [--received] [FILE]

Writes the records of an ostrel request log or spam log, read from FILE or,
without FILE or with -, from standard input, to standard output:

  (default)  CSV (RFC 4180) for a spreadsheet: a header row, every cell
             quoted, CR LF after each record, real line breaks inside
             cells. A cell that starts with = + - @, a tab or a CR gets an
             apostrophe in front, so that a spreadsheet shows it as text
             instead of running it as a formula. The bytes of the values
             are written as logged: UTF-8, unless the log holds other bytes.
  --bom      start the CSV with a UTF-8 byte order mark, which spreadsheets
             need to read UTF-8; not with --json (JSON has none).
  --received a CSV column "received" with the UTC time each record was
             received, empty for a record without one. On by default when
             ostrel logs times (OSTREL_LOG_TIME); without the column, a
             record with a time is left out.
  --json     JSON Lines: one object per record with the keys name, email,
             subject and message, and received for a record with a time;
             the values as logged, no apostrophe. Each byte sequence that
             is not well-formed UTF-8 becomes one U+FFFD per maximal
             ill-formed part (as Unicode recommends), so the JSON is valid.
  --help     this text.

The log writes a line break in a value as the two characters \n (a CR as
\r) and a typed backslash as it is, so a typed \n and a line break cannot
be told apart: both come out as a line break. A log saved with CR LF line
ends reads as one with LF.

A line that is not a record as ostrel writes it is named on standard error,
"ostrel-export: line N: why", and left out; the others are exported. After
100 such lines, one more line gives how many more were left out.

Exit status: 0 all lines exported, 1 some lines left out, 2 a usage error or
a file that could not be read or written.
)";

struct options {
  bool json = false;
  bool bom = false;
  bool received = false;
  bool help = false;
  const char* path = nullptr;  // standard input when null
};

// False on an unknown option or a second file.
bool parse_options(int argc, char** argv, options& chosen) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--json") {
      chosen.json = true;
    } else if (arg == "--bom") {
      chosen.bom = true;
    } else if (arg == "--received") {
      chosen.received = true;
    } else if (arg == "--help") {
      chosen.help = true;
    } else if (arg == "-" || arg.empty() || arg[0] != '-') {
      if (chosen.path) return false;
      chosen.path = argv[i];
    } else {
      return false;
    }
  }
  return !(chosen.json && chosen.bom);
}

void complain(const std::string& text) {
  std::string line = "ostrel-export: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// Names the first bad lines on standard error and counts the rest.
class bad_lines {
 public:
  void report(unsigned long number, const std::string& why) {
    if (++count_ <= most_lines_named) complain("line " + std::to_string(number) + ": " + why);
  }

  // The exit status once the export is done, the lines not named counted.
  int status() const {
    unsigned long unnamed = count_ > most_lines_named ? count_ - most_lines_named : 0;
    if (unnamed > 0)
      complain(std::to_string(unnamed) + (unnamed == 1 ? " more line" : " more lines") +
               " left out");
    return count_ ? lines_skipped : all_exported;
  }

 private:
  unsigned long count_ = 0;
};

// Names the file that could not be read or written, and why; gives the exit status.
int file_failure(const std::string& name) {
  int error = errno;
  complain(name + ": " + std::strerror(error));
  return failed;
}

// What the reader has for its caller next.
enum class next_line { whole, too_long, unterminated, end, read_error };

// The lines of a file, one at a time, from a buffer of fixed size: a line
// longer than any record is dropped as it streams past, never held. A line
// ends in LF, or in CR LF where an editor saved the log so: a CR in a value
// is written \r, so a CR before the LF can only be part of the line end.
class line_reader {
 public:
  line_reader(int fd, std::size_t longest_line)
      : fd_(fd), longest_line_(longest_line), buffer_(longest_line + 2 + block_size) {}

  next_line next(std::string_view& line) {
    for (;;) {
      char* start = buffer_.data() + begin_;
      if (void* lf = std::memchr(start, '\n', end_ - begin_)) {
        std::size_t size = static_cast<std::size_t>(static_cast<char*>(lf) - start);
        begin_ += size + 1;
        if (size > 0 && start[size - 1] == '\r') --size;
        line = std::string_view(start, size);
        bool was_skipping = skipping_;
        skipping_ = false;
        return was_skipping || size > longest_line_ ? next_line::too_long : next_line::whole;
      }
      if (end_ - begin_ > longest_line_ + 1) skipping_ = true;  // + 1: its CR
      if (skipping_) begin_ = end_ = 0;
      if (at_eof_) return at_end(line);
      if (!fill()) return next_line::read_error;
    }
  }

 private:
  // Moves the unfinished line to the front and reads after it; false on a read error.
  bool fill() {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    ssize_t got;
    do {
      got = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    at_eof_ = got == 0;
    end_ += static_cast<std::size_t>(got);
    return true;
  }

  next_line at_end(std::string_view& line) {
    if (!skipping_ && begin_ == end_) return next_line::end;
    line = std::string_view(buffer_.data() + begin_, end_ - begin_);
    begin_ = end_;
    bool was_skipping = skipping_;
    skipping_ = false;
    return was_skipping ? next_line::too_long : next_line::unterminated;
  }

  int fd_;
  std::size_t longest_line_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the next line's first byte
  std::size_t end_ = 0;    // past the last byte read
  bool skipping_ = false;  // inside a line too long to be a record
  bool at_eof_ = false;    // read gave 0: at a terminal, reading again would wait
};

// Standard output gathered into writes of a block or more.
class block_writer {
 public:
  explicit block_writer(std::size_t longest_record) : buffer_(block_size + longest_record) {}

  // Where the next record goes; it may take up to the longest record's bytes.
  char* cursor() { return buffer_.data() + used_; }

  // Takes the bytes up to end, and writes them out once a block is full.
  bool advance(char* end) {
    used_ = static_cast<std::size_t>(end - buffer_.data());
    return used_ < block_size || flush();
  }

  bool flush() {
    for (std::size_t done = 0; done < used_;) {
      ssize_t n = write(STDOUT_FILENO, buffer_.data() + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      done += static_cast<std::size_t>(n);
    }
    used_ = 0;
    return true;
  }

 private:
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

char* put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// Spreadsheets take a CSV file for UTF-8 only when it starts with this.
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Quoted like every other cell.
constexpr std::string_view csv_header = "\"name\",\"email\",\"subject\",\"message\"";
constexpr std::string_view received_header = ",\"received\"";

// The start of the CSV, before any record is read: whether it has the
// received column cannot wait for the first record that has a time.
char* put_csv_start(char* out, const options& chosen) {
  if (chosen.bom) out = put(out, byte_order_mark);
  out = put(out, csv_header);
  if (chosen.received) out = put(out, received_header);
  return put(out, "\r\n");
}

// RFC 4180 ends each record, the header's too, with CR LF.
char* put_csv_record(char* out, const fields& record, bool received_column) {
  std::size_t cells = received_column ? record.size() : field_count;
  for (std::size_t i = 0; i < cells; ++i) {
    if (i > 0) *out++ = ',';
    out = put_csv_cell(out, record[i]);
  }
  return put(out, "\r\n");
}

char* put_json_record(char* out, const fields& record) {
  constexpr std::string_view keys[] = {
      "{\"name\":", ",\"email\":", ",\"subject\":", ",\"message\":", ",\"received\":"};
  for (std::size_t i = 0; i < record.size(); ++i)
    if (i < field_count || !record[i].empty()) out = put_json_string(put(out, keys[i]), record[i]);
  return put(out, "}\n");
}

// Why a line the reader gave is not exported, or nothing when it is.
failure refusal(next_line kind, std::string_view line, fields& record, const options& chosen) {
  if (kind == next_line::too_long) return "longer than any record ostrel writes";
  if (kind == next_line::unterminated) return "no line feed at the end";
  failure why = split_record(line, record);
  if (!why && !chosen.json && !chosen.received && !record[received].empty())
    return "a time, which only a CSV with --received has a column for";
  return why;
}

// Exports every record of the input, naming the lines left out; gives the exit status.
int export_records(int fd, const char* name, const options& chosen, std::size_t longest_line) {
  line_reader reader(fd, longest_line);
  block_writer out(longest_export(longest_line));
  if (!chosen.json && !out.advance(put_csv_start(out.cursor(), chosen)))
    return file_failure("standard output");
  bad_lines bad;
  std::string_view line;
  fields record;
  next_line kind;
  for (unsigned long number = 1; (kind = reader.next(line)) != next_line::end; ++number) {
    if (kind == next_line::read_error) return file_failure(name);
    if (failure why = refusal(kind, line, record, chosen)) {
      bad.report(number, *why);
      continue;
    }
    char* end = chosen.json ? put_json_record(out.cursor(), record)
                            : put_csv_record(out.cursor(), record, chosen.received);
    if (!out.advance(end)) return file_failure("standard output");
  }
  if (!out.flush()) return file_failure("standard output");
  return bad.status();
}

int run(const options& chosen, std::size_t longest_line) {
  if (!chosen.path || std::string_view(chosen.path) == "-")
    return export_records(STDIN_FILENO, "standard input", chosen, longest_line);
  int fd = open(chosen.path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return file_failure(chosen.path);
  int status = export_records(fd, chosen.path, chosen, longest_line);
  close(fd);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  options chosen;
  if (!parse_options(argc, argv, chosen)) {
    std::fputs(usage_text, stderr);
    return failed;
  }
  if (chosen.help) return std::fputs(help_text, stdout) < 0 ? failed : all_exported;
  // The longest record follows the longest request the program reads.
  const settings site = config::built();
  // A build that logs times has the column without asking.
  chosen.received = chosen.received || site.log_time;
  return run(chosen, longest_line(static_cast<std::size_t>(site.request_limit)));
}
