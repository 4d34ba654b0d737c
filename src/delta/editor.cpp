// The delta editor's callbacks and its process-wide tables; see editor.h.
#include "delta/editor.h"

#include "delta/finalise.h"
#include "delta/node_dumper.h"
#include "delta/text_store.h"
#include "util/cancel.h"
#include "util/diagnostics.h"
#include "history/path_repo.h"
#include "obfuscate/obfuscate.h"
#include "props/property_storage.h"

#include <apr_file_info.h>
#include <apr_strings.h>
#include <svn_dirent_uri.h>
#include <svn_io.h>
#include <svn_props.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

const char *
show(const char *text) {
  return text ? text : "(null)";
}

// Drops the stored properties of a file below a deleted directory.
void
forget_properties(const char *path, void *baton) {
  print_debug("de_delete_entry: removeing properties for %s\n", path);
  property_storage_delete(static_cast<property_storage *>(baton), path);
}

// Takes the action and copy source of `node` from the log, when the log
// lists its path.
void
take_logged_change(de_node_baton *node, const svn_log_changed_path2_t *change) {
  node->in_log = true;
  node->action = change->action;
  if (change->copyfrom_path) {
    print_debug("copyfrom_path = %s\n", change->copyfrom_path);
    node->copyfrom_path = apr_pstrdup(node->pool, change->copyfrom_path);
    node->copyfrom_rev = change->copyfrom_rev;
  }
}

svn_error_t *
tree_history_error() {
  return svn_error_create(1, nullptr, _("Unable to update local tree history"));
}

// Fills the properties of an opened node from the property storage.
svn_error_t *
load_properties(de_node_baton *node) {
  vh::Error err = property_storage_load(node->de->props, node->path,
                                        node->properties, node->pool);
  if (err)
    return svn_error_createf(1, err.release(),
                             _("Unable to load properties for %s"),
                             node->path);
  return SVN_NO_ERROR;
}

svn_error_t *
de_set_target_revision(void *, svn_revnum_t, apr_pool_t *) noexcept {
  return SVN_NO_ERROR;
}

svn_error_t *de_delete_entry(const char *path, svn_revnum_t revision,
                             void *parent_baton, apr_pool_t *pool) noexcept;

// Forgets the old node at the replaced path `path` and everything below it:
// the server sends no deletion for a path reported as missing.
svn_error_t *
forget_replaced(de_baton *de, const char *path, apr_pool_t *pool) {
  text_store_drop_files_below(de->texts, path, "de_open_root",
                              forget_properties, de->props, pool);
  text_store_set_file(de->texts, path, nullptr);
  text_store_forget_digests_below(de->texts, path, pool);
  text_store_forget_digest(de->texts, path);
  property_storage_delete(de->props, path);
  if (!de->dry_run && path_repo_delete(de->prepo, path, pool))
    return tree_history_error();
  return SVN_NO_ERROR;
}

// The subtree root itself is replaced: the server sends its new contents as
// additions to an empty root, so every entry of the old one is deleted
// first, and the root's properties are written whole.
svn_error_t *
replace_root(de_node_baton *root, apr_pool_t *pool) {
  de_baton *de = root->de;
  pr_collect collect{apr_array_make(pool, 16, sizeof(const char *)), 0, pool};
  critbit_walk_prefix(&de->prepo->tree, "", pr_collect_path, &collect);
  for (int i = 0; i < collect.list->nelts; ++i) {
    const char *entry = APR_ARRAY_IDX(collect.list, i, const char *);
    if (!*entry || std::strchr(entry, '/'))
      continue;
    SVN_ERR(de_delete_entry(obfuscate_reveal_path(&de->sess->obf, pool, entry),
                            SVN_INVALID_REVNUM, root, pool));
  }
  root->properties = apr_hash_make(root->pool);
  root->props_changed = true;
  root->dump_needed = true;
  return SVN_NO_ERROR;
}

