// The delta editor: receives one revision's changes from the server as a tree
// of node records and, at the close of the edit, writes that revision's node
// records to the dump stream.
//
// While the server drives it, the editor writes nothing. It builds, in the
// revision's pool, one `de_node_baton` per path that the drive touches, and
// keeps three stores up to date that outlive the revision:
//   - the text store: node path to the stored text that is the file's
//     current full text; every text delta is applied to that text into a
//     new stored text;
//   - the property storage: an opened node takes its properties out of it,
//     and a closed node puts its properties back;
//   - the path repository: it is told about every added and deleted path.
// `md5_hash` maps each file path to the digest of the text last written for
// it, with the local revision that wrote it (`md5_entry`).
//
// Every path the editor receives goes through `obfuscate_path` first, so
// node paths have the form of the keys of the log's changed-path table.
#pragma once

#include "dumpfile/dump_options.h"
#include "dumpfile/stream.h"
#include "history/revision_map.h"
#include "repos/log.h"
#include "repos/session.h"

#include <apr_hash.h>
#include <apr_pools.h>
#include <apr_tables.h>
#include <svn_delta.h>

#include <cstdint>

struct text_store;       // delta/text_store.h
struct delta_queue;      // delta/node_dumper.h
struct path_repo;        // history/path_repo.h
struct property_storage; // props/property_storage.h

// What the editor factory needs: the stores that outlive a revision, owned
// by the driver.
struct dump_context {
  session *sess = nullptr;
  dump_options *opts = nullptr;
  path_repo *prepo = nullptr;
  property_storage *props = nullptr;
  revision_map *revs = nullptr;
  text_store *texts = nullptr;
  svn_stream_t *out = nullptr;        // the dump stream
  dumpfile_output *output = nullptr;  // flushed when a revision is written
};

// The editor's mode for one revision: DF_INITIAL_DRY_RUN replays the base
// revision of an incremental dump without writing anything and without
// telling the path repository.
inline constexpr std::uint32_t DF_INITIAL_DRY_RUN = 0x08;

// Copy-information states of a node. Bit 0x04 marks both failure states.
enum : std::int32_t {
  CPI_NONE = 0x01,         // no copy information
  CPI_COPY = 0x02,         // a resolved copy, or inside one
  CPI_FAILED = 0x04,       // the copy source has no local revision
  CPI_OUT_OF_SCOPE = 0x14, // source outside the subtree or before the range
};

struct de_node_baton;

// The edit baton, one per revision, allocated in the pool given to
// `delta_get_editor`.
struct de_baton {
  session *sess = nullptr;
  dump_options *opts = nullptr;
  revision_map *revs = nullptr;       // the log entries in dump order
  log_revision *logrev = nullptr;     // the revision being replayed
  apr_pool_t *pool = nullptr;         // editor pool; holds the node tree
  apr_hash_t *dumped_nodes = nullptr; // path -> de_node_baton written here
  svn_revnum_t local_revnum = 0;      // number of this revision in the dump
  de_node_baton *root_node = nullptr;
  path_repo *prepo = nullptr;
  property_storage *props = nullptr;
  text_store *texts = nullptr;
  svn_stream_t *out = nullptr;        // the dump stream
  dumpfile_output *output = nullptr;  // flushed when the revision is written
  const revision_head *head = nullptr; // written before the node records
  delta_queue *queue = nullptr;        // the planned node records
  // Paths that the drive sends as new nodes although the log replaces them
  // (see delta_replaced_paths); null when none.
  const apr_array_header_t *replaced = nullptr;
  bool dry_run = false; // DF_INITIAL_DRY_RUN: nothing is written
};

// A node record: the editor's directory and file baton. Allocated in its
// parent's pool; owns a subpool of it for its strings and tables.
struct de_node_baton {
  de_baton *de = nullptr;
  apr_pool_t *pool = nullptr;
  const char *path = nullptr;           // subtree-relative; the root is "/"
  // Names of texts in the text store:
  const char *filename = nullptr;       // the new full text
  const char *old_filename = nullptr;   // the full text before this revision
  const char *delta_filename = nullptr; // the svndiff, deltas mode
  char action = 'M';                    // 'A', 'D', 'M' or 'R'
  svn_node_kind_t kind = svn_node_none;
  apr_hash_t *properties = nullptr;     // name -> svn_string_t *
  apr_hash_t *del_properties = nullptr; // names deleted in this revision
  unsigned char md5sum[16] = {};        // digest of the new full text
  const char *copyfrom_path = nullptr;  // as the log reports it
  svn_revnum_t copyfrom_rev = 0;        // repository numbering
  svn_revnum_t copyfrom_rev_local = 0;  // dump numbering
  std::int32_t cp_info = CPI_NONE;
  bool applied_delta = false;
  bool dump_needed = false;
  bool props_changed = false;
  // The log lists the path in this revision (its action and copy source
  // are the log's).
  bool in_log = false;
  // Made by an open: the drive compares the path with its old self, so
  // what arrives below it is relative to the old node.
  bool opened = false;
  de_node_baton *parent = nullptr;
  apr_array_header_t *children = nullptr; // of de_node_baton *
};

// Makes the editor table and edit baton for the revision `logrev`, numbered
// `local_rev` in the dump, in `pool` (the revision's pool). `mode` is 0 or
// DF_INITIAL_DRY_RUN. `head` (or null) is written with the node records
// when the drive has ended. `replaced` (or null) lists the paths that the driver
// reports to the server as missing (delta_replaced_paths): the editor forgets
// their old nodes when the drive starts, and the whole new node arrives.
svn_error_t *delta_get_editor(const svn_delta_editor_t **editor,
                              void **edit_baton, dump_context *ctx,
                              log_revision *logrev, svn_revnum_t local_rev,
                              std::uint32_t mode,
                              const apr_array_header_t *replaced,
                              const revision_head *head, apr_pool_t *pool);

// The paths (const char *, subtree-relative, in `pool`) that the log of
// `logrev` lists as replaced, ascending, leaving out those below a path
// that the log lists as added or replaced; only "" when the subtree root
// itself is replaced. The
// server's diff ignores ancestry and would send a replaced node as changes
// of the old one; reported as missing, the new node arrives whole, so that
// the dump deletes the old node and adds the new one in full.
apr_array_header_t *delta_replaced_paths(const log_revision *logrev,
                                         apr_pool_t *pool);

// The log's record for `path` in the revision of `de`, or null when the log
// does not list the path.
const svn_log_changed_path2_t *delta_logged_change(const de_baton *de,
                                                  const char *path);

// Makes a node of `de` for `path` that belongs to no tree: allocated in
// `pool`, with a subpool of it for the node's own strings and tables (the
// path is copied there); action 'M', kind none, no copy information.
de_node_baton *delta_new_node(de_baton *de, apr_pool_t *pool, const char *path);

// Makes a node below `parent` for `path` (copied into the node's pool) with
// the parent's copy state; the caller sets action and kind.
de_node_baton *delta_create_node(de_node_baton *parent, const char *path);
