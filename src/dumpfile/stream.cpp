// The dump stream writer; see stream.h.
#include "dumpfile/stream.h"

#include "util/diagnostics.h"

#include <apr_file_info.h>
#include <apr_portable.h>
#include <svn_checksum.h>

#include <apr_strings.h>
#include <svn_error_codes.h>
#include <svn_utf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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
append_number(std::string *out, unsigned long long n) {
  char buf[24];
  int len = std::snprintf(buf, sizeof buf, "%llu", n);
  out->append(buf, static_cast<std::size_t>(len));
}

void
append_header(std::string *out, const char *name, const char *value) {
  out->append(name);
  out->append(": ");
  out->append(value);
  out->push_back('\n');
}

void
append_header(std::string *out, const char *name, long long value) {
  char buf[24];
  int len = std::snprintf(buf, sizeof buf, "%lld", value);
  out->append(name);
  out->append(": ");
  out->append(buf, static_cast<std::size_t>(len));
  out->push_back('\n');
}

svn_error_t *
write_all(svn_stream_t *out, std::string_view bytes) {
  apr_size_t len = bytes.size();
  return svn_stream_write(out, bytes.data(), &len);
}

const char *
action_word(char action) {
  switch (action) {
  case 'A':
    return "add";
  case 'D':
    return "delete";
  case 'R':
    return "replace";
  default:
    return "change";
  }
}

} // namespace

std::vector<dumpfile_prop>
dumpfile_sorted_props(apr_hash_t *props, apr_hash_t *skip, apr_pool_t *pool) {
  std::vector<dumpfile_prop> items;
  for (apr_hash_index_t *hi = apr_hash_first(pool, props); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    void *value = nullptr;
    apr_hash_this(hi, &key, nullptr, &value);
    auto *name = static_cast<const char *>(key);
    if (!skip || !apr_hash_get(skip, name, APR_HASH_KEY_STRING))
      items.push_back({name, static_cast<const svn_string_t *>(value)});
  }
  std::sort(items.begin(), items.end(), [](const auto &a, const auto &b) {
    return std::strcmp(a.name, b.name) < 0;
  });
  return items;
}

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
dumpfile_append_prop(std::string *out, const char *name,
                     const svn_string_t *value) {
  if (!name)
    return;
  std::size_t name_len = std::strlen(name);
  out->append("K ");
  append_number(out, name_len);
  out->push_back('\n');
  out->append(name, name_len);
  if (!value) {
    out->append("\nV 0\n\n");
    return;
  }
  out->append("\nV ");
  append_number(out, value->len);
  out->push_back('\n');
  out->append(value->data, value->len);
  out->push_back('\n');
}

void
dumpfile_append_prop_delete(std::string *out, const char *name) {
  if (!name)
    return;
  std::size_t name_len = std::strlen(name);
  out->append("D ");
  append_number(out, name_len);
  out->push_back('\n');
  out->append(name, name_len);
  out->push_back('\n');
}

svn_error_t *
dumpfile_write_header(svn_stream_t *out, int format_version) {
  std::string bytes;
  append_header(&bytes, "SVN-fs-dump-format-version", format_version);
  bytes.push_back('\n');
  return write_all(out, bytes);
}

svn_error_t *
dumpfile_write_uuid(svn_stream_t *out, const char *uuid) {
  std::string bytes;
  append_header(&bytes, "UUID", uuid);
  bytes.push_back('\n');
  return write_all(out, bytes);
}

svn_error_t *
dumpfile_write_revision(svn_stream_t *out, svn_revnum_t local_rev,
                        const std::vector<dumpfile_prop> &props) {
  std::string block;
  for (const dumpfile_prop &p : props)
    dumpfile_append_prop(&block, p.name, p.value);
  if (!block.empty())
    block.append(PROPS_END, PROPS_END_LENGTH);
  std::string bytes;
  append_header(&bytes, "Revision-number", local_rev);
  append_header(&bytes, "Prop-content-length",
                static_cast<long long>(block.size()));
  append_header(&bytes, "Content-length", static_cast<long long>(block.size()));
  bytes.push_back('\n');
  if (!block.empty()) {
    bytes += block;
    bytes.push_back('\n');
  }
  return write_all(out, bytes);
}

