// The node dumper; see node_dumper.h.
#include "delta/node_dumper.h"

#include "delta/copy_source.h"
#include "dumpfile/stream.h"
#include "util/diagnostics.h"
#include "util/apr_glue.h"
#include "obfuscate/obfuscate.h"
#include "util/path.h"
#include "delta/text_store.h"

#include <apr_file_info.h>
#include <apr_strings.h>
#include <svn_checksum.h>
#include <svn_io.h>
#include <svn_props.h>
#include <svn_ra.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// The digest as 32 lowercase hexadecimal digits, in `pool`.
const char *
digest_hex(const unsigned char *digest, apr_pool_t *pool) {
  svn_checksum_t checksum = {digest, svn_checksum_md5};
  return svn_checksum_to_cstring_display(&checksum, pool);
}

bool
digest_is_zero(const unsigned char *digest) {
  return std::all_of(digest, digest + 16, [](unsigned char b) { return !b; });
}

// The node path as the stream names it: the prefix, then the path. The
// subtree root is the prefix without its trailing slashes ("" without one).
const char *
stream_path(const de_node_baton *node, apr_pool_t *pool) {
  const char *prefix = node->de->opts->prefix ? node->de->opts->prefix : "";
  if (std::strcmp(node->path, "/") != 0)
    return apr_pstrcat(pool, prefix, node->path, SVN_VA_NULL);
  std::string_view root(prefix);
  while (!root.empty() && root.back() == '/')
    root.remove_suffix(1);
  return apr_pstrndup(pool, root.data(), root.size());
}

// Drops the node's previous full text, which the path no longer names once
// a delta has been applied.
void
drop_old_text(de_node_baton *node, apr_pool_t *) {
  if (!node->old_filename)
    return;
  print_debug("de_close_file(%s): Dropping old text %s\n", node->path,
              node->old_filename);
  text_store_unref(node->de->texts, node->old_filename);
  node->old_filename = nullptr;
}

// Whether an ancestor of `node` is a path that the log lists as added or
// replaced: what the drive says below it is relative to the old tree, not
// to what the loader will hold there.
bool
replaced_above(const de_node_baton *node) {
  for (const de_node_baton *p = node->parent; p; p = p->parent)
    if (p->in_log && (p->action == 'A' || p->action == 'R'))
      return true;
  return false;
}

// Whether the log lists `node`'s path with the action `action`.
bool
logged_as(const de_node_baton *node, char action) {
  const svn_log_changed_path2_t *change =
      delta_logged_change(node->de, node->path);
  return change && change->action == action;
}

// The reason not to write the node, or null when it must be written.
const char *
skip_reason(const de_node_baton *node) {
  bool inside_copy = node->cp_info == CPI_COPY && !node->copyfrom_path;
  // An added directory that the log calls a change (the first revision of a
  // range, or below a copy that is not kept) is new to the loader even when
  // it has no properties left.
  if (node->action == 'M' && node->kind == svn_node_dir && node->opened &&
      !node->props_changed && !(node->in_log && inside_copy))
    return "directory && action == 'M' && !props_changed";
  if (node->action == 'A' && inside_copy)
    return "cp_info == CPI_COPY && action == 'A'";
  // Inside a copy the loader already has every path that the log does not
  // list; the drive compared them with the old tree, not with the source.
  if (inside_copy && !node->in_log)
    return "cp_info == CPI_COPY && not in log";
  // The deletion half of a replace is written with the replace; deletions
  // below a replaced path go with it.
  if (node->action == 'D' && !node->in_log &&
      (logged_as(node, 'R') || replaced_above(node)))
    return "deletion belongs to a replace";
  return nullptr;
}

