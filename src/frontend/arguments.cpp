// Revision ranges, the version and usage texts, and the argument scan.
#include "frontend/arguments.h"

#include "util/diagnostics.h"

#include "vornhald_config.h"

#include <apr_getopt.h>
#include <apr_strings.h>
#include <svn_opt.h>
#include <svn_path.h>
#include <svn_pools.h>
#include <svn_ra.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <utility>

namespace {

constexpr const char *bug_address = "vornhald-bugs@lists.vornhald.org";

bool
is_head(const char *word) {
  return strcasecmp(word, "HEAD") == 0;
}

// True when a number in `text` does not fit a revision number: the scans
// below would have no defined result for it.
bool
has_overflowing_number(const char *text) {
  for (const char *p = text; *p;) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
      ++p;
      continue;
    }
    errno = 0;
    char *end = nullptr;
    std::strtol(p, &end, 10);
    if (errno == ERANGE)
      return true;
    p = end;
  }
  return false;
}


// Standard output carries the texts of --help and --version; a failure to
// write them is a failure of the run.
scan_result
flushed_stdout(scan_result ok) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout))
    return ok;
  std::fputs(_("ERROR: Unable to write to standard output.\n"), stderr);
  return SCAN_EXIT_FAILURE;
}

} // namespace

bool
parse_revision_range(const char *text, svn_revnum_t *start, svn_revnum_t *end) {
  // Every form ends with a character conversion, so that a form matches only
  // when nothing follows it; HEAD is read with a width of four.
  char w1[5], w2[5], c;
  long n = 0, m = 0;
  if (has_overflowing_number(text))
    return true;
  // The scans below would skip blanks and take a sign; a revision is
  // written without either.
  for (const char *p = text; *p; ++p)
    if (std::isspace(static_cast<unsigned char>(*p)) || *p == '+')
      return true;

  if (std::sscanf(text, "%4s:%4s%c", w1, w2, &c) == 2 && is_head(w1) &&
      is_head(w2)) {
    *start = *end = -1;
    return false;
  }
  if (std::sscanf(text, "%ld:%4s%c", &n, w2, &c) == 2 && is_head(w2)) {
    if (n < 0)
      return true;
    *start = n;
    *end = -1;
    return false;
  }
  if (std::sscanf(text, "%ld:%ld%c", &n, &m, &c) == 2) {
    if (n < 0 || m < n)
      return true;
    *start = n;
    *end = m;
    return false;
  }
  if (std::sscanf(text, "%ld%c", &n, &c) == 1) {
    if (n <= 0)
      return true;
    // In this order, so that `--stop N` (one variable for both) leaves N-1.
    *end = n;
    *start = n - 1;
    return false;
  }
  if (std::sscanf(text, "%4s%c", w1, &c) == 1 && is_head(w1)) {
    *start = *end = -1;
    return false;
  }
  return true;
}

