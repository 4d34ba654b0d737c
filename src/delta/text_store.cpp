// The text store; see text_store.h.
#include "delta/text_store.h"

#include "util/diagnostics.h"

#include <apr_file_io.h>
#include <apr_strings.h>
#include <svn_checksum.h>
#include <svn_pools.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

apr_status_t
text_store_cleanup(void *data) noexcept {
  auto *ts = static_cast<text_store *>(data);
  for (auto &entry : ts->stored)
    if (!entry.second.file.empty())
      std::remove(entry.second.file.c_str());
  ts->~text_store();
  return APR_SUCCESS;
}

// The first entry strictly below `path` and the end of the run of such
// entries: the keys that begin with "path/" sort together.
template <typename Map>
std::pair<typename Map::iterator, typename Map::iterator>
below(Map &map, const char *path) {
  std::string first = std::string(path) + '/';
  // '0' is the byte after '/': every key below `path` sorts before it.
  std::string last = std::string(path) + '0';
  return {map.lower_bound(first), map.lower_bound(last)};
}

// The writer of a new text. `text` stays valid: the stored texts are nodes
// of a hash table, which never move.
struct text_writer {
  text_store *ts;
  stored_text *text;
  apr_file_t *file;        // once the text has moved to a file
  svn_checksum_ctx_t *md5; // null: a text that is never sealed
  apr_pool_t *pool;
};

svn_error_t *
move_to_file(text_writer *w) {
  const char *dir =
      apr_pstrcat(w->pool, w->ts->temp_dir.c_str(), "/td", SVN_VA_NULL);
  const char *tmpl = apr_pstrcat(w->pool, dir, "/XXXXXX", SVN_VA_NULL);
  char *path = apr_pstrdup(w->pool, tmpl);
  const apr_int32_t flags = APR_FOPEN_CREATE | APR_FOPEN_WRITE |
                            APR_FOPEN_EXCL | APR_FOPEN_BINARY |
                            APR_FOPEN_BUFFERED;
  apr_status_t status = apr_file_mktemp(&w->file, path, flags, w->pool);
  if (APR_STATUS_IS_ENOENT(status)) {
    // The directory is made the first time a text needs it.
    status = apr_dir_make_recursive(
        dir, APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_UEXECUTE, w->pool);
    if (status == APR_SUCCESS) {
      path = apr_pstrdup(w->pool, tmpl);
      status = apr_file_mktemp(&w->file, path, flags, w->pool);
    }
  }
  if (status != APR_SUCCESS) {
    w->file = nullptr;
    print_debug("text_store: Error creating temporary file in %s\n",
                w->ts->temp_dir.c_str());
    return svn_error_wrap_apr(status, "Unable to create temporary file in %s",
                              w->ts->temp_dir.c_str());
  }
  w->text->file = path;
  SVN_ERR(svn_io_file_write_full(w->file, w->text->data.data(),
                                 w->text->data.size(), nullptr, w->pool));
  w->ts->memory -= w->text->data.size();
  std::string().swap(w->text->data);
  return SVN_NO_ERROR;
}

svn_error_t *
writer_write(void *baton, const char *data, apr_size_t *len) noexcept {
  auto *w = static_cast<text_writer *>(baton);
  if (w->md5)
    SVN_ERR(svn_checksum_update(w->md5, data, *len));
  w->text->size += *len;
  if (!w->file) {
    text_store *ts = w->ts;
    if (w->text->data.size() + *len <= ts->memory_text_limit &&
        ts->memory + *len <= ts->memory_budget) {
      try {
        w->text->data.append(data, *len);
      } catch (const std::bad_alloc &) {
        return svn_error_create(APR_ENOMEM, nullptr, nullptr);
      }
      ts->memory += *len;
      return SVN_NO_ERROR;
    }
    SVN_ERR(move_to_file(w));
  }
  return svn_io_file_write_full(w->file, data, *len, nullptr, w->pool);
}

svn_error_t *
writer_close(void *baton) noexcept {
  auto *w = static_cast<text_writer *>(baton);
  if (w->file) {
    apr_file_t *file = w->file;
    w->file = nullptr;
    SVN_ERR(svn_io_file_close(file, w->pool));
  }
  if (w->md5) {
    svn_checksum_t *md5 = nullptr;
    SVN_ERR(svn_checksum_final(&md5, w->md5, w->pool));
    std::memcpy(w->text->md5, md5->digest, 16);
    try {
      w->text->content_name =
          std::string(svn_checksum_to_cstring_display(md5, w->pool)) + ":" +
          std::to_string(w->text->size);
    } catch (const std::bad_alloc &) {
      return svn_error_create(APR_ENOMEM, nullptr, nullptr);
    }
  }
  w->text->complete = true;
  return SVN_NO_ERROR;
}

