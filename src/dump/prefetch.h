// Revisions fetched ahead: helper threads, each with a session of its own,
// ask the server for the drives of the revisions after the one being written
// and record them, so that the server and the network are busy while the
// dump is written. The driver takes the recordings in revision order and
// replays them into the dump's editor: the editor sees the very calls that a
// drive on the run's own session would make, so the dump is the same.
//
// Helper sessions never prompt; when none can be opened, or when they fail
// to open later, the remaining revisions are fetched on the run's own
// session, one at a time, as they are written.
#pragma once

#include "dumpfile/dump_options.h"
#include "repos/log.h"
#include "repos/session.h"
#include "util/apr_glue.h"
#include "util/byte_spool.h"

#include <memory>

struct prefetch;
using prefetch_ptr = std::unique_ptr<prefetch, void (*)(prefetch *)>;

// An empty list of revisions to fetch, and `helpers` (> 0) helper threads,
// which open their sessions and wait for prefetch_run. With
// `restore_messages` the helpers also make each entry's revision properties
// exact (log_restore_message). `sess` and `opts` must outlive the prefetch;
// the helpers read them only.
prefetch_ptr prefetch_make(session *sess, const dump_options *opts,
                           bool restore_messages, int helpers);

// Appends a revision: its log entry, and how its drive is asked for (the
// changes of the entry's revision against revision `diff`, or against an
// empty tree with `start_empty`). The entries are kept in memory while they
// are few, then in a temporary file. Before prefetch_run only.
vh::Error prefetch_add(prefetch *pf, const log_revision *entry,
                       svn_revnum_t diff, bool start_empty,
                       apr_pool_t *scratch);

// Ends the list: the helpers begin on the revisions added.
void prefetch_run(prefetch *pf);

// Number of revisions.
int prefetch_count(const prefetch *pf);

// Waits for revision `index` (taken in order, each once) and hands over its
// log entry, decoded into `pool` (unless `entry` is null), and its recorded
// drive. Fails with the
// error of the fetch.
vh::Error prefetch_take(prefetch *pf, int index, log_revision *entry,
                        std::unique_ptr<byte_spool> *drive, apr_pool_t *pool);

// Has the server drive `editor` over `ra` (a session on the run's URL) with
// the changes that turn revision `diff` (or an empty tree when
// `start_empty`) into revision `revision`. The paths of `replaced`
// (delta_replaced_paths) are reported as missing, so that their new nodes
// arrive whole; a replaced subtree root as an empty one. Scratch memory
// lives in a child of `pool`. This is the only place where a revision's
// changes are asked for.
svn_error_t *prefetch_drive(const session *sess, svn_ra_session_t *ra,
                            const dump_options *opts, svn_revnum_t revision,
                            svn_revnum_t diff, bool start_empty,
                            const apr_array_header_t *replaced,
                            const svn_delta_editor_t *editor, void *edit_baton,
                            apr_pool_t *pool);