svn_error_t *
de_open_root(void *edit_baton, svn_revnum_t, apr_pool_t *pool,
             void **root_baton) noexcept {
  auto *de = static_cast<de_baton *>(edit_baton);
  SVN_ERR(cancel_check(nullptr));
  de_node_baton *node = delta_new_node(de, de->pool, "/");
  node->kind = svn_node_dir;
  de->root_node = node;
  *root_baton = node;
  // The root's properties are carried like any directory's; without them a
  // property change on the root would write a block that drops the others.
  SVN_ERR(load_properties(node));
  for (int i = 0; de->replaced && i < de->replaced->nelts; ++i) {
    const char *path = APR_ARRAY_IDX(de->replaced, i, const char *);
    SVN_ERR(*path ? forget_replaced(de, path, pool) : replace_root(node, pool));
  }
  return SVN_NO_ERROR;
}

svn_error_t *
de_delete_entry(const char *path, svn_revnum_t revision, void *parent_baton,
                apr_pool_t *pool) noexcept {
  auto *parent = static_cast<de_node_baton *>(parent_baton);
  de_baton *de = parent->de;
  const char *p = obfuscate_path(&de->sess->obf, pool, path);
  print_debug("de_delete_entry(%s@%ld)\n", p, static_cast<long>(revision));

  // The server sends the deletion of a path that it keeps from this user,
  // which the dump never held: there is nothing to delete.
  if (de->local_revnum > 0) {
    bool held = false;
    vh::Error err =
        path_repo_exists(de->prepo, p, de->local_revnum - 1, pool, &held);
    if (err)
      return svn_error_createf(
          1, err.release(),
          _("Failed to look up '%s' at previous revision %ld"), p,
          static_cast<long>(de->local_revnum - 1));
    if (!held) {
      print_debug("de_delete_entry(%s): not in the dump, ignored\n", p);
      return SVN_NO_ERROR;
    }
  }

  de_node_baton *node = delta_create_node(parent, p);
  node->action = 'D';
  node->kind = svn_node_none;
  node->dump_needed = true;
  if (const svn_log_changed_path2_t *change =
          delta_logged_change(de, node->path))
    node->in_log = change->action == 'D';

  // Every file strictly below the deleted path loses its text, digest and
  // stored properties; the path's own entries are left for the close.
  text_store_drop_files_below(de->texts, node->path, "de_delete_entry",
                              forget_properties, de->props, pool);
  text_store_forget_digests_below(de->texts, node->path, pool);
  property_storage_delete(de->props, node->path);

  if (!de->dry_run &&
      path_repo_delete(de->prepo, node->path, pool))
    return tree_history_error();
  return SVN_NO_ERROR;
}

svn_error_t *
add_node(const char *path, void *parent_baton, svn_node_kind_t kind,
         apr_pool_t *pool, void **child_baton) {
  SVN_ERR(cancel_check(nullptr));
  auto *parent = static_cast<de_node_baton *>(parent_baton);
  de_baton *de = parent->de;
  const char *p = obfuscate_path(&de->sess->obf, pool, path);
  print_debug(kind == svn_node_dir ? "de_add_directory(%s), copy = %d\n"
                                   : "de_add_file(%s), copy = %d\n",
              p, static_cast<int>(parent->cp_info));

  de_node_baton *node = delta_create_node(parent, p);
  node->kind = kind;
  node->dump_needed = true;
  node->action = 'A';
  if (const svn_log_changed_path2_t *change =
          delta_logged_change(de, node->path))
    take_logged_change(node, change);

  if (!de->dry_run &&
      path_repo_add(de->prepo, node->path))
    return tree_history_error();
  *child_baton = node;
  return SVN_NO_ERROR;
}

svn_error_t *
de_add_directory(const char *path, void *parent_baton, const char *,
                 svn_revnum_t, apr_pool_t *pool, void **child_baton) noexcept {
  return add_node(path, parent_baton, svn_node_dir, pool, child_baton);
}

svn_error_t *
de_add_file(const char *path, void *parent_baton, const char *, svn_revnum_t,
            apr_pool_t *pool, void **file_baton) noexcept {
  return add_node(path, parent_baton, svn_node_file, pool, file_baton);
}

