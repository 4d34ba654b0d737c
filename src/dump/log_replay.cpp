// Log replay into the path repository; see log_replay.h.
#include "dump/log_replay.h"

#include "util/diagnostics.h"
#include "obfuscate/obfuscate.h"
#include "util/apr_glue.h"
#include "util/path.h"

#include <apr_hash.h>
#include <apr_strings.h>
#include <svn_dirent_uri.h>
#include <svn_ra.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// The line that names the revision whose tree was asked for, above the
// server's error.
vh::Error
fetch_error(vh::Error &&err, svn_revnum_t revision) {
  return vh::Error::wrapf(std::move(err),
                          _("Error fetching tree for revision %ld"),
                          static_cast<long>(revision));
}

// Records a copy of the dumped directory's own `source` (relative to the
// dumped directory) at local revision `local` as the destination `path`:
// the source itself maps to `path`, every path below it to the same path
// below `path`. Fails when the tree of `local` cannot be rebuilt. A path
// already present is no error here: its addition is recorded all the same.
vh::Error
record_inside_copy(path_repo *repo, const char *path, const char *source,
                   svn_revnum_t local, apr_pool_t *pool) {
  const critbit_tree *tree = nullptr;
  if (vh::Error err = pr_cached_tree(repo, local, pool, &tree))
    return err;
  std::size_t source_len = std::strlen(source);
  pr_collect collect{apr_array_make(pool, 16, sizeof(const char *)), source_len,
                     pool};
  critbit_walk_prefix(tree, source, pr_collect_path, &collect);

  if (source_len == 0) {
    // The source is the dumped directory itself, which existed at the
    // source revision even when the tree holds no entry for its own empty
    // path (the editor never records one). The paths below it carry no
    // slash of their own to keep, so each is joined below the destination.
    static_cast<void>(path_repo_add(repo, path));
    for (int i = 0; i < collect.list->nelts; ++i) {
      const char *x = APR_ARRAY_IDX(collect.list, i, const char *);
      if (*x)
        static_cast<void>(
            path_repo_add(repo, apr_pstrcat(pool, path, "/", x, nullptr)));
    }
    return {};
  }
  // Q maps to the destination, Q/sub to destination/sub; nothing is
  // recorded when the source is not in the tree.
  for (int i = 0; i < collect.list->nelts; ++i) {
    const char *x = APR_ARRAY_IDX(collect.list, i, const char *);
    static_cast<void>(
        path_repo_add(repo, apr_pstrcat(pool, path, x + source_len, nullptr)));
  }
  return {};
}

// Whether `logrev` is the first real entry of a subdirectory's log: the
// revision in which the subtree came into being.
bool
is_first_entry(const log_revision *logrev, const revision_map *revs) {
  int first = revision_map_first_index(revs);
  return revision_map_count(revs) > first &&
         revision_map_at(revs, first)->revision == logrev->revision;
}

// Whether the changed paths add or replace the dumped directory itself. When
// its first entry does not, the subtree came with a copy of one of its
// parents, which lies outside it and so is not listed.
bool
adds_subtree_root(apr_hash_t *changed) {
  if (!changed)
    return false;
  const auto *root = static_cast<const svn_log_changed_path2_t *>(
      apr_hash_get(changed, "", APR_HASH_KEY_STRING));
  return root && (root->action == 'A' || root->action == 'R');
}

} // namespace

vh::Error
pr_list_tree(apr_array_header_t *list, const char *dir, svn_revnum_t revision,
             session *sess, apr_pool_t *pool) {
  vh::Pool scratch(pool);
  apr_hash_t *dirents = nullptr;
  if (vh::Error err(svn_ra_get_dir2(sess->ra, &dirents, nullptr, nullptr, dir,
                                    revision, SVN_DIRENT_KIND, scratch.get()));
      err)
    return err;
  for (apr_hash_index_t *hi = apr_hash_first(scratch.get(), dirents); hi;
       hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    const auto *name = static_cast<const char *>(key);
    const auto *dirent = static_cast<const svn_dirent_t *>(val);
    if (dirent->kind != svn_node_dir && dirent->kind != svn_node_file)
      continue;
    const char *child =
        *dir ? apr_psprintf(pool, "%s/%s", dir, name) : apr_pstrdup(pool, name);
    APR_ARRAY_PUSH(list, const char *) = child;
    if (dirent->kind == svn_node_dir)
      if (vh::Error err = pr_list_tree(list, child, revision, sess, pool))
        return err;
  }
  return {};
}

