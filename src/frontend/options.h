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
  std::uint32_t flags = 0; // DF_*
  int format_version = 2;  // raised to 3 with DF_USE_DELTAS
};

// Parses "N", "N:M", "N:HEAD", "HEAD", "HEAD:HEAD" (HEAD in any case) into
// start and end (HEAD is -1). Returns true when `text` is invalid. `start`
// and `end` may be the same variable.
bool parse_revision_range(const char *text, svn_revnum_t *start,
                          svn_revnum_t *end);

// Writes the version text ("vornhald 0.6.2" and a copyright line) to
// standard output.
void print_version();

// Writes the version text and the usage text to standard output.
void print_usage();

struct session;

// What the argument scan tells the caller to do next.
enum scan_result {
  SCAN_CONTINUE,     // the options are recorded; go on with the dump
  SCAN_EXIT_SUCCESS, // --help or --version answered: exit with status 0
  SCAN_EXIT_FAILURE, // an error was reported on standard error: exit with 1
};

// Reads the words argv[1..argc-1] into `sess` (URL, credentials, SF_*) and
// `opts` (range, prefix, DF_*) and sets `verbosity`, testing each word
// exactly, left to right; strings are copied into sess->pool. The argument
// words of -u and -p are overwritten with blanks in argv. Writes the usage
// or version text for -h/--help/--version, and warnings and errors to
// standard error. Does not check that a URL was given.
scan_result scan_arguments(int argc, char **argv, session *sess,
                           dump_options *opts);

// Deletes the contents of `path` recursively and, when `remove_self`, the
// directory itself. Errors are ignored.
void remove_tree(apr_pool_t *pool, const char *path, bool remove_self);
