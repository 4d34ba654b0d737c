// Revision ranges, the version and usage texts, and the argument scan.
#include "frontend/arguments.h"

#include "util/diagnostics.h"

#include <apr_strings.h>
#include <svn_path.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <utility>

namespace {

constexpr const char *version_number = "0.6.2";
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


void
print_hint() {
  std::fputs(_("Please run with --help for usage information.\n"), stderr);
}

// Standard output carries the texts of --help and --version; a failure to
// write them is a failure of the run.
scan_result
flushed_stdout(scan_result ok) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout))
    return ok;
  const int reason = errno ? errno : EIO;
  report_error(vh::Error::createf(APR_FROM_OS_ERROR(reason), "%s",
                                  _("Unable to write to standard output.")));
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

void
print_version() {
  std::printf("vornhald %s\n", version_number);
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
      "\n",
      N_("Subversion compatibility options:\n"),
      N_("    -u [--username] ARG       specify a username ARG\n"),
      N_("    -p [--password] ARG       specify a password ARG\n"),
      N_("    --no-auth-cache           do not cache authentication tokens\n"),
      N_("    --non-interactive         do no interactive prompting\n"),
      N_("    --config-dir ARG          read user configuration files from "
         "directory ARG\n"),
      "\n",
  };
  for (const char *piece : pieces)
    std::fputs(piece[0] == '\n' ? piece : _(piece), stdout);
  std::printf(_("Report bugs to <%s>\n"), bug_address);
}

scan_result
scan_arguments(int argc, char **argv, session *sess, dump_options *opts) {
  apr_pool_t *pool = sess->pool;
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    auto is = [word](const char *a, const char *b = nullptr) {
      return std::strcmp(word, a) == 0 || (b && std::strcmp(word, b) == 0);
    };
    // The argument of an option that takes one: the next word, whatever it
    // looks like.
    auto argument = [&]() -> char * {
      if (i + 1 < argc)
        return argv[++i];
      std::fprintf(stderr, _("ERROR: Missing argument for option: %s\n"), word);
      print_hint();
      return nullptr;
    };

    if (is("-h", "--help")) {
      print_usage();
      return flushed_stdout(SCAN_EXIT_SUCCESS);
    } else if (is("--version")) {
      print_version();
      return flushed_stdout(SCAN_EXIT_SUCCESS);
    } else if (is("-q", "--quiet")) {
      verbosity = -1;
    } else if (is("-v", "--verbose")) {
      verbosity = std::max(verbosity, 0) + 1;
    } else if (is("-n", "--dry-run")) {
      opts->flags |= DF_DRY_RUN;
    } else if (is("--obfuscate")) {
      sess->obf.enabled = true;
    } else if (is("--no-auth-cache")) {
      sess->flags |= SF_NO_AUTH_CACHE;
    } else if (is("--non-interactive")) {
      sess->flags |= SF_NON_INTERACTIVE;
    } else if (is("--keep-revnums")) {
      opts->flags |= DF_KEEP_REVNUMS;
    } else if (is("--no-incremental-header")) {
      opts->flags |= DF_NO_INCREMENTAL_HEADER;
    } else if (is("--deltas")) {
      opts->flags |= DF_USE_DELTAS;
    } else if (is("--incremental")) {
      opts->flags |= DF_INCREMENTAL;
    } else if (is("-r", "--revision")) {
      const char *arg = argument();
      if (!arg)
        return SCAN_EXIT_FAILURE;
      if (parse_revision_range(arg, &opts->start, &opts->end)) {
        std::fprintf(stderr, _("ERROR: invalid revision range '%s'.\n"), arg);
        return SCAN_EXIT_FAILURE;
      }
    } else if (is("-u", "--username") || is("-p", "--password")) {
      char *arg = argument();
      if (!arg)
        return SCAN_EXIT_FAILURE;
      const char *copy = apr_pstrdup(pool, arg);
      if (is("-u", "--username"))
        sess->username = copy;
      else
        sess->password = copy;
      // Keeps credentials out of the process list.
      std::memset(arg, ' ', std::strlen(arg));
    } else if (is("--timeout")) {
      const char *arg = argument();
      if (!arg)
        return SCAN_EXIT_FAILURE;
      char *end = nullptr;
      errno = 0;
      long seconds = std::strtol(arg, &end, 10);
      if (!std::isdigit(static_cast<unsigned char>(*arg)) || *end ||
          errno == ERANGE || seconds > 86400 * 365) {
        std::fprintf(stderr, _("ERROR: invalid number of seconds '%s'.\n"),
                     arg);
        return SCAN_EXIT_FAILURE;
      }
      sess->timeout = static_cast<int>(seconds);
    } else if (is("--config-dir")) {
      const char *arg = argument();
      if (!arg)
        return SCAN_EXIT_FAILURE;
      sess->config_dir = apr_pstrdup(pool, arg);
    } else if (is("--prefix")) {
      const char *arg = argument();
      if (!arg)
        return SCAN_EXIT_FAILURE;
      opts->prefix = apr_pstrdup(pool, arg);
    } else if (is("--stop")) {
      const char *arg = argument();
      if (!arg)
        return SCAN_EXIT_FAILURE;
      std::fputs(
          _("WARNING: the '--stop' option is deprated. Please use "
            "'--revision'.\n"
            "         The resulting dump WILL DIFFER from the one obtained "
            "with\n"
            "         previous versions of the program if you are dumping a "
            "subdirectory.\n"),
          stderr);
      opts->start = 0;
      if (parse_revision_range(arg, &opts->end, &opts->end)) {
        std::fprintf(stderr, _("ERROR: invalid revision number '%s'.\n"), arg);
        return SCAN_EXIT_FAILURE;
      }
    } else if (is("--online", "--dump-uuid") || is("-d", "--download-dir")) {
      std::fprintf(stderr, _("WARNING: the '%s' option is deprecated.\n"),
                   word);
      if (is("-d", "--download-dir") && i + 1 < argc)
        ++i;
    } else if (is("--no-check-certificate") || is("-o", "--outfile")) {
      std::fprintf(stderr,
                   _("WARNING: the '%s' option is deprecated and will be "
                     "IGNORED!\n"),
                   word);
      if (is("-o", "--outfile") && i + 1 < argc)
        ++i;
    } else if (svn_path_is_url(word)) {
      if (sess->url) {
        std::fputs(_("ERROR: multiple URLs detected.\n"), stderr);
        print_hint();
        return SCAN_EXIT_FAILURE;
      }
      sess->url = apr_pstrdup(pool, word);
    } else {
      std::fprintf(stderr,
                   _("ERROR: Unknown argument or malformed url '%s'.\n"), word);
      print_hint();
      return SCAN_EXIT_FAILURE;
    }
  }
  return SCAN_CONTINUE;
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
