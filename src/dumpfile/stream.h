// The dump stream writer: every byte of a dump goes through this module. It
// lays out the stream's head, revision and padding records, the directory
// records for --prefix and node records, each from a plain description of
// the record, and writes them to the `svn_stream_t` it is given. Every
// length of a record is worked out before its first header line is written.
//
// The stream (Subversion's dump format, version 2 or 3):
//
//   SVN-fs-dump-format-version: <2|3>\n\n
//   UUID: <uuid>\n\n                  whole repository, no --prefix only
//   then per revision:
//   Revision-number: <local rev>\n
//   Prop-content-length: <P>\n
//   Content-length: <P>\n\n
//   <set entries of the revision properties>PROPS-END\n\n   (P > 0)
//   then that revision's node records:
//   Node-path: <prefix><path>\n
//   Node-kind: file|dir\n                   (not for a deletion)
//   Node-action: add|change|delete|replace\n
//   Node-copyfrom-rev: <local rev>\n        (a copy)
//   Node-copyfrom-path: <prefix><path>\n    (a copy)
//   Prop-delta: true\n                      (a property difference)
//   Prop-content-length: <P>\n              (a property block follows)
//   Text-delta: true\n                      (the text is an svndiff)
//   Text-content-length: <T>\n              (a text follows)
//   Text-content-md5: <32 hex digits>\n     (a text follows)
//   Content-length: <P + T>\n\n             (not for a deletion)
//   <property block><text>\n\n
//   A deletion is its path and action lines and "\n\n" after the empty
//   line that closes them.
//
// Property entries:
//   set entry            "K <n>\n<name>\nV <m>\n<value>\n"
//   set entry, no value  "K <n>\n<name>\nV 0\n\n"
//   deletion entry       "D <n>\n<name>\n"         (format version 3 only)
//   terminator           "PROPS-END\n"             (10 bytes)
// Every length counts bytes. A value is written with all of its counted
// bytes, NUL bytes included: nothing is cut at a NUL.
//
// P of a revision record is the sum of its set entries, plus 10 for the
// terminator when that sum is above 0; a revision without properties has
// P = 0 and no property block at all. A padding revision carries only
// svn:log "This is an empty revision for padding.", so P is always 66.
#pragma once

#include <apr_file_io.h>
#include <apr_hash.h>
#include <apr_pools.h>
#include <svn_error.h>
#include <svn_io.h>
#include <svn_string.h>
#include <svn_types.h>

#include <cstddef>
#include <string>
#include <vector>

// The property block terminator and its length.
inline constexpr const char PROPS_END[] = "PROPS-END\n";
inline constexpr std::size_t PROPS_END_LENGTH = sizeof(PROPS_END) - 1;

// A property as a record carries it: a null value is written as the set
// entry with no value.
struct dumpfile_prop {
  const char *name;
  const svn_string_t *value;
};

// The plan of one node record: everything the writer needs, with every
// path as it appears in the stream (the prefix already in front).
struct node_record {
  const char *path = nullptr;
  char action = 'A';                     // 'A' add, 'M' change, 'D' delete,
                                         // 'R' replace by a new node
  svn_node_kind_t kind = svn_node_none;  // file or dir; none for 'D'
  const char *copyfrom_path = nullptr;   // a copy: its source
  svn_revnum_t copyfrom_rev = 0;         // a copy: its local revision
  bool with_props = false;               // a property block follows
  bool prop_delta = false;               // ... naming a difference
  std::vector<dumpfile_prop> props;      // set entries, in this order
  std::vector<const char *> prop_deletions; // deletion entries (prop_delta)
  const char *text_file = nullptr;       // a text follows: the file holding
                                         // it (full, or an svndiff)...
  const svn_string_t *text_data = nullptr; // ... or the text itself
  bool text_delta = false;               // the text is an svndiff
  bool has_md5 = false;                  // Text-content-md5 is written
  unsigned char md5[16] = {};            // digest of the full text
};

// The properties of `props` (names to svn_string_t *) in the order the
// stream writes them, by name, leaving out the names that `skip` (may be
// null) holds. The entries point into `props`; `pool` is scratch.
std::vector<dumpfile_prop> dumpfile_sorted_props(apr_hash_t *props,
                                                 apr_hash_t *skip,
                                                 apr_pool_t *pool);

// Byte length of the set entry for `name` and `value` (the set entry with no
// value when `value` is null); 0 when `name` is null. Equals, to the byte,
// what dumpfile_append_prop writes for the same arguments.
std::size_t prop_entry_length(const char *name, const svn_string_t *value);

// Byte length of the deletion entry for `name`; 0 when `name` is null.
std::size_t prop_delete_length(const char *name);

