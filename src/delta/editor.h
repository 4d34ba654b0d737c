// The delta editor: receives one revision's changes from the server as a tree
// of node records and, at the close of the edit, writes that revision's node
// records to the dump stream.
#pragma once

#include "dump/driver.h"
#include "repos/log.h"

#include <apr_pools.h>
#include <svn_delta.h>

// Makes the editor table and edit baton for the revision `logrev`, numbered
// `local_rev` in the dump, in `pool` (the revision's pool).
svn_error_t *delta_get_editor(const svn_delta_editor_t **editor,
                              void **edit_baton, dump_context *ctx,
                              log_revision *logrev, svn_revnum_t local_rev,
                              apr_pool_t *pool);

// Empties the process-wide text tables after the last revision.
void delta_cleanup();
