// The revision map; see revision_map.h.
#include "history/revision_map.h"

#include "util/diagnostics.h"

#include <algorithm>
#include <new>

revision_map *
revision_map_make(apr_pool_t *pool, bool subtree, bool keep_revnums) {
  auto *map = static_cast<revision_map *>(apr_pcalloc(pool, sizeof(revision_map)));
  new (map) revision_map();
  map->logs = apr_array_make(pool, 64, sizeof(log_revision));
  map->subtree = subtree;
  map->keep_revnums = keep_revnums;
  if (subtree)
    APR_ARRAY_PUSH(map->logs, log_revision) = log_revision{};
  return map;
}

int
revision_map_count(const revision_map *map) {
  return map->logs->nelts;
}

log_revision *
revision_map_at(const revision_map *map, int index) {
  return &APR_ARRAY_IDX(map->logs, index, log_revision);
}

int
revision_map_append(revision_map *map, const log_revision &entry) {
  APR_ARRAY_PUSH(map->logs, log_revision) = entry;
  return map->logs->nelts - 1;
}

int
revision_map_first_index(const revision_map *map) {
  return map->subtree ? 1 : 0;
}

bool
revision_map_starts_run(const revision_map *map, int index) {
  return index == revision_map_first_index(map);
}

svn_revnum_t
revision_map_first_dumped(const revision_map *map, svn_revnum_t start) {
  int first = revision_map_first_index(map);
  if (revision_map_count(map) > first)
    start = std::max(start, revision_map_at(map, first)->revision);
  return start;
}

svn_revnum_t
revision_map_local_of(const revision_map *map, svn_revnum_t rev, int current) {
  if (map->keep_revnums)
    return rev;
  const int n = current < 0 ? revision_map_count(map) : current + 1;
  print_debug("local_revnum = %ld\n", static_cast<long>(n - 1));
  // A whole-repository dump that starts above 0 numbers its first revision
  // (the list's first entry) 1.
  const svn_revnum_t offset =
      n > 0 && revision_map_at(map, 0)->revision > 0 ? 1 : 0;
  for (int k = n - 2; k >= 0; --k) {
    svn_revnum_t revision = revision_map_at(map, k)->revision;
    print_debug("node->copyfrom = %ld, logrev->revision = %ld, rev = %ld\n",
                static_cast<long>(rev), static_cast<long>(revision),
                static_cast<long>(k + offset));
    if (revision == rev) {
      print_debug("-> equal, using %ld\n", static_cast<long>(k + offset));
      return k + offset;
    }
    if (revision < rev) {
      print_debug("-> smaller , using %ld\n", static_cast<long>(k + offset));
      return k + offset;
    }
  }
  return n < 2 ? n - 2 : -1;
}

int
revision_map_index_at(const revision_map *map, svn_revnum_t rev) {
  auto *first = reinterpret_cast<const log_revision *>(map->logs->elts);
  auto *last = first + map->logs->nelts;
  auto *cut = std::upper_bound(
      first, last, rev,
      [](svn_revnum_t r, const log_revision &e) { return r < e.revision; });
  if (cut == first)
    return map->logs->nelts - 1;
  return static_cast<int>(cut - first) - 1;
}