namespace {

// The options that apr_getopt_long knows. Options without a short form get
// codes above the character range.
enum option_code : int {
  OPT_VERSION = 256,
  OPT_DELTAS,
  OPT_INCREMENTAL,
  OPT_PREFIX,
  OPT_KEEP_REVNUMS,
  OPT_NO_INCREMENTAL_HEADER,
  OPT_OBFUSCATE,
  OPT_NO_AUTH_CACHE,
  OPT_NON_INTERACTIVE,
  OPT_FORCE_INTERACTIVE,
  OPT_CONFIG_DIR,
  OPT_CONFIG_OPTION,
  OPT_TIMEOUT,
  OPT_SESSIONS,
  OPT_PASSWORD_FROM_STDIN,
  OPT_TRUST_SERVER_CERT_FAILURES,
  OPT_STOP,
  OPT_ONLINE,
  OPT_DUMP_UUID,
  OPT_NO_CHECK_CERTIFICATE,
};

const apr_getopt_option_t options[] = {
    {"help", 'h', 0, nullptr},
    {"version", OPT_VERSION, 0, nullptr},
    {"quiet", 'q', 0, nullptr},
    {"verbose", 'v', 0, nullptr},
    {"dry-run", 'n', 0, nullptr},
    {"revision", 'r', 1, nullptr},
    {"file", 'F', 1, nullptr},
    {"deltas", OPT_DELTAS, 0, nullptr},
    {"incremental", OPT_INCREMENTAL, 0, nullptr},
    {"prefix", OPT_PREFIX, 1, nullptr},
    {"keep-revnums", OPT_KEEP_REVNUMS, 0, nullptr},
    {"no-incremental-header", OPT_NO_INCREMENTAL_HEADER, 0, nullptr},
    {"obfuscate", OPT_OBFUSCATE, 0, nullptr},
    {"username", 'u', 1, nullptr},
    {"password", 'p', 1, nullptr},
    {"password-from-stdin", OPT_PASSWORD_FROM_STDIN, 0, nullptr},
    {"no-auth-cache", OPT_NO_AUTH_CACHE, 0, nullptr},
    {"non-interactive", OPT_NON_INTERACTIVE, 0, nullptr},
    {"force-interactive", OPT_FORCE_INTERACTIVE, 0, nullptr},
    {"trust-server-cert-failures", OPT_TRUST_SERVER_CERT_FAILURES, 1, nullptr},
    {"config-dir", OPT_CONFIG_DIR, 1, nullptr},
    {"config-option", OPT_CONFIG_OPTION, 1, nullptr},
    {"timeout", OPT_TIMEOUT, 1, nullptr},
    {"sessions", OPT_SESSIONS, 1, nullptr},
    // Deprecated options of earlier versions: accepted with a warning.
    {"stop", OPT_STOP, 1, nullptr},
    {"online", OPT_ONLINE, 0, nullptr},
    {"dump-uuid", OPT_DUMP_UUID, 0, nullptr},
    {"download-dir", 'd', 1, nullptr},
    {"no-check-certificate", OPT_NO_CHECK_CERTIFICATE, 0, nullptr},
    {"outfile", 'o', 1, nullptr},
    {nullptr, 0, 0, nullptr},
};

// The option as the user typed it in `word`, for messages: a long option
// without its "=ARG", a short one alone even when it came in a cluster.
const char *
typed_name(const char *word, int code, apr_pool_t *pool) {
  if (std::strncmp(word, "--", 2) == 0)
    return apr_pstrndup(pool, word, std::strcspn(word, "="));
  return apr_psprintf(pool, "-%c", static_cast<char>(code));
}

// The deprecated options whose argument was only ever skipped: a missing
// argument is no error for them, as it never was.
bool
skips_its_argument(const char *name) {
  for (const char *n : {"-d", "--download-dir", "-o", "--outfile"})
    if (std::strcmp(name, n) == 0)
      return true;
  return false;
}

// Parses the comma-separated failure names of --trust-server-cert-failures
// into SF_TRUST_* bits; false when a name is unknown.
bool
parse_trust_failures(const char *text, std::uint32_t *flags) {
  const struct {
    const char *name;
    std::uint32_t flag;
  } names[] = {
      {"unknown-ca", SF_TRUST_UNKNOWN_CA},
      {"cn-mismatch", SF_TRUST_CN_MISMATCH},
      {"expired", SF_TRUST_EXPIRED},
      {"not-yet-valid", SF_TRUST_NOT_YET_VALID},
      {"other", SF_TRUST_OTHER_FAILURE},
  };
  std::uint32_t found = 0;
  for (const char *p = text;;) {
    const std::size_t len = std::strcspn(p, ",");
    bool known = false;
    for (const auto &n : names)
      if (std::strlen(n.name) == len && std::strncmp(p, n.name, len) == 0) {
        found |= n.flag;
        known = true;
      }
    if (!known)
      return false;
    if (!p[len])
      break;
    p += len + 1;
  }
  *flags |= found;
  return true;
}

bool
to_bound(const svn_opt_revision_t &rev, revision_bound *bound) {
  switch (rev.kind) {
  case svn_opt_revision_number:
    bound->number = rev.value.number;
    return bound->number >= 0;
  case svn_opt_revision_head:
    bound->number = -1;
    return true;
  case svn_opt_revision_date:
    bound->is_date = true;
    bound->date = rev.value.date;
    return true;
  default:
    return false; // BASE, COMMITTED, PREV: there is no working copy
  }
}

} // namespace

