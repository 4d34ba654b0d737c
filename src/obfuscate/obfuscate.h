// Name obfuscation: with SF_OBFUSCATE set, every path component that enters
// the program is replaced by a random lowercase word (the same word for the
// same name all run long, distinct words for distinct names), and authors
// and log messages by fresh random words. Texts, property names and values,
// dates and revision numbers pass unchanged. The tables live in the session.
#pragma once

#include "repos/session.h"

#include <apr_pools.h>

// Null for null; `path` itself when SF_OBFUSCATE is clear; otherwise the
// obfuscated path in `pool` (a single component may be the word itself,
// which lives in the session's root pool).
const char *obfuscate_path(session *sess, apr_pool_t *pool, const char *path);

// Null for null; `text` itself when SF_OBFUSCATE is clear; otherwise a fresh
// random word in `pool`.
const char *obfuscate_text(session *sess, apr_pool_t *pool, const char *text);
