// Copy-source resolution: whether a copy that the log reports can be written
// as a copy in this dump (its source must lie inside the dumped subtree and
// inside the dumped range), from which revision of the dump's own
// numbering (through the revision map), and whether a change or replace
// must be written as an add because its path did not exist where the dump
// looks for it.
#pragma once

#include "delta/editor.h"

#include <svn_error.h>
#include <svn_types.h>

// Settles the node's `cp_info` (and, for a resolved copy,
// `copyfrom_rev_local`). Never fails.
void delta_check_copy(de_node_baton *node);

// Turns a change or replace into an add when its path did not exist in the
// dumped tree where the loader will look for it. Fails only when the path
// repository cannot rebuild the tree it is asked about.
svn_error_t *delta_check_action(de_node_baton *node);