bool
parse_revision_argument(const char *text, svn_revnum_t *start,
                        svn_revnum_t *end, revision_request *request,
                        apr_pool_t *pool) {
  if (!std::strchr(text, '{')) {
    if (parse_revision_range(text, start, end))
      return true;
    *request = revision_request{};
    return false;
  }
  svn_opt_revision_t first, second;
  first.kind = second.kind = svn_opt_revision_unspecified;
  apr_pool_t *scratch = svn_pool_create(pool);
  const int bad = svn_opt_parse_revision(&first, &second, text, scratch);
  svn_pool_destroy(scratch);
  if (bad)
    return true;
  revision_request r;
  if (!to_bound(first, &r.start))
    return true;
  if (second.kind == svn_opt_revision_unspecified) {
    r.single = true;
    r.end = r.start;
  } else if (!to_bound(second, &r.end)) {
    return true;
  }
  // A range that starts at HEAD ends there: with a date in it, it cannot.
  if (!r.start.is_date && r.start.number < 0)
    return true;
  r.text = apr_pstrdup(pool, text);
  *request = r;
  return false;
}

bool
resolve_revision_request(const revision_request *request, session *sess,
                         svn_revnum_t *start, svn_revnum_t *end) {
  svn_revnum_t revs[2] = {0, 0};
  const revision_bound *bounds[2] = {&request->start, &request->end};
  apr_pool_t *scratch = svn_pool_create(sess->pool);
  for (int i = 0; i < 2; ++i) {
    revs[i] = bounds[i]->number;
    if (!bounds[i]->is_date)
      continue;
    svn_error_t *err = svn_ra_get_dated_revision(sess->ra, &revs[i],
                                                 bounds[i]->date, scratch);
    if (err) {
      svn_pool_destroy(scratch);
      handle_error(err, _("ERROR: "));
      svn_error_clear(err);
      return true;
    }
  }
  svn_pool_destroy(scratch);
  print_debug("revision range '%s' is %ld:%ld\n", request->text, revs[0],
              revs[1]);
  if (request->single) {
    *end = revs[0];
    *start = revs[0] > 0 ? revs[0] - 1 : 0;
    return false;
  }
  if (revs[1] >= 0 && revs[0] > revs[1]) {
    std::fprintf(stderr, _("ERROR: invalid revision range '%s'.\n"),
                 request->text);
    return true;
  }
  *start = revs[0];
  *end = revs[1];
  return false;
}

void
print_version() {
  std::printf("vornhald %s\n", VORNHALD_VERSION);
  std::printf("%s\n", _("Copyright (C) 2026 The vornhald developers. "
                        "Free software, without warranty."));
}

