// The options record shared by the whole run, the dump flags, and the
// command-line helpers of the front end.
#pragma once

#include <apr_pools.h>
#include <svn_types.h>

#include <cstdint>

enum : std::uint32_t {
  DF_USE_DELTAS = 0x01,
  DF_KEEP_REVNUMS = 0x02,
  DF_INCREMENTAL = 0x04,
  DF_INITIAL_DRY_RUN = 0x08, // set by the driver while it replays the base
  DF_NO_INCREMENTAL_HEADER = 0x10,
  DF_DRY_RUN = 0x20,
};

// One instance for the run, owned by the front end; the driver, the editor
// and the node dumper read it through a pointer.
struct dump_options {
  const char *temp_dir = nullptr; // the private temporary directory
  const char *prefix = nullptr;   // --prefix; normalised by the driver
  svn_revnum_t start = 0;         // -1 is HEAD
  svn_revnum_t end = -1;
  std::uint32_t flags = 0;        // DF_*
  int format_version = 2;         // raised to 3 with DF_USE_DELTAS
};

// Parses "N", "N:M", "N:HEAD", "HEAD", "HEAD:HEAD" (HEAD in any case) into
// start and end (HEAD is -1). Returns true when `text` is invalid. `start`
// and `end` may be the same variable.
bool parse_revision_range(const char *text, svn_revnum_t *start,
                          svn_revnum_t *end);

// Writes the version text and the usage text to standard output.
void print_usage();

// Deletes the contents of `path` recursively and, when `remove_self`, the
// directory itself. Errors are ignored.
void remove_tree(apr_pool_t *pool, const char *path, bool remove_self);
