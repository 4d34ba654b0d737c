// Revision finalisation: at the close of the edit, the revision's node tree
// is written (a node before its children, a deletion after them), the copy
// information of each copied directory is handed down to its children, and
// deletions that the log lists but the drive did not report are written.
#pragma once

#include "delta/editor.h"

#include <apr_pools.h>
#include <svn_error.h>

// The editor's close_edit slot: writes the whole revision.
svn_error_t *de_close_edit(void *edit_baton, apr_pool_t *pool) noexcept;

// Writes `node` and its subtree; returns the first error.
svn_error_t *delta_dump_node_recursive(de_node_baton *node);

// Sets the child's `cp_info` from its parent's: inside a resolved copy the
// child belongs to the copy when its path exists below the copy source.
svn_error_t *delta_propagate_copy(de_node_baton *parent, de_node_baton *child);
