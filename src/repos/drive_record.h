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

// How a replay of a subtree is recorded as the drive of its diff. A replay
// names paths from the repository root and opens the directories above the
// subtree: the subtree's directory becomes the recorded root, paths are
// made relative to it, and calls above it are left out (an add or a
// deletion of the subtree or of a directory above it fails the call). A
// file added without history and without a text delta (a replay leaves out
// the text of an empty file) gets an empty text, as a diff sends it. A
// copy must come as an add of the whole tree (a replay whose low-water
// mark is above the copy's source).
struct replay_as_diff {
  const char *root = ""; // repository path without leading slash
  // Subtree-relative paths that the diff reports as missing
  // (delta_replaced_paths): their deletion is left out, and their new nodes
  // arrive whole.
  const apr_array_header_t *replaced = nullptr;
};

// Makes, in `pool`, an editor that records every call into `spool`. Once
// `*stop` is true its calls fail with SVN_ERR_CANCELLED; a spool that cannot
// be written fails them with the error of the temporary file.
//
// With `replay` the editor receives a replay of a subtree, and records the
// drive that a diff of the subtree would make (see replay_as_diff). With
// null, every call is recorded as it comes.
void drive_record_editor(const svn_delta_editor_t **editor, void **edit_baton,
                         byte_spool *spool, const std::atomic<bool> *stop,
                         const replay_as_diff *replay, apr_pool_t *pool);

// Makes the recorded calls of `spool` (rewound, not read before) on `editor`
// and `edit_baton`, in pools below `pool`. Fails with the editor's first
// error, or when the recording is cut short or corrupt.
svn_error_t *drive_replay(byte_spool *spool, const svn_delta_editor_t *editor,
                          void *edit_baton, apr_pool_t *pool);
