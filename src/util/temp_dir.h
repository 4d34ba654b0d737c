// The private temporary directory of a run: made under TMPDIR (or /tmp) with
// mode 0700, and removed with everything in it.
#pragma once

#include <apr_pools.h>

#include <string>

// Creates "$TMPDIR/vornhaldXXXXXX" (or "/tmp/vornhaldXXXXXX"), canonicalised,
// with mode 0700, and returns its path, or an empty string after writing
// "ERROR: Unable to create temporary directory." to standard error. `pool`
// is scratch.
std::string temp_dir_make(apr_pool_t *pool);

// Deletes the contents of `path` recursively and, when `remove_self`, the
// directory itself. Symbolic links are removed, never followed. Errors are
// ignored.
void remove_tree(apr_pool_t *pool, const char *path, bool remove_self);