std::vector<const char *>
sorted_deletions(const de_node_baton *node, apr_pool_t *pool) {
  std::vector<const char *> names;
  for (apr_hash_index_t *hi = apr_hash_first(pool, node->del_properties); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    apr_hash_this(hi, &key, nullptr, nullptr);
    names.push_back(static_cast<const char *>(key));
  }
  std::sort(names.begin(), names.end(),
            [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
  return names;
}

// The regular properties of the copy source of `node`, a path inside a copy
// that this revision writes, as the server has them; null when `node` lies
// in no such copy. The copy source's properties are not kept here, and the
// session that drives the editor is busy: the auxiliary one is asked.
svn_error_t *
copy_source_props(const de_node_baton *node, apr_hash_t **props,
                  apr_pool_t *pool) {
  *props = nullptr;
  const de_node_baton *root = node->parent;
  while (root && !(root->cp_info == CPI_COPY && root->copyfrom_path))
    root = root->parent;
  if (!root)
    return SVN_NO_ERROR;
  de_baton *de = node->de;
  const char *src =
      path_skip_prefix(session_subtree(de->sess), root->copyfrom_path);
  const char *rest = node->path + std::strlen(root->path);
  while (*rest == '/')
    ++rest;
  const char *path = !src || !*src ? rest
                     : *rest       ? apr_pstrcat(pool, src, "/", rest,
                                                 SVN_VA_NULL)
                                   : src;
  path = obfuscate_reveal_path(&de->sess->obf, pool, path);
  svn_ra_session_t *ra = nullptr;
  SVN_ERR(session_aux(de->sess, &ra));
  apr_hash_t *all = nullptr;
  if (node->kind == svn_node_file)
    SVN_ERR(svn_ra_get_file(ra, path, root->copyfrom_rev, nullptr, nullptr,
                            &all, pool));
  else
    SVN_ERR(svn_ra_get_dir2(ra, nullptr, nullptr, &all, path,
                            root->copyfrom_rev, 0, pool));
  *props = apr_hash_make(pool);
  for (apr_hash_index_t *hi = apr_hash_first(pool, all); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    void *value = nullptr;
    apr_hash_this(hi, &key, nullptr, &value);
    auto *name = static_cast<const char *>(key);
    if (svn_property_kind2(name) == svn_prop_regular_kind)
      apr_hash_set(*props, name, APR_HASH_KEY_STRING, value);
  }
  return SVN_NO_ERROR;
}

// Turns the full property set of `rec` into the difference from `base`:
// the properties that are new or changed, and deletions of those that are
// gone.
void
make_prop_delta(node_record *rec, apr_hash_t *base, apr_pool_t *pool) {
  std::vector<dumpfile_prop> changed;
  for (const dumpfile_prop &p : rec->props) {
    auto *old = static_cast<const svn_string_t *>(
        apr_hash_get(base, p.name, APR_HASH_KEY_STRING));
    if (!old || !p.value || !svn_string_compare(old, p.value))
      changed.push_back(p);
  }
  std::vector<const char *> gone;
  for (apr_hash_index_t *hi = apr_hash_first(pool, base); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    apr_hash_this(hi, &key, nullptr, nullptr);
    auto *name = static_cast<const char *>(key);
    if (std::none_of(rec->props.begin(), rec->props.end(),
                     [name](const dumpfile_prop &p) {
                       return std::strcmp(p.name, name) == 0;
                     }))
      gone.push_back(name);
  }
  std::sort(gone.begin(), gone.end(),
            [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
  rec->props = std::move(changed);
  rec->prop_deletions = std::move(gone);
  rec->prop_delta = true;
}

// Records `digest` as the text the loader holds for the node's path from
// this revision on.
void
record_digest(de_node_baton *node, const unsigned char *digest) {
  text_store_set_digest(node->de->texts, node->path, digest,
                        node->de->local_revnum);
  print_debug("md5_hash += %s : %s\n", node->path,
              digest_hex(digest, node->pool));
}

// Points the record's text at the stored text `name`: its file, or its
// bytes in memory, which stay put while the text is stored.
svn_error_t *
locate_text(node_record *rec, const text_store *ts, const char *name,
            apr_pool_t *pool) {
  const char *file = nullptr;
  svn_string_t data{};
  svn_filesize_t size = 0;
  SVN_ERR(text_store_locate(ts, name, &file, &data, &size));
  if (file) {
    rec->text_file = apr_pstrdup(pool, file);
    return SVN_NO_ERROR;
  }
  auto *copy = static_cast<svn_string_t *>(apr_palloc(pool, sizeof(data)));
  *copy = data;
  rec->text_data = copy;
  return SVN_NO_ERROR;
}

// The digest of the stored text `name`.
svn_error_t *
text_digest(unsigned char *digest, const text_store *ts, const char *name) {
  if (!text_store_text_md5(ts, name, digest))
    return svn_error_createf(SVN_ERR_BAD_FILENAME, nullptr,
                             "Unable to open %s", name);
  return SVN_NO_ERROR;
}

// Settles the node's final action, or clears `dump_needed` (with the reason
// in a debug line) when nothing is written. A replace whose deletion must be
// written comes out as 'R'.
svn_error_t *
settle_action(de_node_baton *node, bool replaced) {
  de_baton *de = node->de;
  if (de->dry_run) {
    node->dump_needed = false;
    print_debug("delta_dump_node(%s): aborting: DF_INITIAL_DRY_RUN\n",
                node->path);
    drop_old_text(node, node->pool);
    return SVN_NO_ERROR;
  }
  if (const char *reason = skip_reason(node)) {
    node->dump_needed = false;
    print_debug("delta_dump_node(%s): aborting: %s\n", node->path, reason);
    // A file that the loader receives with a copy has the text that the
    // drive gave it; any other skipped file's recorded digest is stale.
    if (node->kind == svn_node_file && node->applied_delta) {
      if (node->cp_info == CPI_COPY)
        record_digest(node, node->md5sum);
      else
        text_store_forget_digest(de->texts, node->path);
    }
    drop_old_text(node, node->pool);
    return SVN_NO_ERROR;
  }
  print_debug("delta_dump_node(%s): started\n", node->path);
  delta_check_copy(node);
  SVN_ERR(delta_check_action(node));
  // The server adds only what the old tree lacks; outside a kept copy
  // that is what the loader lacks too, whatever the log calls it.
  if (node->parent && !node->opened && node->action == 'M' &&
      node->cp_info != CPI_COPY)
    node->action = 'A';
  bool kept_copy = node->cp_info == CPI_COPY && node->copyfrom_path;
  bool old_node_in_loader =
      node->opened && !replaced &&
      !(node->parent && node->parent->cp_info == CPI_COPY);
  if (old_node_in_loader && kept_copy && node->action == 'A') {
    // An add that the log reports below a replaced directory whose
    // replace the dump writes as changes: the old node is still there.
    node->action = 'R';
  } else if (old_node_in_loader && !kept_copy &&
             (node->action == 'A' || node->action == 'R')) {
    // A replace by a new node or by a copy that cannot be kept, which the
    // server compared with the old node: what arrives below it only
    // makes sense as changes of the old node, so it is written as one.
    print_debug("delta_dump_node(%s): opened %c written as a change\n",
                node->path, node->action);
    node->action = 'M';
    if (node->kind == svn_node_dir && !node->props_changed)
      node->dump_needed = false;
  }
  return SVN_NO_ERROR;
}

// The record of the node after its action is settled.
svn_error_t *
plan_record(de_node_baton *node, node_plan *plan) {
  de_baton *de = node->de;
  const dump_options *opts = de->opts;
  node_record rec;
  rec.path = stream_path(node, node->pool);
  rec.action = node->action;
  rec.kind = node->kind;
  if (node->action == 'D') {
    print_debug("delta_dump_node(%s): deleted -> finished\n", node->path);
    plan->records.push_back(rec);
    return SVN_NO_ERROR;
  }

  bool is_copy = node->cp_info == CPI_COPY && node->copyfrom_path;
  bool inside_copy = node->cp_info == CPI_COPY;

  // The full text to write, and its digest. A node whose text did not
  // arrive in this revision but that the loader must receive whole (an add,
  // or a listed change inside a copy) takes the path's current text.
  const char *text = nullptr;
  if (node->kind == svn_node_file) {
    if (node->applied_delta) {
      text = node->filename;
      std::memcpy(plan->digest, node->md5sum, 16);
      plan->has_digest = true;
    } else if (node->action == 'A' || (inside_copy && node->action == 'M')) {
      text = text_store_file(de->texts, node->path);
      if (text) {
        // The record is written at the end of the revision.
        text = apr_pstrdup(node->pool, text);
        SVN_ERR(text_digest(plan->digest, de->texts, text));
        plan->has_digest = true;
      }
    }
  }
  bool dump_content = text != nullptr;
  // Without word from the log, a copy carries its whole property set: the
  // source's properties are not known here, and without a block the
  // loader keeps them all.
  rec.with_props = node->props_changed || node->action == 'A' || inside_copy;
  // The log says whether the text and the properties changed (relative to
  // the copy source for a copy, or inside one): the record carries exactly
  // what changed, as the repository records it. A plain add carries
  // everything.
  if (const svn_log_changed_path2_t *change =
          node->in_log ? delta_logged_change(de, node->path) : nullptr;
      change && !(node->action == 'A' && !is_copy)) {
    if (change->text_modified == svn_tristate_false)
      dump_content = false;
    if (change->props_modified == svn_tristate_false)
      rec.with_props = false;
  }
  if (dump_content)
    print_debug("delta_dump_node(%s): dump_content = 1\n", node->path);
  if (rec.with_props)
    print_debug("delta_dump_node(%s): dump_props = 1\n", node->path);

  if (is_copy) {
    const char *source =
        path_skip_prefix(session_subtree(de->sess), node->copyfrom_path);
    rec.copyfrom_rev = node->copyfrom_rev_local;
    rec.copyfrom_path = apr_pstrcat(node->pool, opts->prefix ? opts->prefix : "",
                                    source ? source : "", SVN_VA_NULL);
    if (node->action == 'A' && node->kind == svn_node_file && dump_content &&
        plan->has_digest && source) {
      // The recorded digest is the source's text at the copy's source
      // revision only when it was recorded at or before that revision.
      const md5_entry *entry = text_store_digest(de->texts, source);
      if (entry && std::memcmp(entry->digest, plan->digest, 16) == 0 &&
          entry->local_rev <= node->copyfrom_rev_local) {
        print_debug("md5sum matches\n");
        dump_content = false;
      }
    }
  }

  // A change outside any copy may name its properties as a difference from
  // what the path had; everything else is written as the full set.
  rec.prop_delta =
      opts->format_version == 3 && node->action == 'M' && !inside_copy;
  if (rec.with_props) {
    rec.props = dumpfile_sorted_props(node->properties, node->del_properties,
                                      node->pool);
    if (rec.prop_delta)
      rec.prop_deletions = sorted_deletions(node, node->pool);
  }
  // A change of properties below a copy that this revision makes names its
  // difference from the copy source: a loader that replays the dump through
  // a commit (svnrdump load) would otherwise look the path up in the
  // previous revision, where it does not exist yet, to remove its old
  // properties.
  if (rec.with_props && node->action == 'M' && inside_copy) {
    apr_hash_t *base = nullptr;
    SVN_ERR(copy_source_props(node, &base, node->pool));
    if (base)
      make_prop_delta(&rec, base, node->pool);
  }

  if (dump_content) {
    const char *stored = text;
    if (opts->flags & DF_USE_DELTAS) {
      // Against the previous text only when the loader's base is that text.
      const char *base =
          node->action == 'M' && !inside_copy ? node->old_filename : nullptr;
      SVN_ERR(delta_deltify_node(node, base, text));
      stored = node->delta_filename;
    }
    SVN_ERR(locate_text(&rec, de->texts, stored, node->pool));
    rec.text_delta = opts->format_version == 3;
    rec.has_md5 = plan->has_digest && !digest_is_zero(plan->digest);
    std::memcpy(rec.md5, plan->digest, 16);
  }
  plan->records.push_back(std::move(rec));
  return SVN_NO_ERROR;
}

// Keeps the tables up to date for a node whose records are queued: the
// later nodes of the revision are decided as if they were written.
void
finish_node(de_node_baton *node, const node_plan &plan) {
  de_baton *de = node->de;
  apr_hash_set(de->dumped_nodes, node->path, APR_HASH_KEY_STRING, node);
  if (node->kind == svn_node_file && plan.has_digest)
    record_digest(node, plan.digest);
  node->dump_needed = false;
  drop_old_text(node, node->pool);
}

// Drops the node's svndiff once it has been written.
void
drop_delta_file(de_node_baton *node, apr_pool_t *) {
  if (!node->delta_filename)
    return;
  print_debug("delta_dump_node(%s): Dropping delta %s\n", node->path,
              node->delta_filename);
  text_store_unref(node->de->texts, node->delta_filename);
  node->delta_filename = nullptr;
}

void
print_action(const node_record &rec, const de_node_baton *node) {
  if (rec.action == 'A')
    print_verbose(_("     * adding path : %s ... "), node->path);
  else if (rec.action == 'D')
    print_verbose(_("     * deleting path : %s ... "), node->path);
  else if (rec.action == 'R')
    print_verbose(_("     * replacing path : %s ... "), node->path);
  else
    print_verbose(_("     * editing path : %s ... "), node->path);
}

} // namespace

svn_error_t *
delta_deltify_node(de_node_baton *node, const char *base, const char *text) {
  vh::Pool scratch(node->pool);
  apr_pool_t *pool = scratch.get();
  print_debug("delta_deltify_node(%s): %s -> %s\n", node->path,
              base ? base : "(empty)", text);

  text_store *ts = node->de->texts;
  svn_stream_t *target = nullptr;
  SVN_ERR(text_store_read(ts, text, &target, pool));
  svn_stream_t *source = nullptr;
  if (base)
    SVN_ERR(text_store_read(ts, base, &source, pool));
  else
    source = svn_stream_empty(pool);

  svn_stream_t *delta = nullptr;
  const char *name = nullptr;
  SVN_ERR(text_store_new_text(ts, &delta, &name, pool, false));
  node->delta_filename = apr_pstrdup(node->pool, name);
  print_debug("delta_deltify_node(%s): writing to %s\n", node->path,
              node->delta_filename);

  svn_txdelta_stream_t *stream = nullptr;
  svn_txdelta2(&stream, source, target, FALSE, pool);
  svn_txdelta_window_handler_t handler = nullptr;
  void *handler_baton = nullptr;
  svn_txdelta_to_svndiff3(&handler, &handler_baton, delta, 0,
                          SVN_DELTA_COMPRESSION_LEVEL_DEFAULT, pool);
  svn_error_t *err =
      svn_txdelta_send_txstream(stream, handler, handler_baton, pool);
  if (err) {
    print_debug("delta_delify_node(%s): Error creating svndiff\n", node->path);
    return err;
  }
  // The svndiff writer closes its stream (and the file) at the last window;
  // the two input files close with the scratch pool.
  return SVN_NO_ERROR;
}

svn_error_t *
delta_plan_node(de_node_baton *node, node_plan *plan) {
  plan->records.clear();
  plan->has_digest = false;
  if (!node->dump_needed) {
    print_debug("delta_dump_node(%s): aborting: dump not needed\n", node->path);
    return SVN_NO_ERROR;
  }
  SVN_ERR(settle_action(node, false));
  if (!node->dump_needed)
    return SVN_NO_ERROR;
  if (node->action == 'R') {
    // A replace is written as the deletion of the old node, then the add
    // of the new one, whose copy source is resolved anew.
    print_debug("delta_dump_node(%s): running delta_dump_replace()\n",
                node->path);
    node_record deletion;
    deletion.path = stream_path(node, node->pool);
    deletion.action = 'D';
    plan->records.push_back(deletion);
    // The loader's copies of the old node's files are gone with it.
    text_store_forget_digests_below(node->de->texts, node->path, node->pool);
    node->cp_info = CPI_NONE;
    node->action = 'A';
    SVN_ERR(settle_action(node, true));
    if (!node->dump_needed)
      return SVN_NO_ERROR;
  }
  SVN_ERR(plan_record(node, plan));
  // A replace by a new node is one record, as svnadmin writes it; a
  // replace by a copy is the deletion and the add with history.
  if (plan->records.size() == 2 && !plan->records[1].copyfrom_path) {
    plan->records[1].action = 'R';
    plan->records.erase(plan->records.begin());
  }
  return SVN_NO_ERROR;
}

struct delta_queue {
  std::vector<std::pair<de_node_baton *, node_plan>> items;
};

delta_queue *
delta_queue_make(apr_pool_t *pool) {
  auto *queue = new delta_queue;
  apr_pool_cleanup_register(
      pool, queue,
      [](void *data) noexcept -> apr_status_t {
        delete static_cast<delta_queue *>(data);
        return APR_SUCCESS;
      },
      apr_pool_cleanup_null);
  return queue;
}

svn_error_t *
delta_dump_node(de_node_baton *node) {
  node_plan plan;
  SVN_ERR(delta_plan_node(node, &plan));
  if (plan.records.empty())
    return SVN_NO_ERROR;
  finish_node(node, plan);
  node->de->queue->items.emplace_back(node, std::move(plan));
  return SVN_NO_ERROR;
}

svn_error_t *
delta_write_queue(de_baton *de, apr_pool_t *pool) {
  vh::Pool scratch(pool);
  if (de->head)
    SVN_ERR(dumpfile_write_head(de->out, *de->head, scratch.get()));
  for (auto &[node, plan] : de->queue->items) {
    for (const node_record &rec : plan.records) {
      // The deletion that opens a replace is not announced on its own.
      if (&rec == &plan.records.back())
        print_action(rec, node);
      scratch.clear();
      SVN_ERR(dumpfile_write_node(de->out, rec, scratch.get()));
    }
    print_verbose("%s", node->cp_info == CPI_COPY ? _("COPIED ... done.\n")
                                                  : _("done.\n"));
    drop_delta_file(node, scratch.get());
  }
  de->queue->items.clear();
  return SVN_NO_ERROR;
}