svn_error_t *
open_node(const char *path, void *parent_baton, svn_node_kind_t kind,
          apr_pool_t *pool, void **child_baton) {
  auto *parent = static_cast<de_node_baton *>(parent_baton);
  de_baton *de = parent->de;
  const char *p = obfuscate_path(&de->sess->obf, pool, path);
  if (kind == svn_node_file)
    print_debug("de_open_file(%s)\n", p);

  de_node_baton *node = delta_create_node(parent, p);
  node->action = 'M';
  node->kind = kind;
  node->opened = true;
  // The server compares a replaced path with its old self when their kinds
  // agree, so a replace (or an add below a replaced directory) can arrive
  // as an open: the log says what really happened to the path.
  if (const svn_log_changed_path2_t *change =
          delta_logged_change(de, node->path)) {
    // A listed path may differ from what the loader holds even when it
    // equals its old self (below a copy), so it is always looked at.
    node->dump_needed = true;
    if (change->action == 'A' || change->action == 'R')
      take_logged_change(node, change);
    else
      node->in_log = true;
  }
  *child_baton = node;
  return load_properties(node);
}

svn_error_t *
de_open_directory(const char *path, void *parent_baton, svn_revnum_t,
                  apr_pool_t *pool, void **child_baton) noexcept {
  return open_node(path, parent_baton, svn_node_dir, pool, child_baton);
}

svn_error_t *
de_open_file(const char *path, void *parent_baton, svn_revnum_t,
             apr_pool_t *pool, void **file_baton) noexcept {
  return open_node(path, parent_baton, svn_node_file, pool, file_baton);
}

svn_error_t *
change_prop(void *baton, const char *name, const svn_string_t *value,
            const char *what) {
  auto *node = static_cast<de_node_baton *>(baton);
  if (svn_property_kind2(name) != svn_prop_regular_kind)
    return SVN_NO_ERROR;
  print_debug("%s(%s) %s = %s\n", what, node->path, name,
              value ? value->data : "(deleted)");
  const char *key = apr_pstrdup(node->pool, name);
  if (value) {
    apr_hash_set(node->properties, key, APR_HASH_KEY_STRING,
                 svn_string_dup(value, node->pool));
    apr_hash_set(node->del_properties, key, APR_HASH_KEY_STRING, nullptr);
  } else {
    // A deleted property leaves the node's set too, or the next full
    // property block of the node would bring it back.
    apr_hash_set(node->del_properties, key, APR_HASH_KEY_STRING, key);
    apr_hash_set(node->properties, key, APR_HASH_KEY_STRING, nullptr);
  }
  node->dump_needed = true;
  node->props_changed = true;
  return SVN_NO_ERROR;
}

svn_error_t *
de_change_dir_prop(void *dir_baton, const char *name, const svn_string_t *value,
                   apr_pool_t *) noexcept {
  return change_prop(dir_baton, name, value, "de_change_dir_prop");
}

svn_error_t *
de_change_file_prop(void *file_baton, const char *name,
                    const svn_string_t *value, apr_pool_t *) noexcept {
  return change_prop(file_baton, name, value, "de_change_file_prop");
}

// The window handler of a text being received: applies the window, and
// once the text is complete names it by its content, so that paths with
// the same text share it.
struct text_receiver {
  de_node_baton *node;
  svn_txdelta_window_handler_t apply;
  void *apply_baton;
  bool was_needed; // the node's dump_needed before the text arrived
};

svn_error_t *
receive_window(svn_txdelta_window_t *window, void *baton) noexcept {
  auto *r = static_cast<text_receiver *>(baton);
  SVN_ERR(r->apply(window, r->apply_baton));
  if (window)
    return SVN_NO_ERROR;
  de_node_baton *node = r->node;
  text_store *ts = node->de->texts;
  // The path's reference moves to the sealed name with the text.
  node->filename = text_store_seal(ts, node->filename, node->pool);
  text_store_text_md5(ts, node->filename, node->md5sum);
  std::string pending;
  text_store_set_file(ts, node->path, node->filename, &pending);
  if (!(node->de->opts->flags & DF_DRY_RUN) && node->old_filename &&
      std::strcmp(node->filename, node->old_filename) == 0) {
    // The delta gives back the text the path had, so the text has not
    // changed: a replay sends a delta wherever the repository records a
    // text change, a diff only where the text differs. (Without text
    // deltas every text is empty, and a change is all there is to know.)
    node->applied_delta = false;
    node->dump_needed = r->was_needed || node->props_changed;
  }
  return SVN_NO_ERROR;
}

