// Path repository: change lists and snapshots in "paths.db", the current
// tree and the cache of rebuilt trees; see path_repo.h.
#include "history/path_repo.h"

#include "util/diagnostics.h"
#include "util/record_file.h"
#include "util/apr_glue.h"
#include "util/compress.h"

#include <apr_strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

// Room for the decimal digits and sign of any revision number.
struct rev_key {
  char text[24];
  apr_ssize_t len;
};

rev_key
make_key(svn_revnum_t revision) {
  rev_key key;
  key.len = std::snprintf(key.text, sizeof key.text, "%ld",
                          static_cast<long>(revision));
  return key;
}

bool
is_snapshot(svn_revnum_t revision) {
  return revision > 0 && (revision & 1023) == 0;
}

pr_cache_entry &
slot(path_repo *repo, int i) {
  return APR_ARRAY_IDX(repo->cache, i, pr_cache_entry);
}

void
record_change(path_repo *repo, char action, const char *path) {
  pr_change &change = APR_ARRAY_PUSH(repo->changes, pr_change);
  change.action = action;
  change.path = apr_pstrdup(repo->changes_pool, path);
  repo->changes_size += static_cast<std::int32_t>(std::strlen(path) + 2);
}

void
drop_changes(path_repo *repo) {
  repo->changes_size = 0;
  apr_array_clear(repo->changes);
  apr_pool_clear(repo->changes_pool);
}

// Replays one decompressed record over `target`. Returns false when an
// entry lacks its terminator.
bool
replay_entries(critbit_tree *target, const char *data, std::size_t length) {
  std::size_t pos = 0;
  while (pos < length) {
    char action = data[pos++];
    const void *end = std::memchr(data + pos, '\0', length - pos);
    if (!end)
      return false;
    const char *path = data + pos;
    if (action == '+')
      critbit_insert(target, path);
    else
      critbit_delete(target, path);
    pos = static_cast<const char *>(end) - data + 1;
  }
  return true;
}

// A record of "paths.db" that was read back but does not decode.
vh::Error
decode_error(svn_revnum_t revision) {
  return vh::Error::createf(vh::FAILURE,
                            _("Error decoding tree delta for revision %ld"),
                            static_cast<long>(revision));
}

// The slot holding the tree of the last commit, or nullptr.
pr_cache_entry *
latest_slot(path_repo *repo) {
  if (repo->last_rev < 0)
    return nullptr;
  for (int i = 0; i < PR_CACHE_SLOTS; ++i)
    if (slot(repo, i).revision == repo->last_rev)
      return &slot(repo, i);
  return nullptr;
}

void
drop_slot(pr_cache_entry *entry) {
  critbit_clear(&entry->tree);
  entry->revision = -1;
}

// Applies the pending changes to `tree` as a replay of their record would.
// Returns false when memory ran out.
bool
apply_changes(const path_repo *repo, critbit_tree *tree) {
  for (int i = 0; i < repo->changes->nelts; ++i) {
    const pr_change &change = APR_ARRAY_IDX(repo->changes, i, pr_change);
    if (change.action == '+') {
      if (critbit_insert(tree, change.path) == CRITBIT_NO_MEMORY)
        return false;
    } else {
      critbit_delete(tree, change.path);
    }
  }
  return true;
}

// Brings the cache up to a successful commit of `revision`, before the
// pending changes are dropped. The slot holding the tree of the previous
// commit takes the pending changes and becomes the tree of `revision`, so
// that the questions about the revision committed last, which the dump asks
// for nearly every revision, need no rebuild. Any other slot at or above
// `revision` was rebuilt before these changes were recorded and is dropped.
void
advance_cache(path_repo *repo, svn_revnum_t revision) {
  pr_cache_entry *latest =
      revision > repo->last_rev ? latest_slot(repo) : nullptr;
  for (int i = 0; i < PR_CACHE_SLOTS; ++i) {
    pr_cache_entry &entry = slot(repo, i);
    if (&entry != latest && entry.revision >= revision)
      drop_slot(&entry);
  }
  if (!latest)
    return;
  if (apply_changes(repo, &latest->tree))
    latest->revision = revision;
  else
    drop_slot(latest);
}

int
insert_path(const char *str, void *data) noexcept {
  return critbit_insert(static_cast<critbit_tree *>(data), str) ==
                 CRITBIT_NO_MEMORY
             ? CRITBIT_NO_MEMORY
             : 0;
}

apr_status_t
pr_cleanup(void *data) noexcept {
  auto *repo = static_cast<path_repo *>(data);
  critbit_clear(&repo->tree);
  for (int i = 0; i < PR_CACHE_SLOTS; ++i)
    critbit_clear(&slot(repo, i).tree);
  // A clean-up has nobody to hand a failure to.
  static_cast<void>(record_file_close(repo->db));
  return APR_SUCCESS;
}

} // namespace

