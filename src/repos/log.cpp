#include "repos/log.h"

#include "util/diagnostics.h"
#include "obfuscate/obfuscate.h"

#include <apr_strings.h>
#include <svn_dirent_uri.h>
#include <svn_props.h>
#include <svn_ra.h>

#include <cstdio>
#include <cstring>

namespace {

// What log_receiver fills: the entry, the session and the pool for the
// copies. `received` tells the caller whether the server sent an entry.
struct log_baton {
  log_revision *logrev;
  session *sess;
  apr_pool_t *pool;
  bool received;
};

// Baton of the bounds requests: the revision of the one entry asked for.
struct bounds_baton {
  svn_revnum_t revision;
};

// Baton of fetch_all_logs: the array to append to and the progress label.
struct all_logs_baton {
  session *sess;
  apr_array_header_t *logs;
  const char *label;
};

// The one-element path list naming the session's own path.
apr_array_header_t *
session_path_list(apr_pool_t *pool) {
  apr_array_header_t *paths = apr_array_make(pool, 1, sizeof(const char *));
  APR_ARRAY_PUSH(paths, const char *) = svn_relpath_canonicalize(".", pool);
  return paths;
}

// The revision properties a log entry is made of.
apr_array_header_t *
entry_revprops(apr_pool_t *pool) {
  apr_array_header_t *props = apr_array_make(pool, 3, sizeof(const char *));
  APR_ARRAY_PUSH(props, const char *) = SVN_PROP_REVISION_AUTHOR;
  APR_ARRAY_PUSH(props, const char *) = SVN_PROP_REVISION_DATE;
  APR_ARRAY_PUSH(props, const char *) = SVN_PROP_REVISION_LOG;
  return props;
}

const char *
revprop(apr_hash_t *revprops, const char *name, apr_pool_t *pool) {
  if (!revprops)
    return nullptr;
  auto *value = static_cast<const svn_string_t *>(
      apr_hash_get(revprops, name, APR_HASH_KEY_STRING));
  return value ? apr_pstrmemdup(pool, value->data, value->len) : nullptr;
}

svn_error_t *
bounds_receiver(void *baton, svn_log_entry_t *entry, apr_pool_t *) noexcept {
  static_cast<bounds_baton *>(baton)->revision = entry->revision;
  return SVN_NO_ERROR;
}

svn_error_t *
log_receiver(void *baton, svn_log_entry_t *entry, apr_pool_t *pool) noexcept {
  auto *lb = static_cast<log_baton *>(baton);
  session *sess = lb->sess;
  apr_pool_t *out = lb->pool;
  log_revision *logrev = lb->logrev;
  lb->received = true;

  logrev->revision = entry->revision;
  logrev->author = obfuscate_text(&sess->obf, out, revprop(entry->revprops, SVN_PROP_REVISION_AUTHOR, out));
  logrev->date = revprop(entry->revprops, SVN_PROP_REVISION_DATE, out);
  logrev->message = obfuscate_text(&sess->obf, out, revprop(entry->revprops, SVN_PROP_REVISION_LOG, out));
  logrev->changed_paths = apr_hash_make(out);
  print_debug("log_receiver: got log for revision %ld\n", entry->revision);

  if (!entry->changed_paths2) {
    print_debug("changed_paths is NULL\n");
    return SVN_NO_ERROR;
  }

  for (apr_hash_index_t *hi = apr_hash_first(pool, entry->changed_paths2); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    void *val = nullptr;
    apr_hash_this(hi, &key, nullptr, &val);
    const auto *change = static_cast<const svn_log_changed_path2_t *>(val);
    const char *path =
        obfuscate_path(&sess->obf, pool, static_cast<const char *>(key));
    const char *rel = log_subtree_key(sess->repos_path, path);
    if (!rel) {
      print_debug("%c %s [skipped]\n", change->action, path);
      continue;
    }

    auto *record = static_cast<svn_log_changed_path_t *>(
        apr_pcalloc(out, sizeof(svn_log_changed_path_t)));
    record->action = change->action;
    record->copyfrom_rev = change->copyfrom_rev;
    if (change->copyfrom_path) {
      const char *from = change->copyfrom_path;
      if (*from == '/')
        ++from;
      record->copyfrom_path = obfuscate_path(&sess->obf, out, apr_pstrdup(out, from));
    }
    apr_hash_set(logrev->changed_paths, apr_pstrdup(out, rel),
                 APR_HASH_KEY_STRING, record);

    print_debug("%c %s", record->action, rel);
    if (record->copyfrom_path)
      print_debug(" (from %s@%ld)", record->copyfrom_path,
                  record->copyfrom_rev);
    print_debug("\n");
  }
  return SVN_NO_ERROR;
}

svn_error_t *
all_logs_receiver(void *baton, svn_log_entry_t *entry,
                  apr_pool_t *pool) noexcept {
  auto *ab = static_cast<all_logs_baton *>(baton);
  log_revision logrev;
  log_baton lb = {&logrev, ab->sess, ab->sess->pool, false};
  SVN_ERR(log_receiver(&lb, entry, pool));
  APR_ARRAY_PUSH(ab->logs, log_revision) = logrev;
  print_progress_update("%s%ld", ab->label, logrev.revision);
  return SVN_NO_ERROR;
}

} // namespace

