// Copy-source resolution; see copy_source.h.
#include "delta/copy_source.h"

#include "util/diagnostics.h"
#include "history/path_repo.h"
#include "util/path.h"

#include <svn_dirent_uri.h>
#include <svn_path.h>

#include <cstring>

namespace {

const char *
repos_path_of(const de_node_baton *node) {
  const char *path = node->de->sess->repos_path;
  return path ? path : "";
}

// Whether every revision of the dump carries its repository number and
// nothing before the dump can be a copy source that is missing from it.
bool
numbers_are_repository_revisions(const de_node_baton *node) {
  const dump_options *opts = node->de->opts;
  return repos_path_of(node)[0] == '\0' &&
         (opts->start == 0 || (opts->flags & DF_INCREMENTAL));
}

svn_error_t *
parent_check_error(svn_revnum_t revision, svn_error_t *cause) {
  return svn_error_createf(
      1, cause,
      _("Failed to check parent relationship at previous revision %ld"),
      static_cast<long>(revision));
}

// `path` after `ancestor` and the slashes that follow it.
const char *
rest_after(const char *ancestor, const char *path) {
  const char *rest = path + std::strlen(ancestor);
  while (*rest == '/')
    ++rest;
  return rest;
}

} // namespace

void
delta_check_copy(de_node_baton *node) {
  // A node with a copy source of its own is resolved whatever it inherited:
  // a copy inside a directory that is written as a plain add can still be
  // kept as a copy. Without one it keeps what it inherited.
  if (!node->copyfrom_path) {
    if (node->cp_info != CPI_COPY && !(node->cp_info & CPI_FAILED))
      node->cp_info = CPI_NONE;
    return;
  }

  de_baton *de = node->de;
  if (numbers_are_repository_revisions(node)) {
    // The --prefix directories exist from revision 1 on: nothing below
    // them can be copied from revision 0.
    if (node->copyfrom_rev == 0 && de->opts->prefix && de->opts->prefix[0]) {
      node->cp_info = CPI_FAILED;
      print_debug("delta_check_copy: no matching revision found\n");
      return;
    }
    node->copyfrom_rev_local = node->copyfrom_rev;
    node->cp_info = CPI_COPY;
    return;
  }
  if ((!(de->opts->flags & DF_INCREMENTAL) &&
       // Not `start`, which may lie before it: a subdirectory's first
       // change after `start` opens the dump. With --keep-revnums the
       // revisions before it are empty padding.
       revision_map_first_dumped(de->revs, de->opts->start) >
           node->copyfrom_rev) ||
      !path_is_inside(repos_path_of(node), node->copyfrom_path)) {
    node->cp_info = CPI_OUT_OF_SCOPE;
    print_debug("delta_check_copy: resolving failed\n");
    return;
  }
  svn_revnum_t r = revision_map_local_of(de->revs, node->copyfrom_rev);
  if (r <= 0) {
    node->cp_info = CPI_FAILED;
    print_debug("delta_check_copy: no matching revision found\n");
    return;
  }
  node->copyfrom_rev_local = r;
  node->cp_info = CPI_COPY;
  print_debug("delta_check_copy: using local %ld\n", static_cast<long>(r));
}

svn_error_t *
delta_check_action(de_node_baton *node) {
  if (node->action != 'R' && node->action != 'M')
    return SVN_NO_ERROR;
  // Below a directory that this revision writes as a new node without a
  // copy, the loader held nothing before: a change or replace there is an
  // add.
  for (const de_node_baton *a = node->parent; a && a->parent; a = a->parent)
    if (a->action == 'A' && a->cp_info != CPI_COPY && !a->dump_needed &&
        apr_hash_get(node->de->dumped_nodes, a->path, APR_HASH_KEY_STRING)) {
      node->action = 'A';
      return SVN_NO_ERROR;
    }
  if (numbers_are_repository_revisions(node))
    return SVN_NO_ERROR;
  de_baton *de = node->de;

  bool decided = false;
  for (de_node_baton *a = node->parent; a && !decided; a = a->parent) {
    if (a->cp_info == CPI_COPY && a->copyfrom_path) {
      const char *src = path_skip_prefix(repos_path_of(node), a->copyfrom_path);
      const char *rest = rest_after(a->path, node->path);
      bool answer = false;
      vh::Error err = path_repo_check_parent(
          de->prepo, src ? src : "", rest, a->copyfrom_rev_local, node->pool,
          &answer);
      print_debug("delta_check_action(%s): parent copy check %s -> %s for %s "
                  "at %ld [is %d]\n",
                  node->path, src ? src : "", a->path, rest,
                  static_cast<long>(a->copyfrom_rev_local),
                  static_cast<int>(answer));
      if (err)
        return parent_check_error(a->copyfrom_rev_local, err.release());
      if (!answer)
        node->action = 'A';
      return SVN_NO_ERROR;
    }
    if (a->cp_info == CPI_OUT_OF_SCOPE) {
      node->action = 'A';
      decided = true;
    }
  }

  if (!decided) {
    svn_revnum_t previous = de->local_revnum - 1;
    // Every replace is checked, not only one whose copy failed: in the
    // first revision of a range the path may not exist in the dump at all.
    if (node->action == 'R') {
      const char *dir = svn_relpath_dirname(node->path, node->pool);
      const char *name = rest_after(dir, node->path);
      bool answer = false;
      vh::Error err = path_repo_check_parent(de->prepo, dir, name, previous,
                                             node->pool, &answer);
      print_debug("delta_check_action(%s): parent check: %s for %s at %ld "
                  "[is %d]\n",
                  node->path, dir, name, static_cast<long>(previous),
                  static_cast<int>(answer));
      if (err)
        return parent_check_error(previous, err.release());
      if (!answer)
        node->action = 'A';
    } else if (node->action == 'M' && de->local_revnum > 0) {
      bool answer = false;
      vh::Error err = path_repo_exists(de->prepo, node->path, previous,
                                       node->pool, &answer);
      if (err)
        return parent_check_error(previous, err.release());
      if (!answer)
        node->action = 'A';
    }
  }
  if (std::strcmp(node->path, "/") == 0 && node->action == 'A')
    node->action = 'M';
  return SVN_NO_ERROR;
}