vh::Error
path_repo_create(const char *temp_dir, apr_pool_t *pool, path_repo **made) {
  *made = nullptr;
  apr_pool_t *own_pool = nullptr;
  apr_pool_create(&own_pool, pool);
  auto *repo =
      static_cast<path_repo *>(apr_pcalloc(own_pool, sizeof(path_repo)));
  repo->pool = own_pool;
  apr_pool_create(&repo->changes_pool, own_pool);
  critbit_init(&repo->tree);

  repo->changes = apr_array_make(own_pool, 1, sizeof(pr_change));
  repo->cache =
      apr_array_make(own_pool, PR_CACHE_SLOTS, sizeof(pr_cache_entry));
  for (int i = 0; i < PR_CACHE_SLOTS; ++i) {
    pr_cache_entry &entry = APR_ARRAY_PUSH(repo->cache, pr_cache_entry);
    entry.revision = -1;
    critbit_init(&entry.tree);
  }
  repo->cache_next = 0;
  repo->last_rev = 0;

  const char *path = apr_psprintf(pool, "%s/paths.db", temp_dir);
  repo->db = record_file_open(path, own_pool);
  if (!repo->db) {
    const int reason = errno;
    apr_pool_destroy(own_pool);
    return vh::Error::createf(APR_FROM_OS_ERROR(reason),
                              _("Error creating path database (%s)"),
                              std::strerror(reason));
  }
  // Debian's snappy keeps no working state, so there is no compressor
  // environment to set up or release.
  apr_pool_cleanup_register(own_pool, repo, pr_cleanup, apr_pool_cleanup_null);
  *made = repo;
  return {};
}

vh::Error
path_repo_add(path_repo *repo, const char *path) {
  record_change(repo, '+', path);
  switch (critbit_insert(&repo->tree, path)) {
  case CRITBIT_INSERTED:
    return {};
  case CRITBIT_PRESENT:
    return vh::Error::createf(vh::FAILURE, _("Path '%s' is already present"),
                              path);
  case CRITBIT_NO_MEMORY:
    break;
  }
  return vh::Error::createf(APR_ENOMEM, _("Out of memory adding path '%s'"),
                            path);
}

vh::Error
path_repo_delete(path_repo *repo, const char *path, apr_pool_t *pool) {
  pr_collect collect{apr_array_make(pool, 16, sizeof(const char *)),
                     std::strlen(path), pool};
  critbit_walk_prefix(&repo->tree, path, pr_collect_path, &collect);
  for (int i = 0; i < collect.list->nelts; ++i) {
    const char *victim = APR_ARRAY_IDX(collect.list, i, const char *);
    record_change(repo, '-', victim);
    critbit_delete(&repo->tree, victim);
  }
  return {};
}

vh::Error
path_repo_commit(path_repo *repo, svn_revnum_t revision, apr_pool_t *pool) {
  if (!is_snapshot(revision) && repo->changes_size == 0) {
    advance_cache(repo, revision);
    repo->last_rev = revision;
    return {};
  }

  char *encoded;
  std::size_t encoded_len = 0;
  if (is_snapshot(revision)) {
    pr_collect collect{apr_array_make(pool, 1024, sizeof(const char *)), 0,
                       pool};
    if (critbit_walk_prefix(&repo->tree, "", pr_collect_path, &collect) != 0)
      return vh::Error::createf(vh::FAILURE, "%s",
                                _("Error encoding tree data for snapshot"));
    for (int i = 0; i < collect.list->nelts; ++i)
      encoded_len +=
          std::strlen(APR_ARRAY_IDX(collect.list, i, const char *)) + 2;
    encoded = static_cast<char *>(apr_palloc(pool, encoded_len + 1));
    char *out = encoded;
    for (int i = 0; i < collect.list->nelts; ++i) {
      const char *path = APR_ARRAY_IDX(collect.list, i, const char *);
      std::size_t len = std::strlen(path);
      *out++ = '+';
      std::memcpy(out, path, len + 1);
      out += len + 1;
    }
  } else {
    encoded_len = static_cast<std::size_t>(repo->changes_size);
    encoded = static_cast<char *>(apr_palloc(pool, encoded_len));
    char *out = encoded;
    for (int i = 0; i < repo->changes->nelts; ++i) {
      const pr_change &change = APR_ARRAY_IDX(repo->changes, i, pr_change);
      std::size_t len = std::strlen(change.path);
      *out++ = change.action;
      std::memcpy(out, change.path, len + 1);
      out += len + 1;
    }
  }

  std::size_t bound = compress_bound(encoded_len);
  auto *compressed = static_cast<char *>(apr_palloc(pool, bound));
  std::size_t compressed_len =
      compress_block({encoded, encoded_len}, {compressed, bound});
  if (compressed_len == 0)
    return vh::Error::createf(vh::FAILURE,
                              _("Error compressing tree data for revision %ld"),
                              static_cast<long>(revision));

  rev_key key = make_key(revision);
  if (vh::Error err = record_file_put(repo->db, key.text, key.len, compressed,
                                      compressed_len))
    return vh::Error::wrapf(std::move(err),
                            _("Error storing paths for revision %ld"),
                            static_cast<long>(revision));

  advance_cache(repo, revision);
  repo->last_rev = revision;
  drop_changes(repo);
  return {};
}

