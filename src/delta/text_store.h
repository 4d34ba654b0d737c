// The text store: for every file of the dumped tree, the temporary file that
// holds its current full text (under "<temp_dir>/td/"), and the digest of the
// text last written to the dump for its path with the local revision that
// wrote it. The driver owns one store for the run and hands it to the editor
// of every revision.
//
// Both tables are ordered by path, so that the paths below a directory are
// one contiguous run: forgetting them costs what they hold, not what the
// tree holds. The store lives in the pool given at creation (a clean-up there
// frees it); the temporary files themselves go with the temporary directory.
#pragma once

#include <apr_pools.h>
#include <svn_types.h>

#include <map>
#include <string>

// The digest of the text last written for a path, and the local revision
// whose node record wrote it.
struct md5_entry {
  unsigned char digest[16];
  svn_revnum_t local_rev;
};

struct text_store {
  std::map<std::string, std::string> texts; // path -> its full-text file
  std::map<std::string, md5_entry> digests; // path -> digest last written
};

// Makes an empty store in `pool` and registers its clean-up there.
text_store *text_store_create(apr_pool_t *pool);

// The file holding the current text of `path`, or null. The name stays valid
// until the path's file is set again or forgotten.
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
// copies of them are gone with the path. `pool` is unused scratch.
void text_store_forget_digests_below(text_store *ts, const char *path,
                                     apr_pool_t *pool);

// Removes the text files of the paths strictly below `path` and forgets
// them, calling `each` (when given) with every such path before it is
// forgotten. `owner` names the caller in debug lines. `pool` is scratch.
void text_store_drop_files_below(text_store *ts, const char *path,
                                 const char *owner,
                                 void (*each)(const char *path, void *baton),
                                 void *baton, apr_pool_t *pool);