void
print_usage() {
  print_version();
  std::printf("\n");
  std::fputs(_("USAGE:"), stdout);
  std::fputs(" vornhald ", stdout);
  std::fputs(_("[options] <url>\n\n"), stdout);
  const char *const pieces[] = {
      N_("Common options:\n"),
      N_("    -h [--help]               print a nice help screen\n"),
      N_("    --version                 print the program name and version\n"),
      N_("    -q [--quiet]              be quiet\n"),
      N_("    -v [--verbose]            print extra progress\n"),
      N_("    -n [--dry-run]            don't fetch text deltas\n"),
      "\n",
      N_("Dump options:\n"),
      N_("    -r [--revision] ARG       specify revision number (or X:Y "
         "range)\n"),
      N_("                              (a number, HEAD or {DATE}; N alone "
         "is N-1:N)\n"),
      N_("    -F [--file] FILE          write the dump to FILE instead of "
         "standard output\n"),
      N_("    --deltas                  use deltas in dump output\n"),
      N_("    --incremental             dump incrementally\n"),
      N_("    --prefix ARG              prepend ARG to the path that is being "
         "dumped\n"),
      N_("    --keep-revnums            keep the dumped revision numbers in "
         "sync with\n"
         "                              the repository by using empty "
         "revisions for\n"
         "                              padding\n"),
      N_("    --no-incremental-header   don't print the dumpfile header when "
         "dumping\n"),
      N_("                              with --incremental and not starting "
         "at\n"),
      N_("                              revision 0\n"),
      N_("    --obfuscate               replace path names, authors and log "
         "messages\n"
         "                              by random words\n"),
      "\n",
      N_("Subversion compatibility options:\n"),
      N_("    -u [--username] ARG       specify a username ARG\n"),
      N_("    -p [--password] ARG       specify a password ARG\n"),
      N_("    --password-from-stdin     read the password from the first "
         "line of\n"
         "                              standard input\n"),
      N_("    --no-auth-cache           do not cache authentication tokens\n"),
      N_("    --non-interactive         do no interactive prompting\n"),
      N_("    --force-interactive       prompt even when standard input is "
         "not a\n"
         "                              terminal\n"),
      N_("    --trust-server-cert-failures ARG\n"
         "                              with --non-interactive, accept "
         "these\n"
         "                              certificate failures (comma-"
         "separated:\n"
         "                              unknown-ca, cn-mismatch, expired,\n"
         "                              not-yet-valid, other)\n"),
      N_("    --config-dir ARG          read user configuration files from "
         "directory ARG\n"),
      N_("    --config-option ARG       set a configuration option, ARG "
         "being\n"
         "                              FILE:SECTION:OPTION=[VALUE] (FILE "
         "is\n"
         "                              config or servers)\n"),
      N_("    --timeout ARG             give up on a server that sends "
         "nothing for\n"
         "                              ARG seconds (default 600, 0 for "
         "never)\n"),
      N_("    --sessions ARG            open up to ARG connections to the "
         "server, all\n"
         "                              but one fetching revisions ahead "
         "(default 5;\n"
         "                              1 fetches one revision at a "
         "time)\n"),
      "\n",
  };
  for (const char *piece : pieces)
    std::fputs(piece[0] == '\n' ? piece : _(piece), stdout);
  std::printf(_("Report bugs to <%s>\n"), bug_address);
}

void
print_usage_hint() {
  std::fputs(_("Please run with --help for usage information.\n"), stderr);
}

