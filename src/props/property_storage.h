// Property storage: the versioned properties of every node of the dumped
// tree, carried from one revision to the next so that the delta editor can
// tell which properties a node had before the current revision changed
// some of them.
//
// Only digests, counts and references live in memory; the property sets
// live on disk in "props.db", each distinct serialised set once. Every node
// path that has exactly a given set holds a counted reference to it. A node
// gives up its reference when its properties are loaded (on open) or
// deleted; `property_storage_cleanup`, run after every revision, forgets
// the sets that no node refers to any more.
//
// "props.db" is a record file (util/record_file.h): one record per
// distinct property set, keyed by the 16-byte MD5 digest of its serialised
// form, holding that form compressed as one snappy raw block. A forgotten
// set's bytes stay in the file as dead bytes. Serialised form, integers 32
// bits in host byte order (the file is only read back by the process that
// wrote it), for each property in the property hash's iteration order:
//
//   name length L (4 bytes), name (L bytes, no NUL),
//   value length V (4 bytes), value (V bytes, may contain NUL bytes)
//
// followed by a 4-byte zero. Equal sets whose hashes yield their entries
// in different orders serialise differently and are stored twice.
//
// The storage lives in its own pool, a child of the creator's; destroying
// or clearing that pool frees every record and reference and closes and
// unlinks "props.db".
#pragma once

#include "util/apr_glue.h"
#include "util/record_file.h"

#include <apr_hash.h>
#include <apr_pools.h>

#include <cstdint>

// One distinct property set (heap record, owned by `records`).
struct prop_record {
  unsigned char digest[16]; // MD5 of the serialised set; its key everywhere
  std::int32_t refcount;    // node paths that refer to this set
};

// A node's reference to its property set (heap record, owned by
// `references`).
struct prop_reference {
  char *path;          // heap copy of the node path; the key in `references`
  prop_record *record; // the set this node has
};

struct property_storage {
  apr_pool_t *pool;         // own pool; the destruction is registered on it
  apr_hash_t *records;      // 16 digest bytes to prop_record *
  apr_hash_t *references;   // node path to prop_reference *
  record_file *db;          // "props.db"
  apr_hash_t *unreferenced; // digest to prop_record *: counts that fell
                            // to zero or below since the last clean-up
};

// Creates the storage with "props.db" in `temp_dir`, in a child of `pool`,
// and stores it in *ps. Fails with "Error creating property storage: out of
// memory" or "Error creating path database (REASON)" (the words of earlier
// versions, although the file holds properties); *ps is then null.
vh::Error property_storage_create(const char *temp_dir, apr_pool_t *pool,
                                  property_storage **ps);

// Records that node `path` now has exactly the properties in `props`
// (const char * names to svn_string_t * values); an empty hash drops the
// node's reference and writes nothing. Scratch buffers come from `pool`.
// Fails with a message naming the node (the storage should not be used
// again).
vh::Error property_storage_store(property_storage *ps, const char *path,
                                 apr_hash_t *props, apr_pool_t *pool);

// Adds the node's stored properties to `props` (names and values allocated
// in `pool`, a name already present is overwritten) and gives up the
// node's reference. Succeeds also when nothing is stored for the node
// (`props` is then untouched). Fails, naming the node, when the stored
// bytes cannot be read back, are corrupt or cannot be decompressed (`props`
// is then untouched and the node keeps its reference).
vh::Error property_storage_load(property_storage *ps, const char *path,
                                apr_hash_t *props, apr_pool_t *pool);

// Gives up the node's reference, if any.
void property_storage_delete(property_storage *ps, const char *path);

// Forgets the sets that nobody refers to (their bytes stay in "props.db"
// as dead bytes).
vh::Error property_storage_cleanup(property_storage *ps, apr_pool_t *pool);
