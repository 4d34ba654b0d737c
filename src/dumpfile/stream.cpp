#include "dumpfile/stream.h"

#include "util/diagnostics.h"

#include <apr_file_io.h>
#include <svn_io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char PADDING_LOG[] = "This is an empty revision for padding.";

// Number of decimal digits of `n`.
std::size_t
digits(std::size_t n) {
  std::size_t count = 1;
  while (n >= 10) {
    n /= 10;
    ++count;
  }
  return count;
}

void
write_bytes(const char *data, std::size_t len) {
  if (len > 0)
    std::fwrite(data, 1, len, stdout);
}

void
write_revision(svn_revnum_t local_rev, const svn_string_t *message,
               const svn_string_t *author, const svn_string_t *date) {
  // Every length is settled before the first header line goes out.
  std::size_t len = prop_entry_length(message ? "svn:log" : nullptr, message) +
                    prop_entry_length(author ? "svn:author" : nullptr, author) +
                    prop_entry_length(date ? "svn:date" : nullptr, date);
  if (len > 0)
    len += PROPS_END_LENGTH;
  std::printf("%s: %ld\n", "Revision-number", local_rev);
  std::printf("%s: %d\n", "Prop-content-length", static_cast<int>(len));
  std::printf("%s: %d\n\n", "Content-length", static_cast<int>(len));
  if (len == 0)
    return;
  if (message)
    write_prop_entry("svn:log", message);
  if (author)
    write_prop_entry("svn:author", author);
  if (date)
    write_prop_entry("svn:date", date);
  write_props_end();
  std::fputc('\n', stdout);
}

} // namespace

std::size_t
prop_entry_length(const char *name, const svn_string_t *value) {
  if (!name)
    return 0;
  std::size_t name_len = std::strlen(name);
  std::size_t value_len = value ? value->len : 0;
  // "K n\n" name "\n" "V m\n" value "\n"
  return 2 + digits(name_len) + 1 + name_len + 1 + 2 + digits(value_len) + 1 +
         value_len + 1;
}

std::size_t
prop_delete_length(const char *name) {
  if (!name)
    return 0;
  std::size_t name_len = std::strlen(name);
  // "D n\n" name "\n"
  return 2 + digits(name_len) + 1 + name_len + 1;
}

void
write_prop_entry(const char *name, const svn_string_t *value) {
  if (!name)
    return;
  std::size_t name_len = std::strlen(name);
  std::printf("K %zu\n", name_len);
  write_bytes(name, name_len);
  if (!value) {
    std::fputs("\nV 0\n\n", stdout);
    return;
  }
  std::printf("\nV %zu\n", static_cast<std::size_t>(value->len));
  write_bytes(value->data, value->len);
  std::fputc('\n', stdout);
}

void
write_prop_delete(const char *name) {
  if (!name)
    return;
  std::size_t name_len = std::strlen(name);
  std::printf("D %zu\n", name_len);
  write_bytes(name, name_len);
  std::fputc('\n', stdout);
}

void
write_props_end() {
  write_bytes(PROPS_END, PROPS_END_LENGTH);
}

void
write_stream_header(int format_version) {
  std::printf("%s: %d\n\n", "SVN-fs-dump-format-version", format_version);
}

void
write_uuid_record(const char *uuid) {
  std::printf("UUID: %s\n\n", uuid);
}

void
write_revision_record(svn_revnum_t local_rev, const char *message,
                      const char *author, const char *date) {
  svn_string_t m = {message, message ? std::strlen(message) : 0};
  svn_string_t a = {author, author ? std::strlen(author) : 0};
  svn_string_t d = {date, date ? std::strlen(date) : 0};
  write_revision(local_rev, message ? &m : nullptr, author ? &a : nullptr,
                 date ? &d : nullptr);
}

void
write_padding_record(svn_revnum_t local_rev) {
  const svn_string_t message = {PADDING_LOG, sizeof(PADDING_LOG) - 1};
  write_revision(local_rev, &message, nullptr, nullptr);
}

void
write_prefix_dir_record(const char *path) {
  std::printf("%s: %s\n", "Node-path", path);
  std::printf("%s: dir\n", "Node-kind");
  std::printf("%s: add\n\n", "Node-action");
}

svn_error_t *
stream_flush() {
  errno = 0;
  bool failed = std::fflush(stdout) != 0;
  int err = errno;
  if (!failed && !std::ferror(stdout))
    return SVN_NO_ERROR;
  // An earlier write may have failed while stdio flushed on its own; its
  // errno is gone by now.
  if (failed && err != 0)
    return svn_error_createf(1, nullptr,
                             _("Error writing to standard output: %s"),
                             std::strerror(err));
  return svn_error_create(1, nullptr, _("Error writing to standard output"));
}

svn_error_t *
stream_copy_file(const char *path, apr_pool_t *pool) {
  SVN_ERR(stream_flush());
  apr_file_t *file = nullptr;
  apr_status_t status =
      apr_file_open(&file, path, APR_READ | APR_BINARY, APR_OS_DEFAULT, pool);
  if (status != APR_SUCCESS)
    return svn_error_wrap_apr(status, _("Can't open '%s'"), path);
  svn_stream_t *in = svn_stream_from_aprfile2(file, FALSE, pool);
  svn_stream_t *out = nullptr;
  SVN_ERR(svn_stream_for_stdout(&out, pool));
  // svn_stream_copy3 closes both streams; closing the stdout stream leaves
  // descriptor 1 open.
  SVN_ERR(svn_stream_copy3(in, out, nullptr, nullptr, pool));
  return stream_flush();
}