// Appends the set entry (or the set entry with no value when `value` is
// null) to `out`; nothing when `name` is null.
void dumpfile_append_prop(std::string *out, const char *name,
                          const svn_string_t *value);

// Appends the deletion entry for `name`; nothing when `name` is null.
void dumpfile_append_prop_delete(std::string *out, const char *name);

// Writes the stream header "SVN-fs-dump-format-version: N" and an empty line.
svn_error_t *dumpfile_write_header(svn_stream_t *out, int format_version);

// Writes the UUID record "UUID: <uuid>" and an empty line.
svn_error_t *dumpfile_write_uuid(svn_stream_t *out, const char *uuid);

// Writes a revision record numbered `local_rev` with `props` in their order.
svn_error_t *dumpfile_write_revision(svn_stream_t *out, svn_revnum_t local_rev,
                                     const std::vector<dumpfile_prop> &props);

// Writes the padding revision record numbered `local_rev` (both lengths 66).
svn_error_t *dumpfile_write_padding(svn_stream_t *out, svn_revnum_t local_rev);

// Writes the directory record "Node-path: <path>", "Node-kind: dir",
// "Node-action: add" and an empty line, with no property block.
svn_error_t *dumpfile_write_prefix_dir(svn_stream_t *out, const char *path);

// Checks the --prefix text and sets *normalised to it in `pool` as every
// path of the stream will begin with it: its components joined by single
// slashes, with one slash at the end ("a//b" and "a/b/" both give "a/b/"),
// or null when it has no component. A component "." or "..", a control
// character or text that is not UTF-8 makes no repository path: such a
// prefix is refused with an error that names it.
svn_error_t *dumpfile_normalise_prefix(const char **normalised,
                                       const char *prefix, apr_pool_t *pool);

// Writes one directory record for every component of the normalised
// `prefix`, outermost first ("a/b/" gives "a" and "a/b").
svn_error_t *dumpfile_write_prefix_dirs(svn_stream_t *out, const char *prefix,
                                        apr_pool_t *pool);

// The records that open a revision, written together with its node records
// once the server has sent the whole revision: padding revisions, then the
// revision record; the directories of the prefix follow the record
// numbered 1.
struct revision_head {
  std::vector<svn_revnum_t> paddings;
  bool with_record = false;           // false for a replay without output
  svn_revnum_t local_rev = 0;
  svn_revnum_t repos_rev = 0;         // the repository's number for it
  std::vector<dumpfile_prop> props;   // the revision record's properties
  const char *prefix = nullptr;       // normalised, or null
};

// Writes `head`.
svn_error_t *dumpfile_write_head(svn_stream_t *out, const revision_head &head,
                                 apr_pool_t *pool);

// Whether a text follows the record's properties.
inline bool
dumpfile_has_text(const node_record &rec) {
  return rec.text_file || rec.text_data;
}

// Writes the node record `rec`, its text copied from `rec.text_file`
// without holding it in memory, or from `rec.text_data`. A file's length is
// taken from the file system before anything is written ("Cannot stat %s"
// when that fails). Scratch memory comes from `pool`.
svn_error_t *dumpfile_write_node(svn_stream_t *out, const node_record &rec,
                                 apr_pool_t *pool);

// Standard output as the dump's stream: descriptor 1 through a buffered APR
// file, which the stream does not close, and where the last complete
// revision ends. A revision reaches the descriptor when it is committed, or
// earlier in parts when it outgrows the buffer; after a failure a regular
// file is cut back to the last complete revision (a pipe cannot be), and
// nothing buffered is written.
struct dumpfile_output {
  apr_file_t *file = nullptr;
  svn_stream_t *stream = nullptr;
  bool regular = false;    // descriptor 1 is a regular file
  apr_off_t complete = 0;  // its size at the last commit
  bool header = false;     // the stream's head has been committed
  svn_revnum_t last_repos_rev = -1; // the last revision written completely,
  svn_revnum_t last_local_rev = -1; // in both numberings (-1: none)
};

// Opens standard output as `*output`, in `pool`.
svn_error_t *dumpfile_open_stdout(dumpfile_output *output, apr_pool_t *pool);

// Writes out what the output has buffered; a failed write is an error. An
// output without a file (null, or a stream of another kind) has nothing to
// flush.
svn_error_t *dumpfile_flush(dumpfile_output *output);

// Flushes and records the end of a complete revision (-1 for the stream's
// head) as the point a failure cuts back to.
svn_error_t *dumpfile_commit(dumpfile_output *output, svn_revnum_t repos_rev,
                             svn_revnum_t local_rev);

// After a failure: cuts a regular file back to the end of the last
// committed revision. Returns false when that fails.
bool dumpfile_rollback(dumpfile_output *output);
