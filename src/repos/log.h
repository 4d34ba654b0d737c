// Log retrieval: the revisions that touched the dumped subtree, each with
// its author, date, message and the changed paths inside the subtree, made
// relative to it.
#pragma once

#include "repos/session.h"
#include "util/apr_glue.h"

#include <apr_hash.h>
#include <apr_tables.h>
#include <svn_types.h>

#include <string>
#include <string_view>

// One log entry. Keys of `changed_paths` are subtree-relative paths (no
// leading slash, "" for the subtree root); values are
// svn_log_changed_path2_t * whose copyfrom_path is relative to the repository
// root, without leading slash, and whose text_modified and props_modified
// say what changed (relative to the copy source for a copy). `revprops`
// holds every revision property (name to svn_string_t *; with obfuscation
// only svn:date and the replaced svn:author and svn:log); `author`, `date`
// and `message` are those three as text, for messages. `changed_paths` and
// `revprops` are null only in the placeholder entry of a subdirectory dump.
struct log_revision {
  svn_revnum_t revision = 0;
  const char *author = nullptr;
  const char *date = nullptr;
  const char *message = nullptr;
  apr_hash_t *changed_paths = nullptr;
  apr_hash_t *revprops = nullptr;
  // The revision changes the subtree only inside it: the subtree root is
  // neither added, deleted nor replaced, and nothing above it is added,
  // deleted or replaced. False when unknown.
  bool changes_inside = false;
  // The log shows the whole revision: it has its log message, or it
  // changed nothing and shows its author or date. The server withholds the
  // log message of a revision that changed paths this user may not read,
  // and every property of one that changed only such paths.
  bool fully_readable = false;
};

// Narrows *start and *end to the first and last revision that touched the
// subtree. Fails with the server's error.
vh::Error find_revision_bounds(session *sess, svn_revnum_t *start,
                               svn_revnum_t *end);

// Fills *logrev with the oldest entry from `start` to `end`, allocated in
// `pool`. Fails with the server's error, or with "No log entry for '%s'
// from revision %ld to %ld" when the server sends none.
vh::Error fetch_log_entry(session *sess, svn_revnum_t start,
                          svn_revnum_t end, log_revision *logrev,
                          apr_pool_t *pool);

// Sets *revisions to the numbers (svn_revnum_t) of the revisions from
// `start` to `end` that touched the subtree, oldest first, in `pool`; no
// changed paths or revision properties are fetched. Fails with the
// server's error.
vh::Error fetch_log_revisions(session *sess, svn_revnum_t start,
                              svn_revnum_t end, apr_array_header_t **revisions,
                              apr_pool_t *pool);

// Appends every entry from `start` to `end`, oldest first, to `logs` (an
// array of log_revision), allocated in sess->pool. Fails with the server's
// error.
vh::Error fetch_all_logs(session *sess, svn_revnum_t start, svn_revnum_t end,
                         apr_array_header_t *logs);

// Replaces the revision properties of `logrev` by their exact values where
// the protocol may have rewritten them (over http:// the log report turns
// every carriage return into a line feed); a no-op elsewhere. The copies
// live in `pool`. Fails with the server's error. fetch_log_entry does this
// itself; callers of fetch_all_logs do it for the entries they write.
vh::Error log_restore_message(session *sess, log_revision *logrev,
                              apr_pool_t *pool);

// The key under which the absolute changed path `path` ("/trunk/a") is kept
// for the subtree `repos_path` ("trunk"): the rest of `path` after the
// subtree and one slash ("a"), "" for the subtree root itself, or null when
// `path` lies outside the subtree. Whole components are compared, so
// "/trunkfoo" is outside "trunk". With an empty `repos_path` every path is
// inside and keeps its components ("/trunk/a" gives "trunk/a"). Points into
// `path`.
const char *log_subtree_key(const char *repos_path, const char *path);

// As log_restore_message, over the session `ra` (a helper session of
// `sess`), without printing anything: for a helper thread. Sets *changed to
// whether any value was replaced.
svn_error_t *log_restore_message_on(const session *sess, svn_ra_session_t *ra,
                                    log_revision *logrev, apr_pool_t *pool,
                                    bool *changed);

// Called with every entry of log_stream; `scratch` (and the entry) is
// cleared after the call.
using log_stream_func = svn_error_t *(*)(void *baton,
                                         const log_revision *entry,
                                         apr_pool_t *scratch);

// Streams every entry from `start` to `end`, oldest first, in one request,
// to `each`. The messages are as the log sends them (see
// log_restore_message). Fails with the server's error or the first of
// `each`.
vh::Error log_stream(session *sess, svn_revnum_t start, svn_revnum_t end,
                     log_stream_func each, void *baton);

// Writes `logrev` into *out as bytes that log_decode reads back; `scratch`
// is for the walk of its tables.
void log_encode(const log_revision *logrev, apr_pool_t *scratch,
                std::string *out);

// Reads an entry written by log_encode into *logrev, allocated in `pool`.
// False when `encoded` is not such an entry.
bool log_decode(std::string_view encoded, log_revision *logrev,
                apr_pool_t *pool);