vh::Error
path_repo_discard(path_repo *repo, apr_pool_t *pool) {
  drop_changes(repo);
  critbit_clear(&repo->tree);
  // The tree of the last commit is usually cached: a copy of it spares the
  // replay of up to 1024 records.
  if (const pr_cache_entry *latest = latest_slot(repo)) {
    if (critbit_walk_prefix(&latest->tree, "", insert_path, &repo->tree) == 0)
      return {};
    critbit_clear(&repo->tree);
  }
  return pr_build_tree(repo, &repo->tree, repo->last_rev, pool);
}

vh::Error
pr_build_tree(path_repo *repo, critbit_tree *target, svn_revnum_t revision,
              apr_pool_t *pool) {
  // Start at the snapshot at or below `revision`. A multiple of 1024 that
  // was never committed (the log replay of a subdirectory with kept
  // revision numbers commits only the revisions that touch it) has none:
  // then start at the snapshot before it, so that no path from before the
  // gap is lost; the change lists in between are replayed too.
  svn_revnum_t start = revision & ~svn_revnum_t{1023};
  while (start > 0) {
    rev_key key = make_key(start);
    if (record_file_contains(repo->db, key.text, key.len))
      break;
    start -= 1024;
  }
  if (revision >= 0 && start < 0)
    start = 0;

  vh::Pool iterpool(pool);
  for (svn_revnum_t i = start; i <= revision; ++i) {
    iterpool.clear();
    rev_key key = make_key(i);
    if (!record_file_contains(repo->db, key.text, key.len))
      continue;
    std::size_t block_len = 0;
    char *block = record_file_get(repo->db, key.text, key.len, iterpool.get(),
                                  &block_len);
    if (!block)
      return vh::Error::createf(
          vh::FAILURE, _("Error fetching tree delta for revision %ld"),
          static_cast<long>(i));
    std::size_t length = 0;
    if (!compress_uncompressed_length({block, block_len}, &length))
      return decode_error(i);
    std::unique_ptr<char[]> data(new (std::nothrow) char[length]);
    if (!data)
      return vh::Error::createf(
          APR_ENOMEM, _("Out of memory decoding tree delta for revision %ld"),
          static_cast<long>(i));
    if (!compress_uncompress({block, block_len}, {data.get(), length}) ||
        !replay_entries(target, data.get(), length))
      return decode_error(i);
  }
  return {};
}

vh::Error
pr_cached_tree(path_repo *repo, svn_revnum_t revision, apr_pool_t *pool,
               const critbit_tree **tree) {
  *tree = nullptr;
  for (int i = 0; i < PR_CACHE_SLOTS; ++i)
    if (slot(repo, i).revision == revision) {
      *tree = &slot(repo, i).tree;
      return {};
    }

  // The tree of the last commit is kept: the dump asks about that revision
  // more than about any other, and commits keep it current.
  int victim = repo->cache_next;
  if (&slot(repo, victim) == latest_slot(repo))
    victim = (victim + 1) % PR_CACHE_SLOTS;
  pr_cache_entry &entry = slot(repo, victim);
  critbit_clear(&entry.tree);
  if (vh::Error err = pr_build_tree(repo, &entry.tree, revision, pool)) {
    // A partial replay must never answer a later query.
    drop_slot(&entry);
    return err;
  }
  entry.revision = revision;
  repo->cache_next = (victim + 1) % PR_CACHE_SLOTS;
  *tree = &entry.tree;
  return {};
}

vh::Error
path_repo_exists(path_repo *repo, const char *path, svn_revnum_t revision,
                 apr_pool_t *pool, bool *exists) {
  *exists = false;
  if (revision < 0)
    return {};
  const critbit_tree *tree = nullptr;
  if (vh::Error err = pr_cached_tree(repo, revision, pool, &tree))
    return err;
  *exists = critbit_contains(tree, path) == 1;
  return {};
}

vh::Error
path_repo_check_parent(path_repo *repo, const char *parent, const char *name,
                       svn_revnum_t revision, apr_pool_t *pool, bool *exists) {
  const char *path = *parent ? apr_psprintf(pool, "%s/%s", parent, name) : name;
  return path_repo_exists(repo, path, revision, pool, exists);
}

int
pr_collect_path(const char *str, void *data) noexcept {
  auto *collect = static_cast<pr_collect *>(data);
  std::size_t p = collect->prefix_len;
  if (p != 0 && str[p] != '/' && str[p] != '\0')
    return 0;
  APR_ARRAY_PUSH(collect->list, const char *) = apr_pstrdup(collect->pool, str);
  return 0;
}
