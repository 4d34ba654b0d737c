// The command line: the argument scan, revision ranges, and the version and
// usage texts.
#pragma once

#include "dumpfile/dump_options.h"
#include "repos/session.h"

#include <svn_types.h>

#include <string>

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

// What the argument scan tells the caller to do next.
enum scan_result {
  SCAN_CONTINUE,     // the options are recorded; go on with the dump
  SCAN_EXIT_SUCCESS, // --help or --version answered: exit with status 0
  SCAN_EXIT_FAILURE, // an error was reported on standard error: exit with 1
};

// The command that continues an interrupted dump from repository revision
// `from` to `end` (-1: HEAD): the same URL and options, with
// "--incremental -r FROM:END". Words are quoted for a POSIX shell; a password
// given on the command line is not repeated.
std::string continuation_command(const session *sess, const dump_options *opts,
                                 svn_revnum_t from, svn_revnum_t end);

// Reads the words argv[1..argc-1] into `sess` (URL, credentials, SF_*,
// obfuscation) and `opts` (range, prefix, DF_*) and sets `verbosity`,
// testing each word exactly, left to right; strings are copied into
// sess->pool. The argument words of -u and -p are overwritten with blanks in
// argv. Writes the usage or version text for -h/--help/--version, and
// warnings and errors to standard error. Does not check that a URL was
// given.
scan_result scan_arguments(int argc, char **argv, session *sess,
                           dump_options *opts);