svn_error_t *
de_apply_textdelta(void *file_baton, const char *, apr_pool_t *pool,
                   svn_txdelta_window_handler_t *handler,
                   void **handler_baton) noexcept {
  SVN_ERR(cancel_check(nullptr));
  auto *node = static_cast<de_node_baton *>(file_baton);
  print_debug("de_apply_textdelta(%s)\n", node->path);
  text_store *ts = node->de->texts;

  svn_stream_t *target = nullptr;
  const char *name = nullptr;
  SVN_ERR(text_store_new_text(ts, &target, &name, pool));
  node->filename = apr_pstrdup(node->pool, name);

  svn_stream_t *source = nullptr;
  // The path's old text stays stored, for the node's delta, until the
  // node has been written (drop_old_text); the path takes the new one.
  std::string previous;
  text_store_set_file(ts, node->path, node->filename, &previous);
  if (!previous.empty()) {
    node->old_filename = apr_pstrdup(node->pool, previous.c_str());
    SVN_ERR(text_store_read(ts, node->old_filename, &source, pool));
  } else {
    source = svn_stream_empty(pool);
  }
  auto *r =
      static_cast<text_receiver *>(apr_palloc(pool, sizeof(text_receiver)));
  r->node = node;
  r->was_needed = node->dump_needed;
  // The store digests the text as it is written (node->md5sum is set when
  // the text is complete).
  svn_txdelta_apply(source, target, nullptr, node->path, pool, &r->apply,
                    &r->apply_baton);
  *handler = receive_window;
  *handler_baton = r;
  print_debug("applying delta: %s -> %s\n", show(node->old_filename),
              node->filename);
  node->applied_delta = true;
  node->dump_needed = true;
  return SVN_NO_ERROR;
}

svn_error_t *
close_node(de_node_baton *node, apr_pool_t *pool) {
  vh::Error err = property_storage_store(node->de->props, node->path,
                                         node->properties, pool);
  if (err)
    return svn_error_createf(1, err.release(),
                             _("Unable to store properties for %s"),
                             node->path);
  return SVN_NO_ERROR;
}

svn_error_t *
de_close_directory(void *dir_baton, apr_pool_t *pool) noexcept {
  auto *node = static_cast<de_node_baton *>(dir_baton);
  print_debug("de_close_directory(%s): dump_needed = %d\n", node->path,
              node->dump_needed ? 1 : 0);
  return close_node(node, pool);
}

svn_error_t *
de_close_file(void *file_baton, const char *, apr_pool_t *pool) noexcept {
  return close_node(static_cast<de_node_baton *>(file_baton), pool);
}

// The server keeps `path` from this user: the dump goes on with what is
// readable, and says what it leaves out (whatever the verbosity, since the
// dump is then incomplete).
void
warn_absent(const de_baton *de, const char *path, apr_pool_t *pool) {
  if (de->dry_run)
    return;
  std::fprintf(stderr,
               _("WARNING: no read access to '%s' in revision %ld; it is "
                 "left out of the dump.\n"),
               obfuscate_path(&de->sess->obf, pool, path),
               static_cast<long>(de->logrev ? de->logrev->revision : -1));
}

svn_error_t *
absent_node(const char *path, void *parent_baton, apr_pool_t *pool,
            const char *what) {
  auto *parent = static_cast<de_node_baton *>(parent_baton);
  print_debug("%s(%s)\n", what, obfuscate_path(&parent->de->sess->obf, pool, path));
  warn_absent(parent->de, path, pool);
  return SVN_NO_ERROR;
}

svn_error_t *
de_absent_directory(const char *path, void *parent_baton,
                    apr_pool_t *pool) noexcept {
  return absent_node(path, parent_baton, pool, "absent_directory");
}

svn_error_t *
de_absent_file(const char *path, void *parent_baton,
               apr_pool_t *pool) noexcept {
  return absent_node(path, parent_baton, pool, "absent_file");
}

svn_error_t *
de_abort_edit(void *, apr_pool_t *) noexcept {
  return SVN_NO_ERROR;
}

} // namespace

