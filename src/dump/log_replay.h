// Log replay into the path repository: before an incremental dump that
// starts in the middle of history, the log entries of the earlier revisions
// are applied to the path repository without dumping anything, so that
// copies in the dumped revisions can be checked against the tree of any
// earlier revision.
//
// Deletions and plain additions come from the log itself. The paths below a
// copied directory come from the path repository's own history when the
// copy source lies inside the dumped directory, and from the server when it
// lies outside. Nothing here owns state: it works on the path repository
// passed in, and the lists it builds live in the caller's pool.
//
// With obfuscation on, the log and the path repository hold obfuscated
// names while the server knows only the real ones: questions to the server
// are asked with the real names (obfuscate_reveal_path) and the names it
// returns are obfuscated before they enter the path repository.
#pragma once

#include "dumpfile/dump_options.h"
#include "history/path_repo.h"
#include "history/revision_map.h"
#include "repos/log.h"
#include "repos/session.h"
#include "util/apr_glue.h"

#include <apr_pools.h>
#include <apr_tables.h>
#include <svn_types.h>

// Applies the changed paths of `logrev` (an entry of `revs`, whose position
// or, with DF_KEEP_REVNUMS, whose revision is `revision`) to the current
// tree of `repo` and commits them as `revision`. With DF_KEEP_REVNUMS the
// positive multiples of 1024 between the last commit and `revision` are
// committed first, so that their snapshots exist although no entry carries
// their number. Paths are applied in ascending byte order (a directory
// before its contents); a deletion or replace removes the path and all
// below it first. Fails with the error of the step that failed (a server
// error, a tree that cannot be rebuilt, a failed commit); the revision is
// then not committed. `pool` is scratch.
vh::Error path_repo_commit_log(path_repo *repo, session *sess,
                               dump_options *opts, const log_revision *logrev,
                               svn_revnum_t revision, const revision_map *revs,
                               apr_pool_t *pool);

// Records the addition of `path` (relative to the dumped directory, as the
// path repository names it) and of every path below it as the server has
// them at `revision`, a repository revision. A node the server does not
// know there is no error: nothing is recorded. Fails with "Error fetching
// tree for revision %ld" above the server's error. `pool` is scratch.
vh::Error pr_fetch_paths(path_repo *repo, const char *path,
                         svn_revnum_t revision, session *sess,
                         apr_pool_t *pool);

// Appends to `list` (of const char *, allocated in `pool`) every path below
// the directory `dir` (relative to the session's URL, "" for the session's
// own directory) at `revision`, each directory before its contents, asking
// the server for node kinds only. Paths are the server's own names. Fails
// with the server's error.
vh::Error pr_list_tree(apr_array_header_t *list, const char *dir,
                       svn_revnum_t revision, session *sess, apr_pool_t *pool);