vh::Error
pr_fetch_paths(path_repo *repo, const char *path, svn_revnum_t revision,
               session *sess, apr_pool_t *pool) {
  // The path repository's names may be obfuscated; the server knows the
  // real ones.
  const char *real = obfuscate_reveal_path(&sess->obf, pool, path);
  svn_dirent_t *dirent = nullptr;
  if (vh::Error err(svn_ra_stat(sess->ra, real, revision, &dirent, pool)); err)
    return fetch_error(std::move(err), revision);
  if (!dirent) {
    print_debug("pr_fetch_paths(): Non-existent: %s@%ld\n", path,
                static_cast<long>(revision));
    return {};
  }

  apr_array_header_t *list = apr_array_make(pool, 16, sizeof(const char *));
  if (dirent->kind != svn_node_file)
    if (vh::Error err = pr_list_tree(list, real, revision, sess, pool))
      return fetch_error(std::move(err), revision);
  // Paths already present are no error here: their additions are recorded
  // all the same.
  static_cast<void>(path_repo_add(repo, path));
  for (int i = 0; i < list->nelts; ++i)
    static_cast<void>(path_repo_add(
        repo, obfuscate_path(&sess->obf, pool,
                             APR_ARRAY_IDX(list, i, const char *))));
  return {};
}

vh::Error
path_repo_commit_log(path_repo *repo, session *sess, dump_options *opts,
                     const log_revision *logrev, svn_revnum_t revision,
                     const revision_map *revs, apr_pool_t *pool) {
  // Only the entries' own revisions are committed with DF_KEEP_REVNUMS, and
  // a rebuild of a revision above a multiple of 1024 starts from that
  // multiple's snapshot: commit the snapshots that the gap skips, before
  // this entry's changes are pending.
  if (opts->flags & DF_KEEP_REVNUMS) {
    for (svn_revnum_t m = (repo->last_rev | 1023) + 1; m < revision;
         m += 1024) {
      if (vh::Error err = path_repo_commit(repo, m, pool))
        return err;
    }
  }

  apr_hash_t *changed = logrev->changed_paths;
  const char *repos_path = session_subtree(sess);
  // A subtree that came with a copy of a parent has no log entry for the
  // paths it brought: they are listed from the server.
  if (revs->subtree && is_first_entry(logrev, revs) &&
      !adds_subtree_root(changed))
    if (vh::Error err = pr_fetch_paths(repo, "", logrev->revision, sess, pool))
      return err;
  if (!changed || apr_hash_count(changed) == 0)
    return path_repo_commit(repo, revision, pool);

  apr_array_header_t *paths = apr_array_make(
      pool, static_cast<int>(apr_hash_count(changed)), sizeof(const char *));
  for (apr_hash_index_t *hi = apr_hash_first(pool, changed); hi;
       hi = apr_hash_next(hi)) {
    const void *key;
    apr_hash_this(hi, &key, nullptr, nullptr);
    APR_ARRAY_PUSH(paths, const char *) = static_cast<const char *>(key);
  }
  auto **first = reinterpret_cast<const char **>(paths->elts);
  std::sort(first, first + paths->nelts,
            [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });

  vh::Pool iter(pool);
  for (int i = 0; i < paths->nelts; ++i) {
    iter.clear();
    const char *path = first[i];
    const auto *change = static_cast<const svn_log_changed_path2_t *>(
        apr_hash_get(changed, path, APR_HASH_KEY_STRING));
    char action = change->action;
    const char *source = change->copyfrom_path;
    if (source)
      print_debug("path_repo_commit(%ld): %c %s (from %s@%ld)\n",
                  static_cast<long>(revision), action, path, source,
                  static_cast<long>(change->copyfrom_rev));
    else
      print_debug("path_repo_commit(%ld): %c %s\n", static_cast<long>(revision),
                  action, path);

    if (action == 'D' || action == 'R')
      if (vh::Error err = path_repo_delete(repo, path, iter.get()))
        return err;
    if (action != 'A' && action != 'R')
      continue;
    if (!source) {
      // a path already present is no error here
      static_cast<void>(path_repo_add(repo, path));
      continue;
    }
    if (path_is_inside(repos_path, source)) {
      // Numbered as the dump stood when this entry was dumped.
      svn_revnum_t local = revision_map_local_of(
          revs, change->copyfrom_rev,
          revision_map_index_at(revs, logrev->revision));
      if (vh::Error err = record_inside_copy(
              repo, path, path_skip_prefix(repos_path, source), local,
              iter.get()))
        return err;
    } else if (vh::Error err = pr_fetch_paths(repo, path, logrev->revision,
                                              sess, iter.get())) {
      return err;
    }
  }
  return path_repo_commit(repo, revision, pool);
}
