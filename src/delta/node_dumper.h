// The node dumper: decides what the dump writes for one node record of the
// revision being written, as a plan of zero, one or two node records (the
// deletion and the add of a replace), and writes that plan through the
// stream writer. Texts are never held in memory: with --deltas the svndiff
// is computed from file to file, and the writer copies texts from files.
#pragma once

#include "delta/editor.h"
#include "dumpfile/stream.h"

#include <svn_error.h>

#include <vector>

// What the dump writes for one node.
struct node_plan {
  std::vector<node_record> records; // in stream order
  // The node's full text and its digest, which the loader holds for the
  // path once the records are written (has_digest false: no text known).
  bool has_digest = false;
  unsigned char digest[16] = {};
};

// Decides the node's records. May change the node's `action` and
// `cp_info` (copy-source resolution), clears `dump_needed` when nothing is
// to be written, and with --deltas makes the svndiff file of the text. A
// node whose `dump_needed` is clear gets an empty plan. Fails only when the
// path repository cannot answer or the svndiff cannot be made.
svn_error_t *delta_plan_node(de_node_baton *node, node_plan *plan);

// Plans the node and queues its records for the end of the revision, then
// registers a written node in `dumped_nodes` and records the digest of a
// written file in the text store. A second call on the same node queues
// nothing.
svn_error_t *delta_dump_node(de_node_baton *node);

// The node records of one revision, in the order they are written.
struct delta_queue;

// Makes an empty queue in `pool` (a clean-up there frees it).
delta_queue *delta_queue_make(apr_pool_t *pool);

// Writes the revision's head and its queued records to the dump stream,
// then removes the svndiff files that were written. `pool` is scratch.
svn_error_t *delta_write_queue(de_baton *de, apr_pool_t *pool);

// Writes the svndiff (version 0) that turns `base` (or an empty text when
// null) into the node's new text `text` into a new "df/" file, named in
// `delta_filename`.
svn_error_t *delta_deltify_node(de_node_baton *node, const char *base,
                                const char *text);
