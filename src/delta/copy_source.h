// Copy-source resolution: whether a copy that the log reports can be written
// as a copy in this dump (its source must lie inside the dumped subtree and
// inside the dumped range), from which revision of the dump's own
// numbering, and whether a change or replace must be written as an add
// because its path did not exist where the dump looks for it.
#pragma once

#include "delta/editor.h"
#include "frontend/options.h"

#include <apr_tables.h>
#include <svn_error.h>
#include <svn_types.h>

// Translates the repository revision `copyfrom_rev` into the dump's
// numbering: with DF_KEEP_REVNUMS the revision itself; otherwise the local
// number of the latest entry of `logs` (the last entry, the revision being
// dumped, excluded) whose revision is not above `copyfrom_rev`. A list whose
// first entry is not revision 0 (a whole-repository dump that starts above
// 0, where the first dumped revision is numbered 1) numbers its entries from
// 1, every other list from 0. Negative when no entry qualifies.
// `local_revnum` is only shown in debug lines.
svn_revnum_t find_local_revision(svn_revnum_t copyfrom_rev,
                                 const dump_options *opts,
                                 const apr_array_header_t *logs,
                                 svn_revnum_t local_revnum);

// Settles the node's `cp_info` (and, for a resolved copy,
// `copyfrom_rev_local`). Never fails.
void delta_check_copy(de_node_baton *node);

// Turns a change or replace into an add when its path did not exist in the
// dumped tree where the loader will look for it. Fails only when the path
// repository cannot rebuild the tree it is asked about.
svn_error_t *delta_check_action(de_node_baton *node);