namespace {

// The scan's state besides what it records: the option parser and the
// pool that the recorded strings live in.
struct scanner {
  apr_getopt_t *os = nullptr;
  session *sess = nullptr;
  dump_options *opts = nullptr;
  command_line *cl = nullptr;
  apr_pool_t *pool = nullptr;
  bool password_given = false;
};

// An operand: the URL, the only one the program takes.
bool
take_operand(scanner *sc, const char *word) {
  if (!svn_path_is_url(word)) {
    std::fprintf(stderr, _("ERROR: Unknown argument or malformed url '%s'.\n"),
                 word);
    print_usage_hint();
    return false;
  }
  if (sc->sess->url) {
    std::fputs(_("ERROR: multiple URLs detected.\n"), stderr);
    print_usage_hint();
    return false;
  }
  sc->sess->url = apr_pstrdup(sc->pool, word);
  return true;
}

// Records one option; `name` is as typed, `arg` its argument or null.
// Returns SCAN_CONTINUE to go on.
scan_result
take_option(scanner *sc, int code, const char *name, const char *arg) {
  session *sess = sc->sess;
  dump_options *opts = sc->opts;
  switch (code) {
  case 'h':
    print_usage();
    return flushed_stdout(SCAN_EXIT_SUCCESS);
  case OPT_VERSION:
    print_version();
    return flushed_stdout(SCAN_EXIT_SUCCESS);
  case 'q':
    verbosity = -1;
    break;
  case 'v':
    verbosity = std::max(verbosity, 0) + 1;
    break;
  case 'n':
    opts->flags |= DF_DRY_RUN;
    break;
  case OPT_OBFUSCATE:
    sess->obf.enabled = true;
    break;
  case OPT_NO_AUTH_CACHE:
    sess->flags |= SF_NO_AUTH_CACHE;
    break;
  case OPT_NON_INTERACTIVE:
    sess->flags |= SF_NON_INTERACTIVE;
    break;
  case OPT_FORCE_INTERACTIVE:
    sc->cl->force_interactive = true;
    break;
  case OPT_KEEP_REVNUMS:
    opts->flags |= DF_KEEP_REVNUMS;
    break;
  case OPT_NO_INCREMENTAL_HEADER:
    opts->flags |= DF_NO_INCREMENTAL_HEADER;
    break;
  case OPT_DELTAS:
    opts->flags |= DF_USE_DELTAS;
    break;
  case OPT_INCREMENTAL:
    opts->flags |= DF_INCREMENTAL;
    break;
  case 'r':
    if (parse_revision_argument(arg, &opts->start, &opts->end, &sc->cl->range,
                                sc->pool)) {
      std::fprintf(stderr, _("ERROR: invalid revision range '%s'.\n"), arg);
      return SCAN_EXIT_FAILURE;
    }
    break;
  case 'F':
    sc->cl->output_file = apr_pstrdup(sc->pool, arg);
    break;
  case 'u':
  case 'p': {
    const char *copy = apr_pstrdup(sc->pool, arg);
    if (code == 'u') {
      sess->username = copy;
    } else {
      sess->password = copy;
      sc->password_given = true;
    }
    // Keeps credentials out of the process list: `arg` points into the
    // argument word itself (after "=" or the option letter when inline).
    char *word = const_cast<char *>(arg);
    std::memset(word, ' ', std::strlen(word));
    break;
  }
  case OPT_PASSWORD_FROM_STDIN:
    sc->cl->password_from_stdin = true;
    break;
  case OPT_TRUST_SERVER_CERT_FAILURES:
    if (!parse_trust_failures(arg, &sess->flags)) {
      std::fprintf(stderr,
                   _("ERROR: invalid value '%s' for "
                     "--trust-server-cert-failures (a comma-separated list "
                     "of unknown-ca, cn-mismatch, expired, not-yet-valid and "
                     "other).\n"),
                   arg);
      return SCAN_EXIT_FAILURE;
    }
    break;
  case OPT_TIMEOUT: {
    char *end = nullptr;
    errno = 0;
    long seconds = std::strtol(arg, &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(*arg)) || *end ||
        errno == ERANGE || seconds > 86400L * 365) {
      std::fprintf(stderr, _("ERROR: invalid number of seconds '%s'.\n"), arg);
      return SCAN_EXIT_FAILURE;
    }
    sess->timeout = static_cast<int>(seconds);
    break;
  }
  case OPT_SESSIONS: {
    char *end = nullptr;
    errno = 0;
    long count = std::strtol(arg, &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(*arg)) || *end ||
        errno == ERANGE || count < 1 || count > 64) {
      std::fprintf(stderr,
                   _("ERROR: invalid number of sessions '%s' (1 to 64).\n"),
                   arg);
      return SCAN_EXIT_FAILURE;
    }
    opts->sessions = static_cast<int>(count);
    break;
  }
  case OPT_CONFIG_DIR:
    sess->config_dir = apr_pstrdup(sc->pool, arg);
    break;
  case OPT_CONFIG_OPTION:
    if (session_add_config_option(sess, arg)) {
      std::fprintf(stderr,
                   _("ERROR: invalid argument '%s' for --config-option (it "
                     "takes FILE:SECTION:OPTION=[VALUE], FILE being config "
                     "or servers).\n"),
                   arg);
      return SCAN_EXIT_FAILURE;
    }
    break;
  case OPT_PREFIX:
    opts->prefix = apr_pstrdup(sc->pool, arg);
    break;
  case OPT_STOP:
    std::fputs(
        _("WARNING: the '--stop' option is deprecated. Please use "
          "'--revision'.\n"
          "         The resulting dump WILL DIFFER from the one obtained "
          "with\n"
          "         previous versions of the program if you are dumping a "
          "subdirectory.\n"),
        stderr);
    opts->start = 0;
    sc->cl->range = revision_request{};
    if (parse_revision_range(arg, &opts->end, &opts->end)) {
      std::fprintf(stderr, _("ERROR: invalid revision number '%s'.\n"), arg);
      return SCAN_EXIT_FAILURE;
    }
    break;
  case OPT_ONLINE:
  case OPT_DUMP_UUID:
  case 'd':
    std::fprintf(stderr, _("WARNING: the '%s' option is deprecated.\n"), name);
    break;
  case OPT_NO_CHECK_CERTIFICATE:
  case 'o':
    std::fprintf(stderr,
                 _("WARNING: the '%s' option is deprecated and will be "
                   "IGNORED!\n"),
                 name);
    break;
  default:
    break;
  }
  return SCAN_CONTINUE;
}

