// The text store: every full text and svndiff the dump needs, and for every
// file of the dumped tree the text it holds now and the digest of the text
// last written to the dump for its path with the local revision that wrote
// it. The driver owns one store for the run and hands it to the editor of
// every revision.
//
// Texts are content-addressed: once a text is complete it is looked up by
// its MD5 digest and length (and compared byte for byte), and paths with the
// same content (a copied tree, a reverted file) share one stored text under
// one short name, counted by reference and removed
// when nothing refers to it. A small text is kept in memory (up to a budget
// for all of them), a larger one in a file under "<temp_dir>/td/".
//
// The path tables are ordered by path, so that the paths below a directory
// are one contiguous run: forgetting them costs what they hold, not what the
// tree holds. The store lives in the pool given at creation (a clean-up
// there frees it and removes its files).
#pragma once

#include <apr_pools.h>
#include <svn_io.h>
#include <svn_types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

// The digest of the text last written for a path, and the local revision
// whose node record wrote it.
struct md5_entry {
  unsigned char digest[16];
  svn_revnum_t local_rev;
};

// One stored text: in memory, or in `file`.
struct stored_text {
  std::string data;
  std::string file; // empty while in memory
  std::uint64_t size = 0;
  unsigned refs = 0;
  bool sealed = false;   // filed under its content, with a lasting name
  bool complete = false; // its writer is closed
  unsigned char md5[16] = {};
  std::string content_name; // once complete: its key in `by_content`
};

struct text_store {
  std::string temp_dir;
  std::map<std::string, std::string> texts; // path -> name of its text
  std::map<std::string, md5_entry> digests; // path -> digest last written
  std::unordered_map<std::string, stored_text> stored; // name -> text
  // The digest and length of a sealed text ("<md5>:<length>") -> its name.
  std::unordered_map<std::string, std::string> by_content;
  std::uint64_t next_id = 0; // for the names of texts being written
  std::size_t memory = 0;    // bytes of the texts held in memory
  std::size_t memory_budget = 8 << 20;
  std::size_t memory_text_limit = 256 << 10; // larger texts go to files
};

// Makes an empty store in `pool` whose files go below `temp_dir`, and
// registers its clean-up there.
text_store *text_store_create(apr_pool_t *pool, const char *temp_dir);

// Starts a new text: *name (in `pool`) names it from now on, with one
// reference, and *stream (in `pool`) writes it; the text is complete when
// the stream is closed. Only a `sealable` text gets a digest and can be
// shared (an svndiff never is).
svn_error_t *text_store_new_text(text_store *ts, svn_stream_t **stream,
                                 const char **name, apr_pool_t *pool,
                                 bool sealable = true);

// Files the complete text `name` under its content (the digests of what
// was written) and returns its lasting name in `pool`: a text with the
// same content that is stored already takes the reference, and this one
// goes.
const char *text_store_seal(text_store *ts, const char *name, apr_pool_t *pool);

// Opens the text `name` for reading, in `pool`.
svn_error_t *text_store_read(text_store *ts, const char *name,
                             svn_stream_t **stream, apr_pool_t *pool);

// Where the text `name` is: *file names its file, or *data (valid while the
// text is stored) holds it; *size is its length. Fails when it is not
// stored.
svn_error_t *text_store_locate(const text_store *ts, const char *name,
                               const char **file, svn_string_t *data,
                               svn_filesize_t *size);

// The MD5 digest of the sealed text `name` into `digest`; false when the
// text is not stored or not sealed.
bool text_store_text_md5(const text_store *ts, const char *name,
                         unsigned char *digest);

// Adds a reference to the text `name`.
void text_store_ref(text_store *ts, const char *name);

// Drops a reference to the text `name` (null is ignored); the text goes
// with its last one.
void text_store_unref(text_store *ts, const char *name);

// The name of the current text of `path`, or null. The name stays valid
// until the path's text is set again or forgotten.
const char *text_store_file(const text_store *ts, const char *path);

// Makes `name` the current text of `path` (the path takes over the caller's
// reference), or forgets it (null). The reference of the text the path had
// is handed back through *previous when given (the caller then drops it),
// else dropped.
void text_store_set_file(text_store *ts, const char *path, const char *name,
                         std::string *previous = nullptr);

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

// Drops the texts of the paths strictly below `path` and forgets them,
// calling `each` (when given) with every such path before it is forgotten.
// `owner` names the caller in debug lines. `pool` is scratch.
void text_store_drop_files_below(text_store *ts, const char *path,
                                 const char *owner,
                                 void (*each)(const char *path, void *baton),
                                 void *baton, apr_pool_t *pool);
