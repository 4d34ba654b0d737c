// The text store; see text_store.h.
#include "delta/text_store.h"

#include "util/diagnostics.h"

#include <apr_file_io.h>

#include <cstring>
#include <new>

namespace {

apr_status_t
text_store_cleanup(void *data) noexcept {
  static_cast<text_store *>(data)->~text_store();
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

} // namespace

text_store *
text_store_create(apr_pool_t *pool) {
  void *mem = apr_palloc(pool, sizeof(text_store));
  auto *ts = new (mem) text_store();
  apr_pool_cleanup_register(pool, ts, text_store_cleanup,
                            apr_pool_cleanup_null);
  return ts;
}

const char *
text_store_file(const text_store *ts, const char *path) {
  auto it = ts->texts.find(path);
  return it == ts->texts.end() ? nullptr : it->second.c_str();
}

void
text_store_set_file(text_store *ts, const char *path, const char *file) {
  if (file)
    ts->texts[path] = file;
  else
    ts->texts.erase(path);
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
text_store_drop_files_below(text_store *ts, const char *path,
                            const char *owner,
                            void (*each)(const char *path, void *baton),
                            void *baton, apr_pool_t *pool) {
  auto [first, last] = below(ts->texts, path);
  for (auto it = first; it != last; ++it) {
    const char *name = it->first.c_str();
    const char *file = it->second.c_str();
    print_debug("%s(%s): Removing file %s\n", owner, path, file);
    if (apr_file_remove(file, pool) != APR_SUCCESS)
      print_debug("%s(%s): Cannot remove file %s\n", owner, path, file);
    if (each)
      each(name, baton);
    print_debug("%s(%s): deleting %s from delta_hash\n", owner, path, name);
  }
  ts->texts.erase(first, last);
}
