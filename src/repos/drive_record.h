// Recorded editor drives: an editor that writes every call the server makes
// into a byte spool, and the replay that makes the same calls, in the same
// order and with the same arguments and text-delta windows, on another
// editor later (and on another thread). A drive fetched ahead of time thus
// reaches the dump's editor exactly as if the server drove it directly.
#pragma once

#include "util/byte_spool.h"

#include <apr_pools.h>
#include <svn_delta.h>

#include <atomic>

// Makes, in `pool`, an editor that records every call into `spool`. Once
// `*stop` is true its calls fail with SVN_ERR_CANCELLED; a spool that cannot
// be written fails them with the error of the temporary file.
//
// With `replay_root` (a repository path without leading slash, "" for the
// root) the editor receives a replay of that subtree, which names paths
// from the repository root and opens the directories above the subtree:
// it records the drive that a diff of the subtree makes. The subtree's
// directory is the recorded root, paths are relative to it, calls above it
// are left out (an add or a deletion of the subtree or of a directory above
// it fails the call), and a file added without history and without a text
// delta (a replay leaves out the text of an empty file) gets an empty one.
// With null, every call is recorded as it comes.
void drive_record_editor(const svn_delta_editor_t **editor, void **edit_baton,
                         byte_spool *spool, const std::atomic<bool> *stop,
                         const char *replay_root, apr_pool_t *pool);

// Makes the recorded calls of `spool` (rewound, not read before) on `editor`
// and `edit_baton`, in pools below `pool`. Fails with the editor's first
// error, or when the recording is cut short or corrupt.
svn_error_t *drive_replay(byte_spool *spool, const svn_delta_editor_t *editor,
                          void *edit_baton, apr_pool_t *pool);