// Removes the stored text at `it` and its file.
void
erase(text_store *ts,
      std::unordered_map<std::string, stored_text>::iterator it) {
  if (!it->second.file.empty()) {
    print_debug("text_store: Removing file %s\n", it->second.file.c_str());
    if (std::remove(it->second.file.c_str()) != 0)
      print_debug("text_store: Cannot remove file %s\n",
                  it->second.file.c_str());
  }
  ts->memory -= it->second.data.size();
  if (it->second.sealed)
    ts->by_content.erase(it->second.content_name);
  ts->stored.erase(it);
}

// Whether the stored texts at `a` and `b` hold the same bytes. A text
// that cannot be read counts as different: it is then simply not shared.
bool
same_bytes(text_store *ts,
           std::unordered_map<std::string, stored_text>::iterator a,
           std::unordered_map<std::string, stored_text>::iterator b,
           apr_pool_t *pool) {
  if (a == ts->stored.end() || a->second.size != b->second.size)
    return false;
  if (a->second.file.empty() && b->second.file.empty())
    return a->second.data == b->second.data;
  apr_pool_t *scratch = svn_pool_create(pool);
  svn_stream_t *sa = nullptr, *sb = nullptr;
  svn_boolean_t same = FALSE;
  svn_error_t *err = text_store_read(ts, a->first.c_str(), &sa, scratch);
  if (!err)
    err = text_store_read(ts, b->first.c_str(), &sb, scratch);
  if (!err)
    err = svn_stream_contents_same2(&same, sa, sb, scratch);
  svn_error_clear(err);
  svn_pool_destroy(scratch);
  return !err && same;
}

} // namespace

text_store *
text_store_create(apr_pool_t *pool, const char *temp_dir) {
  void *mem = apr_palloc(pool, sizeof(text_store));
  auto *ts = new (mem) text_store();
  ts->temp_dir = temp_dir ? temp_dir : ".";
  apr_pool_cleanup_register(pool, ts, text_store_cleanup,
                            apr_pool_cleanup_null);
  return ts;
}

svn_error_t *
text_store_new_text(text_store *ts, svn_stream_t **stream, const char **name,
                    apr_pool_t *pool, bool sealable) {
  std::string key = "~" + std::to_string(ts->next_id++);
  stored_text &text = ts->stored[key];
  text.refs = 1;
  auto *w = static_cast<text_writer *>(apr_pcalloc(pool, sizeof(text_writer)));
  w->ts = ts;
  w->text = &text;
  w->md5 = sealable ? svn_checksum_ctx_create(svn_checksum_md5, pool) : nullptr;
  w->pool = pool;
  *stream = svn_stream_create(w, pool);
  svn_stream_set_write(*stream, writer_write);
  svn_stream_set_close(*stream, writer_close);
  *name = apr_pstrdup(pool, key.c_str());
  return SVN_NO_ERROR;
}

const char *
text_store_seal(text_store *ts, const char *name, apr_pool_t *pool) {
  auto it = ts->stored.find(name);
  // An svndiff has no digest and is never shared.
  if (it == ts->stored.end() || it->second.sealed || !it->second.complete ||
      it->second.content_name.empty())
    return name;
  auto same = ts->by_content.find(it->second.content_name);
  // The digest and the length only suggest the same content: texts that
  // merely collide in MD5 must not be merged.
  if (same != ts->by_content.end() &&
      same_bytes(ts, ts->stored.find(same->second), it, pool)) {
    // The content is stored already: this copy goes.
    std::string shared = same->second;
    ts->stored[shared].refs += it->second.refs;
    erase(ts, it);
    return apr_pstrdup(pool, shared.c_str());
  }
  // A short name, so that the tables by path stay small.
  std::string sealed = "=" + std::to_string(ts->next_id++);
  stored_text text = std::move(it->second);
  ts->stored.erase(it);
  text.sealed = true;
  if (same == ts->by_content.end())
    ts->by_content.emplace(text.content_name, sealed);
  else
    text.content_name.clear(); // a collision: shared by nothing
  ts->stored.emplace(sealed, std::move(text));
  return apr_pstrdup(pool, sealed.c_str());
}

