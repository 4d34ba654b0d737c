// Revision finalisation; see finalise.h.
#include "delta/finalise.h"

#include "delta/copy_source.h"
#include "delta/node_dumper.h"
#include "util/diagnostics.h"
#include "history/path_repo.h"
#include "util/apr_glue.h"
#include "util/cancel.h"
#include "util/path.h"
#include "delta/text_store.h"

#include <apr_strings.h>
#include <svn_dirent_uri.h>

#include <algorithm>
#include <cstring>

namespace {

// A deletion record for a path that the log lists as deleted but the drive
// did not report; it belongs to no tree.
de_node_baton *
make_post_dump_node(de_baton *de, const char *path, char action) {
  de_node_baton *node = delta_new_node(de, de->pool, path);
  node->action = action;
  node->dump_needed = true;
  node->in_log = true;
  return node;
}

// Whether an ancestor of `path` written in this revision already covers
// its deletion (it was deleted, or is part of a failed copy).
bool
covered_by_ancestor(de_baton *de, const char *path, apr_pool_t *pool) {
  const char *dir = path;
  for (;;) {
    dir = svn_relpath_dirname(dir, pool);
    if (dir[0] == '\0')
      return false;
    auto *ancestor = static_cast<de_node_baton *>(
        apr_hash_get(de->dumped_nodes, dir, APR_HASH_KEY_STRING));
    if (!ancestor)
      continue;
    if (ancestor->action == 'D') {
      print_debug("de_close_edit(): Parent %s of %s already deleted, "
                  "ignoring\n",
                  dir, path);
      return true;
    }
    if (ancestor->cp_info & CPI_FAILED) {
      print_debug("de_close_edit(): Parent %s of %s is part of a failed copy, "
                  "ignoring\n",
                  dir, path);
      return true;
    }
  }
}

// Whether this revision is the first of the run that is diffed against an
// empty tree: its entry is the only real one in `logs` (a subdirectory
// dump's list starts with a placeholder).
bool
first_revision_of_run(const de_baton *de) {
  return de->dry_run ||
         revision_map_starts_run(de->revs, revision_map_count(de->revs) - 1);
}

// Whether the loader holds `path`, whose deletion the log lists and the
// drive did not report, at this point of the revision. The server reports
// every deletion of a path of the old tree, so the path can only have come
// with a copy written in this revision: below a kept copy whose source has
// it. Anywhere else the dump holds it only if the previous revision did.
svn_error_t *
loader_holds(de_baton *de, const char *path, apr_pool_t *pool, bool *held) {
  de_node_baton *ancestor = nullptr;
  const char *dir = path;
  do {
    dir = svn_relpath_dirname(dir, pool);
    ancestor = static_cast<de_node_baton *>(
        apr_hash_get(de->dumped_nodes, dir, APR_HASH_KEY_STRING));
  } while (!ancestor && dir[0]);
  if (ancestor && ancestor->cp_info == CPI_COPY) {
    de_node_baton probe;
    probe.de = de;
    probe.pool = pool;
    probe.path = path;
    SVN_ERR(delta_propagate_copy(ancestor, &probe));
    *held = probe.cp_info == CPI_COPY;
    return SVN_NO_ERROR;
  }
  bool answer = false;
  vh::Error err =
      path_repo_exists(de->prepo, path, de->local_revnum - 1, pool, &answer);
  if (err)
    return svn_error_createf(
        1, err.release(),
        _("Failed to check parent relationship at previous revision %ld"),
        static_cast<long>(de->local_revnum - 1));
  *held = answer;
  return SVN_NO_ERROR;
}

svn_error_t *post_dump_deletions(de_baton *de, apr_pool_t *pool);

} // namespace

svn_error_t *
de_close_edit(void *edit_baton, apr_pool_t *pool) noexcept {
  auto *de = static_cast<de_baton *>(edit_baton);
  if (de->root_node)
    SVN_ERR(delta_dump_node_recursive(de->root_node));
  if (de->logrev && de->logrev->changed_paths)
    SVN_ERR(post_dump_deletions(de, pool));
  // The server has sent the whole revision: its records reach the dump
  // now, even if the server then fails to acknowledge the end of the edit.
  // Writing is the program's own work: the server's silence meanwhile does
  // not count against it.
  cancel_set_busy(true);
  svn_error_t *err = delta_write_queue(de, pool);
  cancel_set_busy(false);
  SVN_ERR(err);
  if (de->head && de->head->with_record && de->output)
    SVN_ERR(dumpfile_commit(de->output, de->head->repos_rev,
                            de->head->local_rev));
  return SVN_NO_ERROR;
}