// Reports an option word that apr_getopt_long refused with `status`.
// `word` is the whole argument word. Returns SCAN_CONTINUE for the one
// refusal that is no error: a deprecated option whose argument was only
// ever skipped, given without one.
scan_result
refused_option(scanner *sc, apr_status_t status, const char *word) {
  const bool is_long = std::strncmp(word, "--", 2) == 0;
  if (status == APR_BADARG && is_long && std::strchr(word, '=')) {
    std::fprintf(stderr, _("ERROR: the option '%s' takes no argument.\n"),
                 typed_name(word, 0, sc->pool));
    print_usage_hint();
    return SCAN_EXIT_FAILURE;
  }
  if (status == APR_BADARG) {
    // The argument is missing only when the option ends the last word: a
    // short option is then the last letter of it.
    const char *name =
        is_long ? word : typed_name(word, word[std::strlen(word) - 1], sc->pool);
    if (skips_its_argument(name)) {
      const int code = is_long ? (word[2] == 'd' ? 'd' : 'o') : name[1];
      return take_option(sc, code, name, nullptr);
    }
    std::fprintf(stderr, _("ERROR: Missing argument for option: %s\n"), name);
    print_usage_hint();
    return SCAN_EXIT_FAILURE;
  }
  std::fprintf(stderr, _("ERROR: Unknown argument or malformed url '%s'.\n"),
               word);
  print_usage_hint();
  return SCAN_EXIT_FAILURE;
}

// The checks between options, once all of them are read.
scan_result
check_combinations(const scanner *sc) {
  const char *conflict = nullptr;
  if (sc->password_given && sc->cl->password_from_stdin)
    conflict = _("ERROR: --password and --password-from-stdin are mutually "
                 "exclusive.\n");
  else if ((sc->sess->flags & SF_NON_INTERACTIVE) && sc->cl->force_interactive)
    conflict = _("ERROR: --non-interactive and --force-interactive are "
                 "mutually exclusive.\n");
  else if ((sc->sess->flags & (SF_TRUST_UNKNOWN_CA | SF_TRUST_CN_MISMATCH |
                               SF_TRUST_EXPIRED | SF_TRUST_NOT_YET_VALID |
                               SF_TRUST_OTHER_FAILURE)) &&
           !(sc->sess->flags & SF_NON_INTERACTIVE))
    conflict = _("ERROR: --trust-server-cert-failures requires "
                 "--non-interactive.\n");
  if (!conflict)
    return SCAN_CONTINUE;
  std::fputs(conflict, stderr);
  print_usage_hint();
  return SCAN_EXIT_FAILURE;
}

} // namespace

