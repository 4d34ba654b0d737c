// Path repository: which paths existed in the dumped tree at every revision
// dumped so far, so that later revisions can ask whether a copy source or a
// parent directory really is present in the dumped history.
//
// It keeps the current tree in memory (`tree`), collects the additions and
// deletions of the revision being dumped (`changes`), and at each commit
// writes them as one record of the record file "paths.db" in the temporary
// directory. Every 1024th revision it writes the whole tree instead, so the
// tree of any revision is rebuilt from the nearest snapshot at or below it
// plus at most 1023 change lists. The last four rebuilt trees are cached,
// and a commit carries the cached tree of the previous commit forward to
// the new revision (at a cost proportional to its changes), so the revision
// committed last, which the dump asks about for nearly every revision, is
// answered without a rebuild once it has been rebuilt. Only the current tree
// and the four cached trees are ever in memory.
//
// Paths are relative to the dumped directory, without a leading slash; the
// empty string is the dumped directory itself. Revisions are the dump's own
// (local) numbers.
//
// "paths.db" (a record file, see record_file.h): one record per committed
// revision R that wrote anything.
//   key    R in decimal as apr_itoa writes it (no sign for R >= 0, no
//          leading zeros), the digits only, without a NUL.
//   value  one snappy raw block whose uncompressed content is a sequence of
//          entries, each
//            action      1 byte   '+' (0x2B) added or '-' (0x2D) deleted
//            path        n bytes  the path
//            terminator  1 byte   0
//          with no count, header or padding; the uncompressed length is the
//          sum of (n + 2).
//   A record is a snapshot exactly when R > 0 and R is a multiple of 1024:
//   then it holds one '+' entry for every path of the tree, ascending by
//   bytes. Otherwise it is a change list: the changes of that revision in
//   the order in which they were made. A commit that is neither a snapshot
//   nor has pending changes writes no record. Replaying the change lists of
//   revisions B+1..R over the snapshot of B = R & ~1023 gives the tree of
//   R. When B was never committed (and so has no snapshot), the replay
//   starts at the latest snapshot below B, or at revision 0 when there is
//   none, and takes every change list from there.
// The file lives only for the run and is unlinked at destruction.
#pragma once

#include "history/critbit.h"
#include "util/apr_glue.h"

#include <apr_pools.h>
#include <apr_tables.h>
#include <svn_types.h>

#include <cstdint>

struct record_file;

// One pending change: '+' for an added path, '-' for a deleted path; the
// path lives in the repository's `changes_pool`.
struct pr_change {
  char action;
  const char *path;
};

// One slot of the cache of rebuilt trees; `revision` is -1 while the slot
// holds no tree that may answer a query.
struct pr_cache_entry {
  svn_revnum_t revision;
  critbit_tree tree;
};

// Number of slots of the tree cache.
inline constexpr int PR_CACHE_SLOTS = 4;

// The repository, allocated zero-filled in its own `pool` (a child of the
// creator's pool); destroyed by a clean-up on that pool.
struct path_repo {
  apr_pool_t *pool;
  record_file *db;             // "paths.db"
  apr_pool_t *changes_pool;    // path copies of `changes`; child of `pool`
  apr_array_header_t *changes; // of pr_change, in the order made
  std::int32_t changes_size;   // sum of (path length + 2) over `changes`
  critbit_tree tree;           // the current tree
  svn_revnum_t last_rev;       // revision of the last commit; 0 at creation
  apr_array_header_t *cache;   // of PR_CACHE_SLOTS pr_cache_entry
  std::int32_t cache_next;     // slot to replace next
};

// Bundle handed to `pr_collect_path` by a prefix walk: paths are appended
// to `list` (of const char *, copies in `pool`).
struct pr_collect {
  apr_array_header_t *list;
  std::size_t prefix_len;
  apr_pool_t *pool;
};

// Creates an empty repository whose "paths.db" lies in `temp_dir`, as a
// child of `pool`, stores it in *repo and registers its destruction on its
// own pool (which closes and unlinks "paths.db" and frees every tree).
// Fails with "Error creating path database (REASON)" when the file cannot be
// created; *repo is then null.
vh::Error path_repo_create(const char *temp_dir, apr_pool_t *pool,
                           path_repo **repo);

