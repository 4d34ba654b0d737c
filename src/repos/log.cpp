#include "repos/log.h"

#include "util/diagnostics.h"
#include "util/byte_spool.h"
#include "util/path.h"
#include "obfuscate/obfuscate.h"

#include <apr_strings.h>
#include <svn_dirent_uri.h>
#include <svn_props.h>
#include <svn_ra.h>

#include <cctype>
#include <cstdint>
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

// Whether the session speaks HTTP, whose log report is XML.
bool
over_http(const session *sess) {
  return sess->root && std::strncmp(sess->root, "http", 4) == 0;
}

// Whether `name` can be an XML element name, as a property that HTTP asks
// for by name must be.
bool
is_xml_name(const char *name) {
  auto ok = [](unsigned char c, bool first) {
    return std::isalpha(c) || c == '_' || c >= 0x80 ||
           (!first && (std::isdigit(c) || c == '-' || c == '.' || c == ':'));
  };
  if (!*name || !ok(static_cast<unsigned char>(*name), true))
    return false;
  for (const char *p = name + 1; *p; ++p)
    if (!ok(static_cast<unsigned char>(*p), false))
      return false;
  return true;
}

// Copies the revision properties of an entry into `out`. With obfuscation
// the author and the message become random words and every property but
// those two and the date is left out: that mode exists to hide content.
apr_hash_t *
copy_revprops(session *sess, apr_hash_t *revprops, apr_pool_t *out,
              apr_pool_t *scratch) {
  apr_hash_t *copy = apr_hash_make(out);
  if (!revprops)
    return copy;
  for (apr_hash_index_t *hi = apr_hash_first(scratch, revprops); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    void *val = nullptr;
    apr_hash_this(hi, &key, nullptr, &val);
    const char *name = static_cast<const char *>(key);
    const auto *value = static_cast<const svn_string_t *>(val);
    if (sess->obf.enabled) {
      if (std::strcmp(name, SVN_PROP_REVISION_LOG) == 0 ||
          std::strcmp(name, SVN_PROP_REVISION_AUTHOR) == 0)
        value = svn_string_create(
            obfuscate_text(&sess->obf, out, value->data), out);
      else if (std::strcmp(name, SVN_PROP_REVISION_DATE) != 0)
        continue;
    }
    apr_hash_set(copy, apr_pstrdup(out, name), APR_HASH_KEY_STRING,
                 svn_string_dup(value, out));
  }
  return copy;
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

// Whether the change `change` of the repository path `path` (with its
// subtree key `rel`, or null outside the subtree) leaves the subtree
// changed only inside (log_revision::changes_inside).
bool
change_inside(const char *repos_path, const char *path, const char *rel,
              const svn_log_changed_path2_t *change) {
  if (rel)
    return *rel != '\0' || change->action == 'M';
  // Above the subtree only a change of properties leaves it where it was.
  const char *above = *path == '/' ? path + 1 : path;
  return change->action == 'M' ||
         !path_is_inside(above, repos_path ? repos_path : "");
}

svn_error_t *
log_receiver(void *baton, svn_log_entry_t *entry, apr_pool_t *pool) noexcept {
  auto *lb = static_cast<log_baton *>(baton);
  session *sess = lb->sess;
  apr_pool_t *out = lb->pool;
  log_revision *logrev = lb->logrev;
  lb->received = true;

  logrev->revision = entry->revision;
  logrev->revprops = copy_revprops(sess, entry->revprops, out, pool);
  logrev->author = revprop(logrev->revprops, SVN_PROP_REVISION_AUTHOR, out);
  logrev->date = revprop(logrev->revprops, SVN_PROP_REVISION_DATE, out);
  logrev->message = revprop(logrev->revprops, SVN_PROP_REVISION_LOG, out);
  logrev->changed_paths = apr_hash_make(out);
  print_debug("log_receiver: got log for revision %ld\n", entry->revision);

  // Every log here asks for changed paths: none is a revision that
  // changed nothing.
  logrev->changes_inside = true;
  logrev->fully_readable =
      logrev->message ||
      ((!entry->changed_paths2 || apr_hash_count(entry->changed_paths2) == 0) &&
       (logrev->author || logrev->date));
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
    if (!change_inside(sess->repos_path, path, rel, change))
      logrev->changes_inside = false;
    if (!rel) {
      print_debug("%c %s [skipped]\n", change->action, path);
      continue;
    }

    svn_log_changed_path2_t *record = svn_log_changed_path2_create(out);
    record->action = change->action;
    record->copyfrom_rev = change->copyfrom_rev;
    record->node_kind = change->node_kind;
    record->text_modified = change->text_modified;
    record->props_modified = change->props_modified;
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

vh::Error
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
  apr_pool_destroy(scratch);
  if (err) {
    print_verbose("%s", _("failed\n"));
    return vh::Error(err);
  }
  *start = first.revision;
  *end = last.revision;
  print_verbose("%s", _("done\n"));
  return {};
}

namespace {

svn_error_t *
revision_receiver(void *baton, svn_log_entry_t *entry, apr_pool_t *) noexcept {
  APR_ARRAY_PUSH(static_cast<apr_array_header_t *>(baton), svn_revnum_t) =
      entry->revision;
  return SVN_NO_ERROR;
}

} // namespace

vh::Error
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
  return vh::Error(err);
}