const char *
log_subtree_key(const char *repos_path, const char *path) {
  if (!path || !*path)
    return nullptr;
  std::size_t len = std::strlen(repos_path);
  const char *rest = path + 1;
  if (std::strncmp(rest, repos_path, len) != 0)
    return nullptr;
  if (len > 0) {
    if (rest[len] != '\0' && rest[len] != '/')
      return nullptr;
    rest += len;
  } else {
    rest = path;
  }
  if (*rest == '/')
    ++rest;
  return rest;
}

bool
find_revision_bounds(session *sess, svn_revnum_t *start, svn_revnum_t *end) {
  print_verbose("%s", _("Determining start and end revision... "));
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, sess->pool);
  apr_array_header_t *paths = session_path_list(scratch);
  apr_array_header_t *no_revprops =
      apr_array_make(scratch, 0, sizeof(const char *));

  bounds_baton first = {*start};
  svn_error_t *err =
      svn_ra_get_log2(sess->ra, paths, *start, *end, 1, FALSE, TRUE, FALSE,
                      no_revprops, bounds_receiver, &first, scratch);
  bounds_baton last = {*end};
  if (!err)
    err = svn_ra_get_log2(sess->ra, paths, *end, first.revision, 1, FALSE, TRUE,
                          FALSE, no_revprops, bounds_receiver, &last, scratch);
  if (err) {
    print_verbose("%s", _("failed\n"));
    handle_error(err, _("ERROR: "));
    svn_error_clear(err);
    apr_pool_destroy(scratch);
    return true;
  }
  *start = first.revision;
  *end = last.revision;
  apr_pool_destroy(scratch);
  print_verbose("%s", _("done\n"));
  return false;
}

namespace {

svn_error_t *
revision_receiver(void *baton, svn_log_entry_t *entry, apr_pool_t *) noexcept {
  APR_ARRAY_PUSH(static_cast<apr_array_header_t *>(baton), svn_revnum_t) =
      entry->revision;
  return SVN_NO_ERROR;
}

} // namespace

bool
fetch_log_revisions(session *sess, svn_revnum_t start, svn_revnum_t end,
                    apr_array_header_t **revisions, apr_pool_t *pool) {
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, pool);
  *revisions = apr_array_make(pool, 64, sizeof(svn_revnum_t));
  svn_error_t *err = svn_ra_get_log2(
      sess->ra, session_path_list(scratch), start, end, 0, FALSE, TRUE, FALSE,
      apr_array_make(scratch, 0, sizeof(const char *)), revision_receiver,
      *revisions, scratch);
  apr_pool_destroy(scratch);
  if (err) {
    handle_error(err, _("ERROR: "));
    svn_error_clear(err);
    return true;
  }
  return false;
}

namespace {

// Over http:// the log report is XML, whose parser turns every carriage
// return of a message into a line feed; the revision property itself comes
// back exact. A message without a line feed lost nothing. Obfuscated
// messages are random words anyway.
svn_error_t *
restore_exact_message(session *sess, log_revision *logrev, apr_pool_t *pool) {
  if (!logrev->message || !std::strchr(logrev->message, '\n') ||
      sess->obf.enabled || !sess->root ||
      std::strncmp(sess->root, "http", 4) != 0)
    return SVN_NO_ERROR;
  svn_string_t *value = nullptr;
  SVN_ERR(svn_ra_rev_prop(sess->ra, logrev->revision, SVN_PROP_REVISION_LOG,
                          &value, pool));
  if (value)
    logrev->message = apr_pstrmemdup(pool, value->data, value->len);
  return SVN_NO_ERROR;
}

} // namespace

bool
fetch_log_entry(session *sess, svn_revnum_t start, svn_revnum_t end,
                log_revision *logrev, apr_pool_t *pool) {
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, pool);
  log_baton lb = {logrev, sess, pool, false};
  svn_error_t *err = svn_ra_get_log2(
      sess->ra, session_path_list(scratch), start, end, 1, TRUE, TRUE, FALSE,
      entry_revprops(scratch), log_receiver, &lb, scratch);
  if (!err && lb.received)
    err = restore_exact_message(sess, logrev, pool);
  apr_pool_destroy(scratch);
  if (err) {
    handle_error(err, _("ERROR: "));
    svn_error_clear(err);
    return true;
  }
  // An empty answer would leave the entry unfilled and the caller dumping a
  // revision that does not exist.
  if (!lb.received) {
    std::fprintf(stderr,
                 _("ERROR: No log entry for '%s' from revision %ld "
                   "to %ld\n"),
                 sess->url, start, end);
    return true;
  }
  return false;
}

bool
log_restore_message(session *sess, log_revision *logrev, apr_pool_t *pool) {
  svn_error_t *err = restore_exact_message(sess, logrev, pool);
  if (!err)
    return false;
  handle_error(err, _("ERROR: "));
  svn_error_clear(err);
  return true;
}

bool
fetch_all_logs(session *sess, svn_revnum_t start, svn_revnum_t end,
               apr_array_header_t *logs) {
  const char *label = _("Fetching logs... ");
  print_verbose("%s", label);
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, sess->pool);
  all_logs_baton ab = {sess, logs, label};
  svn_error_t *err = svn_ra_get_log2(
      sess->ra, session_path_list(scratch), start, end, 0, TRUE, TRUE, FALSE,
      entry_revprops(scratch), all_logs_receiver, &ab, scratch);
  apr_pool_destroy(scratch);
  if (err) {
    print_verbose("%s", _("failed\n"));
    handle_error(err, _("ERROR: "));
    svn_error_clear(err);
    return true;
  }
  print_progress_finish(label, _("done\n"));
  return false;
}