namespace {

// Queues a deletion record for every deleted path that the log lists, the
// drive did not report and no deletion or failed copy of an ancestor
// covers; and forgets the texts of deleted paths.
svn_error_t *
post_dump_deletions(de_baton *de, apr_pool_t *pool) {
  // The deleted paths in path order, like the tree, so that the dump does
  // not depend on the order of a hash table.
  apr_array_header_t *paths = apr_array_make(pool, 0, sizeof(const char *));
  for (apr_hash_index_t *hi = apr_hash_first(pool, de->logrev->changed_paths);
       hi; hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    void *value = nullptr;
    apr_hash_this(hi, &key, nullptr, &value);
    auto *change = static_cast<const svn_log_changed_path2_t *>(value);
    print_debug("Checking %s (%c)\n", static_cast<const char *>(key),
                change->action);
    if (change->action == 'D')
      APR_ARRAY_PUSH(paths, const char *) = static_cast<const char *>(key);
  }
  auto **first = reinterpret_cast<const char **>(paths->elts);
  std::sort(first, first + paths->nelts, [](const char *a, const char *b) {
    return std::strcmp(a, b) < 0;
  });
  for (int i = 0; i < paths->nelts; ++i) {
    const char *path = APR_ARRAY_IDX(paths, i, const char *);
    if (const char *file = text_store_file(de->texts, path)) {
      print_debug("de_close_edit(): Removing %s\n", file);
      if (apr_file_remove(file, pool) != APR_SUCCESS)
        print_debug("de_close_edit(): Cannot remove file %s\n", file);
      text_store_set_file(de->texts, path, nullptr);
    }
    if (apr_hash_get(de->dumped_nodes, path, APR_HASH_KEY_STRING))
      continue;
    if (covered_by_ancestor(de, path, pool))
      continue;
    // The first revision of a run arrives against an empty tree, so a
    // deletion that its log lists has nothing to delete in the dump.
    if (first_revision_of_run(de))
      continue;
    bool held = false;
    SVN_ERR(loader_holds(de, path, pool, &held));
    if (!held) {
      print_debug("de_close_edit(): %s is not in the dump, ignoring\n", path);
      continue;
    }
    de_node_baton *node = make_post_dump_node(de, path, 'D');
    print_debug("Post-dumping %s\n", path);
    SVN_ERR(delta_dump_node(node));
  }
  return SVN_NO_ERROR;
}

} // namespace

svn_error_t *
delta_dump_node_recursive(de_node_baton *node) {
  if (node->action != 'D')
    SVN_ERR(delta_dump_node(node));
  // Children in name order: the dump is the same whatever order the
  // server's drive took. A deletion stays before the add of the same name.
  auto **first = reinterpret_cast<de_node_baton **>(node->children->elts);
  std::stable_sort(first, first + node->children->nelts,
                   [](const de_node_baton *a, const de_node_baton *b) {
                     return std::strcmp(a->path, b->path) < 0;
                   });
  print_debug("delta_dump_node_recursive(%s): dumping %d children\n",
              node->path, node->children->nelts);
  for (int i = 0; i < node->children->nelts; ++i) {
    de_node_baton *child = APR_ARRAY_IDX(node->children, i, de_node_baton *);
    SVN_ERR(delta_propagate_copy(node, child));
    SVN_ERR(delta_dump_node_recursive(child));
  }
  if (node->action == 'D')
    return delta_dump_node(node);
  return SVN_NO_ERROR;
}

svn_error_t *
delta_propagate_copy(de_node_baton *parent, de_node_baton *child) {
  if (parent->cp_info != CPI_COPY) {
    print_debug("delta_propagate_copy(%s, %s): early out %d\n", parent->path,
                child->path, static_cast<int>(parent->cp_info));
    child->cp_info = parent->cp_info;
    return SVN_NO_ERROR;
  }
  if (std::strncmp(parent->path, child->path, std::strlen(parent->path)) != 0) {
    print_debug("delta_propagate_copy(%s, %s): paths do not match!\n",
                parent->path, child->path);
    return SVN_NO_ERROR;
  }
  const de_node_baton *root = parent;
  while (root && !root->copyfrom_path)
    root = root->parent;
  if (!root) {
    child->cp_info = CPI_COPY;
    return SVN_NO_ERROR;
  }

  de_baton *de = child->de;
  const char *repos_path = de->sess->repos_path ? de->sess->repos_path : "";
  if (!path_is_inside(repos_path, root->copyfrom_path)) {
    print_debug("delta_propagate_copy(%s, %s): copyfrom_path (%s) is out of "
                "scope\n",
                parent->path, child->path, root->copyfrom_path);
    child->cp_info = CPI_NONE;
    return SVN_NO_ERROR;
  }
  const char *src = path_skip_prefix(repos_path, root->copyfrom_path);
  // The revision the copy was resolved to when its root was written.
  svn_revnum_t r = root->copyfrom_rev_local;
  const char *rest = child->path + std::strlen(root->path);
  while (*rest == '/')
    ++rest;

  vh::Pool scratch(child->pool);
  bool answer = false;
  vh::Error err = path_repo_check_parent(de->prepo, src ? src : "", rest, r,
                                         scratch.get(), &answer);
  if (err)
    return svn_error_create(1, err.release(),
                            _("Failed to propagate copy information"));
  if (!answer) {
    print_debug("path_repo: parent relation %s -> %s in %ld FAIL\n", src, rest,
                static_cast<long>(r));
    child->cp_info = CPI_NONE;
    return SVN_NO_ERROR;
  }
  print_debug("path_repo: parent relation %s -> %s in %ld OK\n", src, rest,
              static_cast<long>(r));
  child->cp_info = CPI_COPY;
  return SVN_NO_ERROR;
}