svn_error_t *
text_store_read(text_store *ts, const char *name, svn_stream_t **stream,
                apr_pool_t *pool) {
  const char *file = nullptr;
  svn_string_t data{};
  svn_filesize_t size = 0;
  SVN_ERR(text_store_locate(ts, name, &file, &data, &size));
  if (!file) {
    auto *copy = static_cast<svn_string_t *>(apr_palloc(pool, sizeof(data)));
    *copy = data;
    *stream = svn_stream_from_string(copy, pool);
    return SVN_NO_ERROR;
  }
  apr_file_t *handle = nullptr;
  apr_status_t status =
      apr_file_open(&handle, file, APR_READ | APR_BINARY, APR_OS_DEFAULT, pool);
  if (status != APR_SUCCESS) {
    print_debug("text_store: Error opening %s\n", file);
    return svn_error_wrap_apr(status, "Unable to open %s", file);
  }
  *stream = svn_stream_from_aprfile2(handle, FALSE, pool);
  return SVN_NO_ERROR;
}

svn_error_t *
text_store_locate(const text_store *ts, const char *name, const char **file,
                  svn_string_t *data, svn_filesize_t *size) {
  auto it = ts->stored.find(name);
  if (it == ts->stored.end())
    return svn_error_createf(SVN_ERR_BAD_FILENAME, nullptr, "Unable to open %s",
                             name);
  *file = it->second.file.empty() ? nullptr : it->second.file.c_str();
  data->data = it->second.data.data();
  data->len = it->second.data.size();
  *size = static_cast<svn_filesize_t>(it->second.size);
  return SVN_NO_ERROR;
}

bool
text_store_text_md5(const text_store *ts, const char *name,
                    unsigned char *digest) {
  auto it = ts->stored.find(name);
  if (it == ts->stored.end() || !it->second.sealed)
    return false;
  std::memcpy(digest, it->second.md5, 16);
  return true;
}

void
text_store_ref(text_store *ts, const char *name) {
  auto it = ts->stored.find(name);
  if (it != ts->stored.end())
    ++it->second.refs;
}

void
text_store_unref(text_store *ts, const char *name) {
  if (!name)
    return;
  auto it = ts->stored.find(name);
  if (it == ts->stored.end())
    return;
  if (--it->second.refs == 0)
    erase(ts, it);
}

const char *
text_store_file(const text_store *ts, const char *path) {
  auto it = ts->texts.find(path);
  return it == ts->texts.end() ? nullptr : it->second.c_str();
}

void
text_store_set_file(text_store *ts, const char *path, const char *name,
                    std::string *previous) {
  auto it = ts->texts.find(path);
  std::string old;
  if (it != ts->texts.end()) {
    old = std::move(it->second);
    if (name)
      it->second = name;
    else
      ts->texts.erase(it);
  } else if (name) {
    ts->texts.emplace(path, name);
  }
  if (previous)
    *previous = std::move(old);
  else if (!old.empty())
    text_store_unref(ts, old.c_str());
}

const md5_entry *
text_store_digest(const text_store *ts, const char *path) {
  auto it = ts->digests.find(path);
  return it == ts->digests.end() ? nullptr : &it->second;
}

void
text_store_set_digest(text_store *ts, const char *path,
                      const unsigned char *digest, svn_revnum_t local_rev) {
  md5_entry entry{};
  std::memcpy(entry.digest, digest, 16);
  entry.local_rev = local_rev;
  ts->digests[path] = entry;
}

void
text_store_forget_digest(text_store *ts, const char *path) {
  ts->digests.erase(path);
}

void
text_store_forget_digests_below(text_store *ts, const char *path,
                                apr_pool_t *) {
  auto [first, last] = below(ts->digests, path);
  for (auto it = first; it != last; ++it)
    print_debug("deleting %s from md5_hash\n", it->first.c_str());
  ts->digests.erase(first, last);
}

void
text_store_drop_files_below(text_store *ts, const char *path, const char *owner,
                            void (*each)(const char *path, void *baton),
                            void *baton, apr_pool_t *) {
  auto [first, last] = below(ts->texts, path);
  for (auto it = first; it != last; ++it) {
    const char *name = it->first.c_str();
    print_debug("%s(%s): Dropping text %s\n", owner, path, it->second.c_str());
    text_store_unref(ts, it->second.c_str());
    if (each)
      each(name, baton);
    print_debug("%s(%s): deleting %s from delta_hash\n", owner, path, name);
  }
  ts->texts.erase(first, last);
}
