// Name obfuscation: with SF_OBFUSCATE set, every path component that enters
// the program is replaced by a random lowercase word (the same word for the
// same name all run long, distinct words for distinct names), and authors
// and log messages by fresh random words. Texts, property names and values,
// dates and revision numbers pass unchanged.
//
// The `obfuscator` owns the tables, which live in its pool and only grow:
// `obfuscated_names` maps a component name as it came in to its word;
// `used_words` holds every word handed out for a component name, keyed by
// the word, with the real name as its value so that an obfuscated path can
// be turned back into the one the server knows (`obfuscate_reveal_path`).
// The words come from the process's `rand`, which the front end seeds once
// at start-up.
#pragma once

#include <apr_hash.h>
#include <apr_pools.h>

// One instance for the run (a member of the repository session).
struct obfuscator {
  bool enabled = false;                   // --obfuscate
  apr_pool_t *pool = nullptr;             // holds names and words
  apr_hash_t *obfuscated_names = nullptr; // real component -> word
  apr_hash_t *used_words = nullptr;       // word -> real component
};

// Makes the two empty tables in `pool`, which must outlive the obfuscator;
// obfuscation stays off until `enabled` is set.
void obfuscator_init(obfuscator *obf, apr_pool_t *pool);

// Null for null; `path` itself when obfuscation is off; otherwise the
// obfuscated path in `pool` (a single component may be the word itself,
// which lives in the obfuscator's pool). Every component is mapped by
// name, so "trunk/x" and "branches/b/x" end in the same word; a leading
// slash is kept; "" yields "" and a path ending in a slash yields "" (its
// names before the slash are still mapped).
const char *obfuscate_path(obfuscator *obf, apr_pool_t *pool, const char *path);

// Null for null; `text` itself when obfuscation is off; otherwise a fresh
// random word in `pool`, recorded nowhere (two equal texts get independent
// words).
const char *obfuscate_text(const obfuscator *obf, apr_pool_t *pool, const char *text);

// The inverse of obfuscate_path for the server's sake: each component that
// is a word handed out for a name is replaced by that name, any other
// component is kept. Returns `path` itself when obfuscation is off or the
// path is null; otherwise a new string in `pool`.
const char *obfuscate_reveal_path(const obfuscator *obf, apr_pool_t *pool,
                                  const char *path);

// A new NUL-terminated word of lowercase letters (never a z) in `pool`,
// drawn with `rand`: 3 to 10 letters, with letter frequencies close to
// English text. With `used` given, a word already in it is drawn again,
// each retry allowing one more letter, and the word returned is entered
// into `used` (key and value both the word in `pool`).
char *random_word(apr_pool_t *pool, apr_hash_t *used);

// Splits `path` at its last slash into the directory part (*dir) and the
// base name (*base), both new copies in `pool`: no slash gives "" and the
// path; "/" gives "/" and "/"; "/x" gives "/" and "x"; "a/" gives "a" and "".
void path_split(apr_pool_t *pool, const char *path, const char **dir,
                const char **base);

// `dir` and `name` joined by one slash, in `pool`; no slash is added when
// `dir` ends in one or `name` begins with one. `dir` is not empty.
const char *path_join(apr_pool_t *pool, const char *dir, const char *name);