svn_error_t *
dumpfile_write_padding(svn_stream_t *out, svn_revnum_t local_rev) {
  const svn_string_t message = {PADDING_LOG, sizeof(PADDING_LOG) - 1};
  return dumpfile_write_revision(out, local_rev, {{"svn:log", &message}});
}

svn_error_t *
dumpfile_write_prefix_dir(svn_stream_t *out, const char *path) {
  std::string bytes;
  append_header(&bytes, "Node-path", path);
  append_header(&bytes, "Node-kind", "dir");
  append_header(&bytes, "Node-action", "add");
  bytes.push_back('\n');
  return write_all(out, bytes);
}

svn_error_t *
dumpfile_normalise_prefix(const char **normalised, const char *prefix,
                          apr_pool_t *pool) {
  *normalised = nullptr;
  if (!prefix)
    return SVN_NO_ERROR;
  const char *utf8 = nullptr;
  svn_error_t *err = svn_utf_cstring_to_utf8(&utf8, prefix, pool);
  if (err)
    return svn_error_createf(SVN_ERR_CL_ARG_PARSING_ERROR, err,
                             _("Invalid prefix '%s'"), prefix);
  std::string out;
  for (const char *p = utf8; *p;) {
    const char *slash = std::strchr(p, '/');
    std::size_t len = slash ? static_cast<std::size_t>(slash - p)
                            : std::strlen(p);
    std::string component(p, len);
    if (component == "." || component == "..")
      return svn_error_createf(
          SVN_ERR_CL_ARG_PARSING_ERROR, nullptr,
          _("Invalid prefix '%s': a path component is '%s'"), prefix,
          component.c_str());
    for (unsigned char c : component)
      if (c < 0x20 || c == 0x7f)
        return svn_error_createf(
            SVN_ERR_CL_ARG_PARSING_ERROR, nullptr,
            _("Invalid prefix '%s': it holds a control character"), prefix);
    if (!component.empty()) {
      out += component;
      out += '/';
    }
    p += len;
    if (*p == '/')
      ++p;
  }
  if (!out.empty())
    *normalised = apr_pstrmemdup(pool, out.data(), out.size());
  return SVN_NO_ERROR;
}

svn_error_t *
dumpfile_write_prefix_dirs(svn_stream_t *out, const char *prefix,
                           apr_pool_t *pool) {
  if (!prefix)
    return SVN_NO_ERROR;
  for (const char *slash = std::strchr(prefix, '/'); slash;
       slash = std::strchr(slash + 1, '/'))
    SVN_ERR(dumpfile_write_prefix_dir(
        out, apr_pstrmemdup(pool, prefix, slash - prefix)));
  return SVN_NO_ERROR;
}

svn_error_t *
dumpfile_write_head(svn_stream_t *out, const revision_head &head,
                    apr_pool_t *pool) {
  for (svn_revnum_t rev : head.paddings) {
    SVN_ERR(dumpfile_write_padding(out, rev));
    if (rev == 1)
      SVN_ERR(dumpfile_write_prefix_dirs(out, head.prefix, pool));
  }
  if (!head.with_record)
    return SVN_NO_ERROR;
  SVN_ERR(dumpfile_write_revision(out, head.local_rev, head.props));
  if (head.local_rev == 1)
    SVN_ERR(dumpfile_write_prefix_dirs(out, head.prefix, pool));
  return SVN_NO_ERROR;
}

