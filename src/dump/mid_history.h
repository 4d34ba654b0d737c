// Preparation of an incremental dump that starts in the middle of history
// (--incremental with a start above 0): the whole log of the dumped subtree
// is fetched, the entries below the start are replayed into the path
// repository without output ("Preparing tree history... "), and the dump
// loop is told where to begin: at the base revision, the last entry below
// the start, which the loop replays without output so that the
// texts and properties of the base are known before the first written
// revision is diffed against it.
//
// When no entry of the subtree's log lies below the start (the subtree was
// created at or after it) there is no earlier history to rebuild: the first
// entry is then written in full, as a dump that does not start in the
// middle of history would write it, numbered from 1 (with --keep-revnums
// the loop pads up to its revision).
//
// Nothing here owns state: the entries go into the driver's `logs`.
#pragma once

#include "dumpfile/dump_options.h"
#include "history/revision_map.h"
#include "repos/session.h"
#include "util/apr_glue.h"

#include <svn_types.h>

struct path_repo; // history/path_repo.h

// Where the dump loop begins after the preparation.
struct mid_history_start {
  int list_idx = 0;           // index in `logs` before the first iteration
  svn_revnum_t local_rev = 0; // dump number of the first iteration
  bool dry_run = false;       // the first iteration is the base, replayed
                              // without output
};

// Runs the preparation. `opts->end` is the settled end of the range and
// `opts->start` the first revision to write (-1, HEAD, means the end
// itself). Appends the whole log from 0 to the end to `revs`, commits every
// entry below the start to `prepo`, then sets `opts->start` to the revision
// that the first iteration reports as empty, `opts->end` to the last
// entry's revision, and `*where`. Fails with the error of the step that
// failed, or with "URL '%s' has no history to dump" when no entry lies at
// or after the start.
vh::Error mid_history_prepare(session *sess, dump_options *opts,
                              path_repo *prepo, revision_map *revs,
                              mid_history_start *where);

// Whether the stream header and the UUID record are written: always, except
// for a dump that starts in the middle of history with
// --no-incremental-header, whose stream starts with its first revision
// record so that it can follow an earlier dump.
bool mid_history_writes_header(const dump_options *opts, bool start_mid);
