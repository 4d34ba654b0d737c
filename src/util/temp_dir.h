// The private temporary directory of a run: made under TMPDIR (or /tmp) with
// mode 0700, and removed with everything in it.
#pragma once

#include "util/apr_glue.h"

#include <apr_pools.h>

#include <string>

// Creates "$TMPDIR/vornhaldXXXXXX" (or "/tmp/vornhaldXXXXXX"), canonicalised,
// with mode 0700, and stores its path in *path. Fails with "Unable to create
// temporary directory." (the code is the system's error), *path then
// empty. `pool` is scratch.
vh::Error temp_dir_make(apr_pool_t *pool, std::string *path);

// Deletes the contents of `path` recursively and, when `remove_self`, the
// directory itself. Symbolic links are removed, never followed. Errors are
// ignored.
void remove_tree(apr_pool_t *pool, const char *path, bool remove_self);
