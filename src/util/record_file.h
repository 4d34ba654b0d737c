// Record file: an append-only store of byte records addressed by byte-string
// keys, for the path repository ("paths.db") and the property storage
// ("props.db").
//
// On-disk format. The file holds the records' bytes concatenated in the
// order in which they were written, with no header, length prefix,
// separator, key or padding. A record that is replaced (a second put under
// the same key) or removed stays in the file as dead bytes; the file only
// grows while it is open. The file carries no self-description: the
// in-memory index (key to offset and length) is the only way to find a
// record, and the file is never read by anything but its owner. It is
// created empty (truncated) at opening and unlinked at closing.
//
// What the records contain is the owner's business; keys and data are
// opaque bytes of explicit length. The record file keeps no record data in
// memory: per key, the index holds a heap copy of the key and a 16-byte
// `record_entry`.
//
// Reading records in the order in which they were written makes no seek:
// a get seeks only when the stream is not already at the record.
#pragma once

#include "util/apr_glue.h"
#include "util/rhash.h"

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

// Where a record lies in the file (the index's value, 16 bytes).
struct record_entry {
  std::int64_t offset;  // position of the record's first byte
  std::uint64_t length; // number of bytes of the record
};

// An open record file. The bookkeeping lives in the pool given at opening;
// a clean-up on that pool closes the file (as `record_file_close` does) if
// the owner has not done so.
struct record_file {
  rhash *index = nullptr;     // key bytes to record_entry (16 raw bytes)
  const char *path = nullptr; // copy in the opening pool, for the unlink
  vh::File stream;            // mode "w+"
  bool writing = false;       // last stream operation was a put: the
                              // stream is at the end, in output mode
  std::uint64_t seeks = 0;    // seeks made to read a record (for tests)
};

// Creates (or truncates) the file at `path` with mode "w+" and an empty
// index, all bookkeeping in `pool`. Returns null when the file cannot be
// opened; errno is then the one left by the failed open.
record_file *record_file_open(const char *path, apr_pool_t *pool);

// Appends `length` bytes of `data` at the end of the file and indexes them
// under the key (`key_len` -1: NUL-terminated string), replacing an older
// entry for the same key (its bytes stay in the file). Fails with the
// system's error naming the file (code APR_FROM_OS_ERROR of errno) when the
// seek or write fails; the index is then unchanged.
vh::Error record_file_put(record_file *rf, const void *key,
                          apr_ssize_t key_len, const void *data,
                          std::size_t length);

// Reads the record indexed under the key into a buffer allocated in `pool`
// (which the record file keeps no reference to) and stores its length in
// *length. Returns the buffer (non-null for a found record, even an empty
// one), or null with *length 0 when the key is absent or the record cannot
// be read back (failed seek, short read: e.g. the file was cut).
char *record_file_get(record_file *rf, const void *key, apr_ssize_t key_len,
                      apr_pool_t *pool, std::size_t *length);

// Drops the key from the index; the data bytes stay in the file. Returns 0
// in every case, also when the key was not present.
int record_file_remove(record_file *rf, const void *key, apr_ssize_t key_len);

// Returns 1 when the key is indexed, else 0.
int record_file_contains(record_file *rf, const void *key, apr_ssize_t key_len);

// Empties the index, closes the stream and unlinks the file. Fails with the
// system's error of the step that failed, naming the file (after a failed
// close the file is not unlinked). Closing an already closed record file
// succeeds. The record file must not be used afterwards except to close it
// again.
vh::Error record_file_close(record_file *rf);