// Records the addition of `path` (copied) and adds it to the current tree.
// Fails when the path was already in the current tree or memory ran out;
// the change is recorded in both cases (the log replay, which may add a
// path twice, ignores the failure).
vh::Error path_repo_add(path_repo *repo, const char *path);

// Records the deletion of `path` and of every path below it ("a" deletes
// "a" and "a/b", not "ab"), in ascending order, and removes them from the
// current tree. Paths below are deleted even when `path` itself is absent;
// nothing is recorded when neither is present. `pool` is scratch. Never
// fails; the result keeps the callers' checks when that changes.
vh::Error path_repo_delete(path_repo *repo, const char *path,
                           apr_pool_t *pool);

// Makes the pending changes the record of `revision` (a snapshot of the
// whole tree when `revision` is a positive multiple of 1024) and sets
// `last_rev`. On success the cache slot holding the tree of the previous
// `last_rev`, if any, takes the changes and holds the tree of `revision`
// (when `revision` is above the previous `last_rev`), and every other slot
// at or above `revision` is emptied and unused. Fails with a message naming
// the revision ("Error storing paths for revision %ld" above the record
// file's own error when the record cannot be written); the pending changes,
// `last_rev` and the cache then stay as they were. `pool` is scratch.
vh::Error path_repo_commit(path_repo *repo, svn_revnum_t revision,
                           apr_pool_t *pool);

// Drops the pending changes and makes the current tree that of `last_rev`:
// a copy of the cached tree of `last_rev` when a slot holds it, else a
// rebuild. Fails when the tree cannot be rebuilt. `pool` is scratch.
vh::Error path_repo_discard(path_repo *repo, apr_pool_t *pool);

// Sets *exists to whether `path` existed at `revision` (false when
// `revision` is below 0; the cache is then not touched). Fails when the
// tree of `revision` cannot be rebuilt; *exists is then false. Rebuilt
// trees are cached in four slots used in turn, except that the slot holding
// the tree of `last_rev` is skipped; commits keep the slots exact (see
// `path_repo_commit`). `pool` is scratch.
vh::Error path_repo_exists(path_repo *repo, const char *path,
                           svn_revnum_t revision, apr_pool_t *pool,
                           bool *exists);

// As `path_repo_exists` for the path "parent/name". An empty `parent` (a
// node directly in the dumped directory, or a copy whose source is the
// dumped directory itself) asks for `name` alone: "/name" is a form in which
// the repository holds no path.
vh::Error path_repo_check_parent(path_repo *repo, const char *parent,
                                 const char *name, svn_revnum_t revision,
                                 apr_pool_t *pool, bool *exists);

// Internal steps, public for the log replay (log_replay.h).

// Stores in *tree the tree of `revision` from the cache: the first slot
// whose revision matches, else a rebuild into the slot at `cache_next` (or
// the one after it when that slot holds the tree of `last_rev`), and
// `cache_next` then points past the slot used. Fails when the rebuild
// fails (*tree is then null); that slot is then empty and unused. A
// negative `revision` matches an unused slot, or rebuilds to an empty tree.
// The tree stays owned by the cache and valid until the slot is reused or
// the next successful commit.
vh::Error pr_cached_tree(path_repo *repo, svn_revnum_t revision,
                         apr_pool_t *pool, const critbit_tree **tree);

// Adds to `target` (emptied by the caller) every path of `revision`: the
// records from the latest snapshot at or below it (normally the multiple of
// 1024 at or below it; see the top) up to it, replayed in order. Fails when
// a record cannot be read ("Error fetching tree delta for revision %ld") or
// decoded ("Error decoding tree delta for revision %ld").
vh::Error pr_build_tree(path_repo *repo, critbit_tree *target,
                        svn_revnum_t revision, apr_pool_t *pool);

// Prefix-walk callback (`data` is a pr_collect): appends a copy of `str` to
// the list when it is the prefix itself or continues it with '/'; with a
// prefix length of 0 every string. Always returns 0.
int pr_collect_path(const char *str, void *data) noexcept;