namespace {

// Over http:// the log report is XML, whose parser turns every carriage
// return into a line feed; a property asked for on its own comes back
// exact. A value without a line feed lost nothing. The server answers such
// a question with all of the revision's properties, named as XML elements:
// where one name cannot be one, the log's values are all there is.
// Obfuscated properties are random words anyway.
svn_error_t *
restore_exact_message(const session *sess, svn_ra_session_t *ra,
                      log_revision *logrev, apr_pool_t *pool,
                      bool *changed = nullptr) {
  if (sess->obf.enabled || !over_http(sess) || !logrev->revprops)
    return SVN_NO_ERROR;
  for (apr_hash_index_t *hi = apr_hash_first(pool, logrev->revprops); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    apr_hash_this(hi, &key, nullptr, nullptr);
    if (!is_xml_name(static_cast<const char *>(key)))
      return SVN_NO_ERROR;
  }
  for (apr_hash_index_t *hi = apr_hash_first(pool, logrev->revprops); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    void *val = nullptr;
    apr_hash_this(hi, &key, nullptr, &val);
    auto *name = static_cast<const char *>(key);
    auto *value = static_cast<const svn_string_t *>(val);
    if (!std::memchr(value->data, '\n', value->len))
      continue;
    svn_string_t *exact = nullptr;
    SVN_ERR(
        svn_ra_rev_prop(ra, logrev->revision, name, &exact, pool));
    if (exact) {
      apr_hash_set(logrev->revprops, name, APR_HASH_KEY_STRING,
                   svn_string_dup(exact, pool));
      if (changed)
        *changed = true;
    }
  }
  logrev->message = revprop(logrev->revprops, SVN_PROP_REVISION_LOG, pool);
  return SVN_NO_ERROR;
}

} // namespace

vh::Error
fetch_log_entry(session *sess, svn_revnum_t start, svn_revnum_t end,
                log_revision *logrev, apr_pool_t *pool) {
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, pool);
  log_baton lb = {logrev, sess, pool, false};
  svn_error_t *err = svn_ra_get_log2(
      sess->ra, session_path_list(scratch), start, end, 1, TRUE, TRUE, FALSE,
      /* every revision property */ nullptr, log_receiver, &lb, scratch);
  if (!err && lb.received)
    err = restore_exact_message(sess, sess->ra, logrev, pool);
  apr_pool_destroy(scratch);
  if (err)
    return vh::Error(err);
  // An empty answer would leave the entry unfilled and the caller dumping a
  // revision that does not exist.
  if (!lb.received)
    return vh::Error::createf(SVN_ERR_FS_NO_SUCH_REVISION,
                              _("No log entry for '%s' from revision %ld "
                                "to %ld"),
                              sess->url, start, end);
  return {};
}

vh::Error
log_restore_message(session *sess, log_revision *logrev, apr_pool_t *pool) {
  return vh::Error(restore_exact_message(sess, sess->ra, logrev, pool));
}

vh::Error
fetch_all_logs(session *sess, svn_revnum_t start, svn_revnum_t end,
               apr_array_header_t *logs) {
  const char *label = _("Fetching logs... ");
  print_verbose("%s", label);
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, sess->pool);
  all_logs_baton ab = {sess, logs, label};
  svn_error_t *err = svn_ra_get_log2(
      sess->ra, session_path_list(scratch), start, end, 0, TRUE, TRUE, FALSE,
      /* every revision property */ nullptr,
      all_logs_receiver, &ab, scratch);
  apr_pool_destroy(scratch);
  if (err) {
    print_verbose("%s", _("failed\n"));
    return vh::Error(err);
  }
  print_progress_finish(label, _("done\n"));
  return {};
}

svn_error_t *
log_restore_message_on(const session *sess, svn_ra_session_t *ra,
                       log_revision *logrev, apr_pool_t *pool,
                       bool *changed) {
  *changed = false;
  return restore_exact_message(sess, ra, logrev, pool, changed);
}

namespace {

struct stream_baton {
  session *sess;
  log_stream_func each;
  void *baton;
};

svn_error_t *
stream_receiver(void *baton, svn_log_entry_t *entry,
                apr_pool_t *pool) noexcept {
  auto *sb = static_cast<stream_baton *>(baton);
  log_revision logrev;
  log_baton lb = {&logrev, sb->sess, pool, false};
  SVN_ERR(log_receiver(&lb, entry, pool));
  return sb->each(sb->baton, &logrev, pool);
}

// Reads a record of log_encode, failing for good at the first field cut
// short.
struct reader {
  std::string_view in;
  bool ok = true;