scan_result
scan_arguments(int argc, char **argv, session *sess, dump_options *opts,
               command_line *cl) {
  scanner sc;
  sc.sess = sess;
  sc.opts = opts;
  sc.cl = cl;
  sc.pool = sess->pool;
  apr_pool_t *getopt_pool = svn_pool_create(sess->pool);
  apr_getopt_init(&sc.os, getopt_pool, argc, argv);
  sc.os->errfn = nullptr; // the refusals are reported below, as ours
  sc.os->interleave = 0;  // operands are taken in order, below

  scan_result result = SCAN_CONTINUE;
  bool operands_only = false;
  while (result == SCAN_CONTINUE) {
    apr_getopt_t *os = sc.os;
    const bool in_cluster = *os->place != '\0';
    if (!in_cluster) {
      if (os->ind >= argc)
        break;
      const char *word = argv[os->ind];
      const bool end_of_options = !operands_only && std::strcmp(word, "--") == 0;
      const bool operand = operands_only || word[0] != '-';
      if (end_of_options || operand) {
        if (end_of_options)
          operands_only = true;
        else if (!take_operand(&sc, word))
          result = SCAN_EXIT_FAILURE;
        // Past the word, with nothing for apr_getopt_long to permute.
        ++os->ind;
        os->skip_start = os->skip_end = os->ind;
        continue;
      }
    }
    const char *word = argv[in_cluster ? os->ind - 1 : os->ind];
    int code = 0;
    const char *arg = nullptr;
    apr_status_t status = apr_getopt_long(os, options, &code, &arg);
    if (status != APR_SUCCESS)
      result = refused_option(&sc, status, word);
    else
      result = take_option(&sc, code, typed_name(word, code, sc.pool), arg);
  }
  svn_pool_destroy(getopt_pool);
  if (result == SCAN_CONTINUE)
    result = check_combinations(&sc);
  return result;
}

namespace {

// `word` quoted for a POSIX shell when it needs it.
std::string
shell_word(const char *word) {
  std::string w = word;
  if (!w.empty() &&
      w.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                          "0123456789@%+=:,./-_") == std::string::npos)
    return w;
  std::string out = "'";
  for (char c : w)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

} // namespace

std::string
continuation_command(const session *sess, const dump_options *opts,
                     svn_revnum_t from, svn_revnum_t end) {
  std::string cmd = "vornhald";
  auto add = [&cmd](const char *word) {
    cmd += ' ';
    cmd += shell_word(word);
  };
  if (verbosity < 0)
    add("-q");
  for (int i = 0; i < verbosity; ++i)
    add("-v");
  const std::pair<std::uint32_t, const char *> dump_flags[] = {
      {DF_DRY_RUN, "-n"},
      {DF_KEEP_REVNUMS, "--keep-revnums"},
      {DF_NO_INCREMENTAL_HEADER, "--no-incremental-header"},
      {DF_USE_DELTAS, "--deltas"}};
  for (const auto &[flag, word] : dump_flags)
    if (opts->flags & flag)
      add(word);
  if (sess->obf.enabled)
    add("--obfuscate");
  if (sess->flags & SF_NO_AUTH_CACHE)
    add("--no-auth-cache");
  if (sess->flags & SF_NON_INTERACTIVE)
    add("--non-interactive");
  if (sess->username) {
    add("--username");
    add(sess->username);
  }
  if (sess->config_dir) {
    add("--config-dir");
    add(sess->config_dir);
  }
  if (opts->sessions != dump_options{}.sessions) {
    add("--sessions");
    add(std::to_string(opts->sessions).c_str());
  }
  if (sess->timeout != session{}.timeout) {
    add("--timeout");
    add(std::to_string(sess->timeout).c_str());
  }
  if (opts->prefix) {
    add("--prefix");
    add(opts->prefix);
  }
  add("--incremental");
  add("-r");
  char range[64];
  if (end < 0)
    std::snprintf(range, sizeof range, "%ld:HEAD", static_cast<long>(from));
  else
    std::snprintf(range, sizeof range, "%ld:%ld", static_cast<long>(from),
                  static_cast<long>(end));
  add(range);
  add(sess->url);
  return cmd;
}
