// The byte spool; see byte_spool.h.
#include "util/byte_spool.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {

// Bytes gathered in memory before each write to the file.
constexpr std::size_t file_chunk = 64 * 1024;

} // namespace

byte_spool::~byte_spool() {
  if (file_)
    std::fclose(file_);
}

bool
byte_spool::spill() {
  std::string name = dir_ + "/spool-XXXXXX";
  int fd = mkstemp(name.data());
  if (fd < 0)
    return false;
  // Nobody opens the file by name: it goes when the spool does, or with the
  // process.
  unlink(name.c_str());
  file_ = fdopen(fd, "w+b");
  if (!file_) {
    close(fd);
    return false;
  }
  return true;
}

bool
byte_spool::append(std::string_view bytes) {
  if (failed_)
    return false;
  try {
    mem_.append(bytes);
  } catch (const std::bad_alloc &) {
    failed_ = true;
    return false;
  }
  size_ += bytes.size();
  if (!file_ && mem_.size() > limit_ && !spill())
    failed_ = true;
  if (file_ && mem_.size() >= file_chunk) {
    if (std::fwrite(mem_.data(), 1, mem_.size(), file_) != mem_.size())
      failed_ = true;
    mem_.clear();
  }
  return !failed_;
}

void
bytes_put_i64(std::string *out, std::int64_t value) {
  for (int i = 0; i < 8; ++i)
    out->push_back(
        static_cast<char>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

void
bytes_put_str(std::string *out, const char *data, std::size_t len) {
  if (!data) {
    bytes_put_i64(out, -1);
    return;
  }
  bytes_put_i64(out, static_cast<std::int64_t>(len));
  out->append(data, len);
}

bool
bytes_take_i64(std::string_view *in, std::int64_t *value) {
  if (in->size() < 8)
    return false;
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>((*in)[i]);
  in->remove_prefix(8);
  *value = static_cast<std::int64_t>(v);
  return true;
}

bool
bytes_take_str(std::string_view *in, const char **data, std::size_t *len) {
  std::int64_t n = 0;
  if (!bytes_take_i64(in, &n))
    return false;
  *data = nullptr;
  *len = 0;
  if (n < 0)
    return true;
  if (static_cast<std::uint64_t>(n) > in->size())
    return false;
  *data = in->data();
  *len = static_cast<std::size_t>(n);
  in->remove_prefix(*len);
  return true;
}

bool
byte_spool::append_i64(std::int64_t value) {
  std::string bytes; // eight bytes: no allocation
  bytes_put_i64(&bytes, value);
  return append(bytes);
}

bool
byte_spool::append_str(const char *data, std::size_t len) {
  if (!data)
    return append_i64(-1);
  return append_i64(static_cast<std::int64_t>(len)) &&
         append(std::string_view(data, len));
}

bool
byte_spool::rewind() {
  if (failed_)
    return false;
  read_pos_ = 0;
  if (!file_)
    return true;
  if (!mem_.empty() &&
      std::fwrite(mem_.data(), 1, mem_.size(), file_) != mem_.size()) {
    failed_ = true;
    return false;
  }
  mem_.clear();
  mem_.shrink_to_fit();
  if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) {
    failed_ = true;
    return false;
  }
  return true;
}

bool
byte_spool::read(void *out, std::size_t len) {
  if (failed_)
    return false;
  if (file_)
    return std::fread(out, 1, len, file_) == len;
  if (mem_.size() - read_pos_ < len)
    return false;
  std::memcpy(out, mem_.data() + read_pos_, len);
  read_pos_ += len;
  return true;
}

bool
byte_spool::read_i64(std::int64_t *value) {
  char bytes[8];
  if (!read(bytes, 8))
    return false;
  std::string_view in(bytes, 8);
  return bytes_take_i64(&in, value);
}

bool
byte_spool::read_str(std::string *out, bool *present) {
  std::int64_t len = 0;
  if (!read_i64(&len))
    return false;
  *present = len >= 0;
  if (len < 0) {
    out->clear();
    return true;
  }
  // A length beyond what the spool holds is a corrupt spool, not an
  // allocation to try.
  if (static_cast<std::uint64_t>(len) > size_)
    return false;
  try {
    out->resize(static_cast<std::size_t>(len));
  } catch (const std::bad_alloc &) {
    return false;
  }
  return read(out->data(), out->size());
}

entry_spool::~entry_spool() {
  if (fd_ >= 0)
    close(fd_);
}

bool
entry_spool::append(std::string_view item) {
  try {
    offsets_.push_back({size_, item.size()});
    if (fd_ < 0)
      mem_.append(item);
  } catch (const std::bad_alloc &) {
    return false;
  }
  size_ += item.size();
  if (fd_ < 0) {
    if (mem_.size() <= limit_)
      return true;
    std::string name = dir_ + "/entries-XXXXXX";
    fd_ = mkstemp(name.data());
    if (fd_ < 0)
      return false;
    unlink(name.c_str());
    item = mem_;
  }
  const char *p = item.data();
  std::size_t left = item.size();
  while (left > 0) {
    ssize_t n = write(fd_, p, left);
    if (n < 0)
      return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  std::string().swap(mem_);
  return true;
}

bool
entry_spool::read(std::size_t index, std::string *out) const {
  if (index >= offsets_.size())
    return false;
  const place &at = offsets_[index];
  if (fd_ < 0) {
    try {
      out->assign(mem_, at.offset, at.length);
    } catch (const std::bad_alloc &) {
      return false;
    }
    return true;
  }
  try {
    out->resize(at.length);
  } catch (const std::bad_alloc &) {
    return false;
  }
  std::uint64_t done = 0;
  while (done < at.length) {
    ssize_t n = pread(fd_, out->data() + done, at.length - done,
                      static_cast<off_t>(at.offset + done));
    if (n <= 0)
      return false;
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}
