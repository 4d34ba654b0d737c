// The node dumper: turns one node record of the revision being written into
// node records of the dump stream (header lines, property block and text),
// computing svndiff texts in deltas mode and copying texts from their
// temporary files to standard output without holding them in memory.
#pragma once

#include "delta/editor.h"

#include <svn_error.h>

// Writes the node's record(s) if it needs any, registers written nodes in
// `dumped_nodes` and records the digests of written files in `md5_hash`.
// May change the node's `action` and `cp_info`. A second call on the same
// node writes nothing. On an error the record may be partly written.
svn_error_t *delta_dump_node(de_node_baton *node);

// Writes the svndiff (version 0) that turns `base` (or an empty text when
// null) into the node's new text `text` into a new "df/" file, named in
// `delta_filename`.
svn_error_t *delta_deltify_node(de_node_baton *node, const char *base,
                                const char *text);