svn_error_t *
dumpfile_write_node(svn_stream_t *out, const node_record &rec,
                    apr_pool_t *pool) {
  apr_off_t text_len = 0;
  if (rec.text_data) {
    text_len = static_cast<apr_off_t>(rec.text_data->len);
  } else if (rec.text_file) {
    apr_finfo_t info;
    if (apr_stat(&info, rec.text_file, APR_FINFO_SIZE, pool) != APR_SUCCESS) {
      print_debug("delta_dump_node: FATAL: cannot stat %s\n", rec.text_file);
      return svn_error_createf(1, nullptr, "Cannot stat %s", rec.text_file);
    }
    text_len = info.size;
  }

  std::string bytes;
  append_header(&bytes, "Node-path", rec.path);
  if (rec.action != 'D')
    append_header(&bytes, "Node-kind",
                  rec.kind == svn_node_file ? "file" : "dir");
  append_header(&bytes, "Node-action", action_word(rec.action));
  if (rec.action == 'D') {
    bytes.append("\n\n");
    return write_all(out, bytes);
  }
  if (rec.copyfrom_path) {
    append_header(&bytes, "Node-copyfrom-rev", rec.copyfrom_rev);
    append_header(&bytes, "Node-copyfrom-path", rec.copyfrom_path);
  }

  std::string block;
  if (rec.with_props) {
    for (const dumpfile_prop &p : rec.props)
      dumpfile_append_prop(&block, p.name, p.value);
    for (const char *name : rec.prop_deletions)
      dumpfile_append_prop_delete(&block, name);
    block.append(PROPS_END, PROPS_END_LENGTH);
    if (rec.prop_delta)
      append_header(&bytes, "Prop-delta", "true");
    append_header(&bytes, "Prop-content-length",
                  static_cast<long long>(block.size()));
  }
  if (dumpfile_has_text(rec)) {
    if (rec.text_delta)
      append_header(&bytes, "Text-delta", "true");
    append_header(&bytes, "Text-content-length",
                  static_cast<long long>(text_len));
    if (rec.has_md5) {
      svn_checksum_t checksum = {rec.md5, svn_checksum_md5};
      append_header(&bytes, "Text-content-md5",
                    svn_checksum_to_cstring_display(&checksum, pool));
    }
  }
  append_header(&bytes, "Content-length",
                static_cast<long long>(block.size() + text_len));
  bytes.push_back('\n');
  bytes += block;
  SVN_ERR(write_all(out, bytes));

  if (rec.text_data) {
    SVN_ERR(write_all(out, std::string_view(rec.text_data->data,
                                            rec.text_data->len)));
  } else if (rec.text_file) {
    apr_file_t *file = nullptr;
    apr_status_t status = apr_file_open(&file, rec.text_file,
                                        APR_READ | APR_BINARY, APR_OS_DEFAULT,
                                        pool);
    if (status != APR_SUCCESS)
      return svn_error_wrap_apr(status, _("Can't open '%s'"), rec.text_file);
    // The copy closes both streams; the dump's own stream stays open.
    SVN_ERR(svn_stream_copy3(svn_stream_from_aprfile2(file, FALSE, pool),
                             svn_stream_disown(out, pool), nullptr, nullptr,
                             pool));
  }
  return write_all(out, "\n\n");
}

svn_error_t *
dumpfile_open_stdout(dumpfile_output *output, apr_pool_t *pool) {
  struct stat st;
  output->regular = fstat(1, &st) == 0 && S_ISREG(st.st_mode);
  if (output->regular) {
    off_t at = lseek(1, 0, SEEK_CUR);
    output->regular = at >= 0;
    output->complete = at;
  }
  apr_os_file_t fd = 1;
  apr_status_t status = apr_os_file_put(
      &output->file, &fd, APR_FOPEN_WRITE | APR_FOPEN_BUFFERED, pool);
  if (status != APR_SUCCESS)
    return svn_error_wrap_apr(status, _("Can't open standard output"));
  // Fewer, larger writes than APR's default of 4 KiB.
  constexpr apr_size_t buffer_size = 64 * 1024;
  apr_file_buffer_set(output->file,
                      static_cast<char *>(apr_palloc(pool, buffer_size)),
                      buffer_size);
  output->stream = svn_stream_from_aprfile2(output->file, TRUE, pool);
  return SVN_NO_ERROR;
}

svn_error_t *
dumpfile_flush(dumpfile_output *output) {
  if (!output || !output->file)
    return SVN_NO_ERROR;
  apr_status_t status = apr_file_flush(output->file);
  if (status != APR_SUCCESS)
    return svn_error_wrap_apr(status, _("Error writing to standard output"));
  return SVN_NO_ERROR;
}

svn_error_t *
dumpfile_commit(dumpfile_output *output, svn_revnum_t repos_rev,
                svn_revnum_t local_rev) {
  SVN_ERR(dumpfile_flush(output));
  if (output->regular)
    output->complete = lseek(1, 0, SEEK_CUR);
  if (repos_rev < 0) {
    output->header = true;
  } else {
    output->last_repos_rev = repos_rev;
    output->last_local_rev = local_rev;
  }
  return SVN_NO_ERROR;
}

bool
dumpfile_rollback(dumpfile_output *output) {
  if (!output->regular)
    return true;
  return ftruncate(1, output->complete) == 0 &&
         lseek(1, output->complete, SEEK_SET) == output->complete;
}