  std::int64_t i64() {
    std::int64_t v = 0;
    ok = ok && bytes_take_i64(&in, &v);
    return ok ? v : 0;
  }

  // The string in `pool`, null when absent.
  const char *str(apr_pool_t *pool, std::size_t *len) {
    const char *data = nullptr;
    *len = 0;
    ok = ok && bytes_take_str(&in, &data, len);
    if (!ok || !data)
      return nullptr;
    return apr_pstrmemdup(pool, data, *len);
  }
};

} // namespace

vh::Error
log_stream(session *sess, svn_revnum_t start, svn_revnum_t end,
           log_stream_func each, void *baton) {
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, sess->pool);
  stream_baton sb = {sess, each, baton};
  svn_error_t *err = svn_ra_get_log2(
      sess->ra, session_path_list(scratch), start, end, 0, TRUE, TRUE, FALSE,
      /* every revision property */ nullptr, stream_receiver, &sb, scratch);
  apr_pool_destroy(scratch);
  return vh::Error(err);
}

void
log_encode(const log_revision *logrev, apr_pool_t *scratch, std::string *out) {
  out->clear();
  bytes_put_i64(out, logrev->revision);
  bytes_put_i64(out, (logrev->changes_inside ? 1 : 0) |
                         (logrev->fully_readable ? 2 : 0));
  for (apr_hash_t *table : {logrev->revprops, logrev->changed_paths}) {
    bytes_put_i64(out, table ? apr_hash_count(table) : -1);
    if (!table)
      continue;
    for (apr_hash_index_t *hi = apr_hash_first(scratch, table); hi;
         hi = apr_hash_next(hi)) {
      const void *key = nullptr;
      apr_ssize_t klen = 0;
      void *val = nullptr;
      apr_hash_this(hi, &key, &klen, &val);
      bytes_put_str(out, static_cast<const char *>(key),
              static_cast<std::size_t>(klen));
      if (table == logrev->revprops) {
        const auto *value = static_cast<const svn_string_t *>(val);
        bytes_put_str(out, value->data, value->len);
        continue;
      }
      const auto *change = static_cast<const svn_log_changed_path2_t *>(val);
      bytes_put_i64(out, change->action);
      bytes_put_i64(out, change->node_kind);
      bytes_put_i64(out, change->text_modified);
      bytes_put_i64(out, change->props_modified);
      const char *from = change->copyfrom_path;
      bytes_put_str(out, from, from ? std::strlen(from) : 0);
      bytes_put_i64(out, change->copyfrom_rev);
    }
  }
}

bool
log_decode(std::string_view encoded, log_revision *logrev, apr_pool_t *pool) {
  reader r{encoded};
  *logrev = log_revision{};
  logrev->revision = r.i64();
  std::int64_t flags = r.i64();
  logrev->changes_inside = (flags & 1) != 0;
  logrev->fully_readable = (flags & 2) != 0;
  for (int t = 0; t < 2 && r.ok; ++t) {
    std::int64_t count = r.i64();
    if (count < 0)
      continue;
    apr_hash_t *table = apr_hash_make(pool);
    (t == 0 ? logrev->revprops : logrev->changed_paths) = table;
    for (std::int64_t i = 0; i < count && r.ok; ++i) {
      std::size_t klen = 0;
      const char *key = r.str(pool, &klen);
      if (!key) {
        r.ok = false;
        break;
      }
      if (t == 0) {
        std::size_t vlen = 0;
        const char *value = r.str(pool, &vlen);
        if (!value) {
          r.ok = false;
          break;
        }
        apr_hash_set(table, key, static_cast<apr_ssize_t>(klen),
                     svn_string_ncreate(value, vlen, pool));
        continue;
      }
      svn_log_changed_path2_t *change = svn_log_changed_path2_create(pool);
      change->action = static_cast<char>(r.i64());
      change->node_kind = static_cast<svn_node_kind_t>(r.i64());
      change->text_modified = static_cast<svn_tristate_t>(r.i64());
      change->props_modified = static_cast<svn_tristate_t>(r.i64());
      std::size_t flen = 0;
      change->copyfrom_path = r.str(pool, &flen);
      change->copyfrom_rev = r.i64();
      apr_hash_set(table, key, static_cast<apr_ssize_t>(klen), change);
    }
  }
  if (!r.ok || !r.in.empty())
    return false;
  logrev->author = revprop(logrev->revprops, SVN_PROP_REVISION_AUTHOR, pool);
  logrev->date = revprop(logrev->revprops, SVN_PROP_REVISION_DATE, pool);
  logrev->message = revprop(logrev->revprops, SVN_PROP_REVISION_LOG, pool);
  return true;
}
