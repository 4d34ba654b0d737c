// The command line: the argument scan, revision ranges, and the version and
// usage texts.
#pragma once

#include "dumpfile/dump_options.h"
#include "repos/session.h"

#include <apr_time.h>
#include <svn_types.h>

#include <string>

// Parses "N", "N:M", "N:HEAD", "HEAD", "HEAD:HEAD" (HEAD in any case) into
// start and end (HEAD is -1). Returns true when `text` is invalid. `start`
// and `end` may be the same variable.
bool parse_revision_range(const char *text, svn_revnum_t *start,
                          svn_revnum_t *end);

// One bound of a -r range as typed: a number, HEAD (-1), or a date, which
// only the repository can turn into a revision.
struct revision_bound {
  svn_revnum_t number = 0;
  bool is_date = false;
  apr_time_t date = 0; // when is_date
};

// A -r argument whose bounds may be dates ("{2020-01-01}:HEAD"). A single
// bound (`single`) names the range N-1:N, as a single number does.
struct revision_request {
  const char *text = nullptr; // as typed, for messages; null: no dates
  revision_bound start, end;
  bool single = false;
};

// Parses a -r argument: the forms of parse_revision_range, and any of them
// with "{DATE}" (a date as `svn` takes it) in place of a number. The forms
// without dates go straight into *start and *end; a form with a date is
// stored in *request (text copied into `pool`) and leaves *start and *end
// alone. Returns true when `text` is invalid.
bool parse_revision_argument(const char *text, svn_revnum_t *start,
                             svn_revnum_t *end, revision_request *request,
                             apr_pool_t *pool);

// Turns the dates of `request` into revisions of the session's repository
// (the youngest revision at or before each date, as `svn log -r {DATE}`
// picks it) and stores the range in *start and *end. Writes
// "ERROR: invalid revision range" when the range runs backwards. True on
// failure after reporting it.
bool resolve_revision_request(const revision_request *request, session *sess,
                              svn_revnum_t *start, svn_revnum_t *end);

// Writes the version text ("vornhald VERSION" and a copyright line) to
// standard output.
void print_version();

// Writes the version text and the usage text to standard output.
void print_usage();

// Writes "Please run with --help for usage information." to standard error.
void print_usage_hint();

// What the command line asks of the front end itself, beyond the session and
// the dump options.
struct command_line {
  const char *output_file = nullptr; // -F/--file: write the dump there
  bool password_from_stdin = false;  // --password-from-stdin
  bool force_interactive = false;    // --force-interactive
  revision_request range;            // -r with a date in it
};

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
// configuration options, obfuscation), `opts` (range, prefix, DF_*) and
// `cl`, and sets `verbosity`. Options are read with apr_getopt_long: long
// options take their argument as "--opt ARG" or "--opt=ARG", short ones as
// "-r ARG" or "-rARG", short options without arguments may be clustered
// ("-vv"), and every word after "--" is an operand. Words are taken left to
// right, operands (the URL) among them, so that an error before --help ends
// the scan there. Strings are copied into sess->pool. The arguments of -u
// and -p are overwritten with blanks in argv. Writes the usage or version
// text for -h/--help/--version, and warnings and errors to standard error.
// Does not check that a URL was given.
scan_result scan_arguments(int argc, char **argv, session *sess,
                           dump_options *opts, command_line *cl);
