// The text store: for every file of the dumped tree, the temporary file that
// holds its current full text (under "<temp_dir>/td/"), and the digest of the
// text last written to the dump for its path with the local revision that
// wrote it. The driver owns one store for the run and hands it to the editor
// of every revision.
//
// Both tables are heap string hashes (util/rhash.h) in the store's pool; a
// clean-up on that pool empties them. The temporary files themselves go with
// the temporary directory.
#pragma once

#include "util/rhash.h"

#include <apr_pools.h>
#include <svn_types.h>

// The digest of the text last written for a path, and the local revision
// whose node record wrote it.
struct md5_entry {
  unsigned char digest[16];
  svn_revnum_t local_rev;
};

struct text_store {
  rhash *texts = nullptr;   // path -> name of its full-text file
  rhash *digests = nullptr; // path -> md5_entry
};

// Makes an empty store in `pool` and registers its clean-up there.
text_store *text_store_create(apr_pool_t *pool);

// The file holding the current text of `path`, or null.
const char *text_store_file(const text_store *ts, const char *path);

// Makes `file` the current text of `path` (copied), or forgets it (null).
void text_store_set_file(text_store *ts, const char *path, const char *file);

// The digest last written for `path`, or null.
const md5_entry *text_store_digest(const text_store *ts, const char *path);

// Records `digest` as written for `path` by the local revision `local_rev`.
void text_store_set_digest(text_store *ts, const char *path,
                           const unsigned char *digest, svn_revnum_t local_rev);

// Forgets the digest of `path`.
void text_store_forget_digest(text_store *ts, const char *path);

// Forgets the digests of the paths strictly below `path`: the loader's
// copies of them are gone with the path. `pool` is scratch for the walk.
void text_store_forget_digests_below(text_store *ts, const char *path,
                                     apr_pool_t *pool);

// Removes the text files of the paths strictly below `path` and forgets
// them, calling `each` (when given) with every such path before it is
// forgotten. `owner` names the caller in debug lines. `pool` is scratch.
void text_store_drop_files_below(text_store *ts, const char *path,
                                 const char *owner,
                                 void (*each)(const char *path, void *baton),
                                 void *baton, apr_pool_t *pool);
