// A byte spool: an append-only run of bytes that is written once and then
// read once from the start. It stays in memory up to a limit and moves to an
// unlinked temporary file beyond it, so that one large item never has to be
// held whole. Plain C++ with stdio: a spool may be filled on one thread and
// read on another (one at a time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The spools' encoding, also for records built in a string: a number is 8
// bytes, least significant first; a string is its length as a number, then
// its bytes, and an absent string the length -1.
void bytes_put_i64(std::string *out, std::int64_t value);
void bytes_put_str(std::string *out, const char *data, std::size_t len);
// Takes a number, or a string (*data null when absent; it points into the
// input), off the front of *in; false when *in is cut short.
bool bytes_take_i64(std::string_view *in, std::int64_t *value);
bool bytes_take_str(std::string_view *in, const char **data, std::size_t *len);

class byte_spool {
public:
  // `dir` is where the file goes once `memory_limit` bytes are exceeded.
  byte_spool(std::string dir, std::size_t memory_limit)
      : dir_(std::move(dir)), limit_(memory_limit) {}
  byte_spool(const byte_spool &) = delete;
  byte_spool &operator=(const byte_spool &) = delete;
  ~byte_spool();

  // Appends `bytes`; false when the temporary file cannot be made or written
  // (the spool is then broken and stays so).
  bool append(std::string_view bytes);
  bool
  append_u8(std::uint8_t value) {
    char c = static_cast<char>(value);
    return append(std::string_view(&c, 1));
  }
  bool append_i64(std::int64_t value);
  // A length-prefixed string; null is written as "absent".
  bool append_str(const char *data, std::size_t len);
  bool
  append_cstr(const char *text) {
    return append_str(text, text ? std::char_traits<char>::length(text) : 0);
  }

  // Ends writing; reading starts at the first byte. False on a write error.
  bool rewind();
  // Reads exactly `len` bytes into `out`; false at the end or on an error.
  bool read(void *out, std::size_t len);
  bool
  read_u8(std::uint8_t *value) {
    return read(value, 1);
  }
  bool read_i64(std::int64_t *value);
  // Reads a string written by append_str: *present false for "absent".
  bool read_str(std::string *out, bool *present);

  // Bytes held in memory now (what counts against a budget).
  std::size_t
  memory_bytes() const {
    return mem_.size();
  }
  std::uint64_t
  size() const {
    return size_;
  }
  bool
  failed() const {
    return failed_;
  }

private:
  bool spill();

  std::string dir_;
  std::size_t limit_;
  std::string mem_;           // bytes not yet in the file (or all of them)
  std::FILE *file_ = nullptr; // once spilled
  std::uint64_t size_ = 0;
  std::size_t read_pos_ = 0; // in mem_, when not spilled
  bool failed_ = false;
};

// An entry spool: items appended one by one and then read back by number,
// in any order and from any thread (reads never change it). In memory up to
// a limit, then in an unlinked temporary file in `dir`.
class entry_spool {
public:
  entry_spool(std::string dir, std::size_t memory_limit)
      : dir_(std::move(dir)), limit_(memory_limit) {}
  entry_spool(const entry_spool &) = delete;
  entry_spool &operator=(const entry_spool &) = delete;
  ~entry_spool();

  // Appends an item; false when the temporary file cannot be written.
  bool append(std::string_view item);
  // Reads item `index` (< count()) into *out; false on a read error.
  bool read(std::size_t index, std::string *out) const;
  std::size_t
  count() const {
    return offsets_.size();
  }

private:
  std::string dir_;
  std::size_t limit_;
  std::string mem_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  struct place {
    std::uint64_t offset;
    std::uint64_t length;
  };
  std::vector<place> offsets_;
};
