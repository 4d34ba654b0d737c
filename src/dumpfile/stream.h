// The dump stream writers: every byte that reaches standard output during a
// dump goes through this module. It owns the layout of the stream's head, of
// revision and padding records, of the directory records for --prefix, of
// property entries, and the order in which buffered header text and
// unbuffered node texts are interleaved.
//
// The stream (Subversion's dump format, version 2 or 3):
//
//   SVN-fs-dump-format-version: <2|3>\n\n
//   UUID: <uuid>\n\n                  whole repository, no --prefix only
//   then per revision:
//   Revision-number: <local rev>\n
//   Prop-content-length: <P>\n
//   Content-length: <P>\n\n
//   <set entries of svn:log, svn:author, svn:date>PROPS-END\n\n   (P > 0)
//   then that revision's node records (written by the node dumper).
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
// terminator when that sum is above 0; a revision without log, author and
// date has P = 0 and no property block at all. A padding revision carries
// only svn:log "This is an empty revision for padding.", so P is always 66.
//
// Header text, property blocks and closing line feeds go through stdio's
// buffered standard output; node texts are copied to descriptor 1 through an
// unbuffered Subversion stream, with standard output flushed before and
// after, so the bytes always appear in stream order, even on a pipe.
#pragma once

#include <apr_pools.h>
#include <svn_error.h>
#include <svn_string.h>
#include <svn_types.h>

#include <cstddef>

// The property block terminator and its length.
inline constexpr const char PROPS_END[] = "PROPS-END\n";
inline constexpr std::size_t PROPS_END_LENGTH = sizeof(PROPS_END) - 1;

// Byte length of the set entry for `name` and `value` (the set entry with no
// value when `value` is null); 0 when `name` is null. Equals, to the byte,
// what write_prop_entry writes for the same arguments.
std::size_t prop_entry_length(const char *name, const svn_string_t *value);

// Byte length of the deletion entry for `name`; 0 when `name` is null.
std::size_t prop_delete_length(const char *name);

// Writes the set entry (or the set entry with no value when `value` is null)
// to buffered standard output; nothing when `name` is null.
void write_prop_entry(const char *name, const svn_string_t *value);

// Writes the deletion entry for `name`; nothing when `name` is null.
void write_prop_delete(const char *name);

// Writes "PROPS-END\n".
void write_props_end();

// Writes the stream header "SVN-fs-dump-format-version: N" and an empty line.
void write_stream_header(int format_version);

// Writes the UUID record "UUID: <uuid>" and an empty line.
void write_uuid_record(const char *uuid);

// Writes a revision record numbered `local_rev` whose properties are svn:log
// `message`, svn:author `author` and svn:date `date`, in that order; a null
// argument leaves its property out, an empty one is written as an empty
// value.
void write_revision_record(svn_revnum_t local_rev, const char *message,
                           const char *author, const char *date);

// Writes the padding revision record numbered `local_rev` (both lengths 66).
void write_padding_record(svn_revnum_t local_rev);

// Writes the directory record "Node-path: <path>", "Node-kind: dir",
// "Node-action: add" and an empty line, with no property block.
void write_prefix_dir_record(const char *path);

// Flushes buffered standard output. A failed flush, or an earlier failed
// write on it, is returned as an error (code 1).
svn_error_t *stream_flush();

// Copies the whole file at `path` to standard output through an unbuffered
// stream, flushing the buffered standard output before and after. Scratch
// memory comes from `pool`.
svn_error_t *stream_copy_file(const char *path, apr_pool_t *pool);
