// The text store; see text_store.h.
#include "delta/text_store.h"

#include "util/diagnostics.h"

#include <apr_file_io.h>

#include <cstring>
#include <new>

namespace {

// Whether `key` (of length `key_len`) names a path strictly below `path`.
bool
is_below(const char *key, apr_ssize_t key_len, const char *path,
         std::size_t path_len) {
  return static_cast<std::size_t>(key_len) > path_len &&
         std::memcmp(key, path, path_len) == 0 && key[path_len] == '/';
}

apr_status_t
text_store_cleanup(void *data) noexcept {
  auto *ts = static_cast<text_store *>(data);
  rhash_clear(ts->digests);
  rhash_clear(ts->texts);
  return APR_SUCCESS;
}

} // namespace

text_store *
text_store_create(apr_pool_t *pool) {
  auto *ts = static_cast<text_store *>(apr_pcalloc(pool, sizeof(text_store)));
  new (ts) text_store();
  ts->digests = rhash_make(pool);
  ts->texts = rhash_make(pool);
  apr_pool_cleanup_register(pool, ts, text_store_cleanup,
                            apr_pool_cleanup_null);
  return ts;
}

const char *
text_store_file(const text_store *ts, const char *path) {
  return static_cast<const char *>(
      rhash_get(ts->texts, path, APR_HASH_KEY_STRING));
}

void
text_store_set_file(text_store *ts, const char *path, const char *file) {
  rhash_set(ts->texts, path, APR_HASH_KEY_STRING, file, file ? -1 : 0);
}

const md5_entry *
text_store_digest(const text_store *ts, const char *path) {
  return static_cast<const md5_entry *>(
      rhash_get(ts->digests, path, APR_HASH_KEY_STRING));
}

void
text_store_set_digest(text_store *ts, const char *path,
                      const unsigned char *digest, svn_revnum_t local_rev) {
  md5_entry entry{};
  std::memcpy(entry.digest, digest, 16);
  entry.local_rev = local_rev;
  rhash_set(ts->digests, path, APR_HASH_KEY_STRING, &entry, sizeof entry);
}

void
text_store_forget_digest(text_store *ts, const char *path) {
  rhash_set(ts->digests, path, APR_HASH_KEY_STRING, nullptr, 0);
}

void
text_store_forget_digests_below(text_store *ts, const char *path,
                                apr_pool_t *pool) {
  std::size_t len = std::strlen(path);
  for (rhash_index *hi = rhash_first(pool, ts->digests); hi;) {
    const void *key = nullptr;
    apr_ssize_t key_len = 0;
    rhash_this(hi, &key, &key_len, nullptr);
    hi = rhash_next(hi);
    const char *name = static_cast<const char *>(key);
    if (!is_below(name, key_len, path, len))
      continue;
    print_debug("deleting %s from md5_hash\n", name);
    rhash_set(ts->digests, name, key_len, nullptr, 0);
  }
}

void
text_store_drop_files_below(text_store *ts, const char *path,
                            const char *owner,
                            void (*each)(const char *path, void *baton),
                            void *baton, apr_pool_t *pool) {
  std::size_t len = std::strlen(path);
  for (rhash_index *hi = rhash_first(pool, ts->texts); hi;) {
    const void *key = nullptr;
    apr_ssize_t key_len = 0;
    void *value = nullptr;
    rhash_this(hi, &key, &key_len, &value);
    hi = rhash_next(hi);
    const char *name = static_cast<const char *>(key);
    if (!is_below(name, key_len, path, len))
      continue;
    const char *file = static_cast<const char *>(value);
    print_debug("%s(%s): Removing file %s\n", owner, path, file);
    if (apr_file_remove(file, pool) != APR_SUCCESS)
      print_debug("%s(%s): Cannot remove file %s\n", owner, path, file);
    if (each)
      each(name, baton);
    print_debug("%s(%s): deleting %s from delta_hash\n", owner, path, name);
    rhash_set(ts->texts, name, key_len, nullptr, 0);
  }
}
