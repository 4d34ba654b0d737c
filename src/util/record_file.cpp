#include "util/record_file.h"

#include "util/diagnostics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Pool clean-up: a record file its owner did not close is closed (and its
// file unlinked) when the pool goes. After a close the bookkeeping owns
// nothing, so it needs no destructor call and an owner's clean-up may still
// close it again, whichever clean-up runs first.
apr_status_t
close_record_file(void *data) noexcept {
  // A clean-up has nobody to hand a failure to; the owner closes the file
  // itself where a failure matters.
  static_cast<void>(record_file_close(static_cast<record_file *>(data)));
  return APR_SUCCESS;
}

} // namespace

record_file *
record_file_open(const char *path, apr_pool_t *pool) {
  // Readable by this user alone, whatever the umask: the file holds the
  // dumped history.
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::FILE *stream = fd >= 0 ? fdopen(fd, "w+") : nullptr;
  if (fd >= 0 && !stream) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  if (!stream)
    return nullptr;
  auto *rf = new (apr_palloc(pool, sizeof(record_file))) record_file;
  rf->index = rhash_make(pool);
  rf->path = apr_pstrdup(pool, path);
  rf->stream = vh::File(stream);
  apr_pool_cleanup_register(pool, rf, close_record_file, apr_pool_cleanup_null);
  return rf;
}

vh::Error
record_file_put(record_file *rf, const void *key, apr_ssize_t key_len,
                const void *data, std::size_t length) {
  std::FILE *f = rf->stream.get();
  // After a put the stream is still at the end; seeking there again would
  // make stdio flush its buffer for every record.
  if (!rf->writing && fseeko(f, 0, SEEK_END) != 0)
    return vh::Error::from_errno(errno, _("Can't seek in '%s'"), rf->path);
  record_entry entry = {ftello(f), length};
  if (entry.offset < 0)
    return vh::Error::from_errno(errno, _("Can't seek in '%s'"), rf->path);
  rf->writing = true;
  errno = 0;
  if (length && std::fwrite(data, 1, length, f) != length)
    return vh::Error::from_errno(errno ? errno : EIO, _("Can't write to '%s'"),
                                 rf->path);
  rhash_set(rf->index, key, key_len, &entry, sizeof(entry));
  return {};
}

char *
record_file_get(record_file *rf, const void *key, apr_ssize_t key_len,
                apr_pool_t *pool, std::size_t *length) {
  *length = 0;
  auto *stored =
      static_cast<const record_entry *>(rhash_get(rf->index, key, key_len));
  if (!stored)
    return nullptr;
  record_entry entry;
  std::memcpy(&entry, stored, sizeof(entry));

  std::FILE *f = rf->stream.get();
  // Input may not follow output on one stream without a repositioning, so
  // after a put the stream is always repositioned.
  if (rf->writing || ftello(f) != entry.offset) {
    ++rf->seeks;
    rf->writing = false; // the next put seeks to the end again
    if (fseeko(f, entry.offset, SEEK_SET) != 0)
      return nullptr;
  }
  auto *buf = static_cast<char *>(apr_palloc(pool, entry.length + 1));
  if (entry.length && std::fread(buf, 1, entry.length, f) != entry.length)
    return nullptr;
  *length = entry.length;
  return buf;
}

int
record_file_remove(record_file *rf, const void *key, apr_ssize_t key_len) {
  if (rhash_get(rf->index, key, key_len))
    rhash_set(rf->index, key, key_len, nullptr, 0);
  return 0;
}

int
record_file_contains(record_file *rf, const void *key, apr_ssize_t key_len) {
  return rhash_get(rf->index, key, key_len) ? 1 : 0;
}

vh::Error
record_file_close(record_file *rf) {
  if (!rf->stream)
    return {};
  rhash_clear(rf->index);
  if (rf->stream.close() != 0)
    return vh::Error::from_errno(errno, _("Can't close '%s'"), rf->path);
  if (unlink(rf->path) != 0)
    return vh::Error::from_errno(errno, _("Can't remove '%s'"), rf->path);
  return {};
}