de_node_baton *
delta_new_node(de_baton *de, apr_pool_t *pool, const char *path) {
  auto *node =
      static_cast<de_node_baton *>(apr_pcalloc(pool, sizeof(de_node_baton)));
  new (node) de_node_baton();
  apr_pool_create(&node->pool, pool);
  node->de = de;
  node->path = apr_pstrdup(node->pool, path);
  node->properties = apr_hash_make(node->pool);
  node->del_properties = apr_hash_make(node->pool);
  node->children = apr_array_make(node->pool, 0, sizeof(de_node_baton *));
  return node;
}

de_node_baton *
delta_create_node(de_node_baton *parent, const char *path) {
  de_node_baton *node = delta_new_node(parent->de, parent->pool, path);
  node->cp_info = parent->cp_info;
  node->parent = parent;
  APR_ARRAY_PUSH(parent->children, de_node_baton *) = node;
  return node;
}

const svn_log_changed_path2_t *
delta_logged_change(const de_baton *de, const char *path) {
  if (!de->logrev || !de->logrev->changed_paths)
    return nullptr;
  return static_cast<const svn_log_changed_path2_t *>(
      apr_hash_get(de->logrev->changed_paths, path, APR_HASH_KEY_STRING));
}

svn_error_t *
delta_get_editor(const svn_delta_editor_t **editor, void **edit_baton,
                 dump_context *ctx, log_revision *logrev,
                 svn_revnum_t local_rev, std::uint32_t mode,
                 const apr_array_header_t *replaced,
                 const revision_head *head, apr_pool_t *pool) {
  svn_delta_editor_t *table = svn_delta_default_editor(pool);
  table->set_target_revision = de_set_target_revision;
  table->open_root = de_open_root;
  table->delete_entry = de_delete_entry;
  table->add_directory = de_add_directory;
  table->open_directory = de_open_directory;
  table->change_dir_prop = de_change_dir_prop;
  table->close_directory = de_close_directory;
  table->absent_directory = de_absent_directory;
  table->add_file = de_add_file;
  table->open_file = de_open_file;
  table->apply_textdelta = de_apply_textdelta;
  table->change_file_prop = de_change_file_prop;
  table->close_file = de_close_file;
  table->absent_file = de_absent_file;
  table->close_edit = de_close_edit;
  table->abort_edit = de_abort_edit;

  auto *de = static_cast<de_baton *>(apr_pcalloc(pool, sizeof(de_baton)));
  new (de) de_baton();
  de->sess = ctx->sess;
  de->opts = ctx->opts;
  de->revs = ctx->revs;
  de->texts = ctx->texts;
  de->out = ctx->out;
  de->output = ctx->output;
  de->dry_run = (mode & DF_INITIAL_DRY_RUN) != 0;
  de->replaced = replaced;
  de->head = head;
  de->logrev = logrev;
  apr_pool_create(&de->pool, pool);
  de->queue = delta_queue_make(de->pool);
  de->dumped_nodes = apr_hash_make(de->pool);
  de->local_revnum = local_rev;
  de->prepo = ctx->prepo;
  de->props = ctx->props;
  *editor = table;
  *edit_baton = de;
  return SVN_NO_ERROR;
}

apr_array_header_t *
delta_replaced_paths(const log_revision *logrev, apr_pool_t *pool) {
  apr_array_header_t *paths = apr_array_make(pool, 0, sizeof(const char *));
  if (!logrev->changed_paths)
    return paths;
  for (apr_hash_index_t *hi = apr_hash_first(pool, logrev->changed_paths); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    void *value = nullptr;
    apr_hash_this(hi, &key, nullptr, &value);
    if (static_cast<const svn_log_changed_path2_t *>(value)->action != 'R')
      continue;
    // Below a path that this revision adds or replaces the drive sends
    // everything as new anyway, and the old tree has no such path to
    // report.
    const char *path = static_cast<const char *>(key);
    bool under_new = false;
    for (const char *dir = path; *dir && !under_new;) {
      dir = svn_relpath_dirname(dir, pool);
      const auto *above = static_cast<const svn_log_changed_path2_t *>(
          apr_hash_get(logrev->changed_paths, dir, APR_HASH_KEY_STRING));
      under_new = above && (above->action == 'A' || above->action == 'R');
    }
    if (!under_new)
      APR_ARRAY_PUSH(paths, const char *) = path;
  }
  auto **first = reinterpret_cast<const char **>(paths->elts);
  std::sort(first, first + paths->nelts,
            [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
  return paths;
}
