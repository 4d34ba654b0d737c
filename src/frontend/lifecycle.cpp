// The program's lifecycle: start-up, the argument scan, the temporary
// directory, session setup, the dump, clean-up and the exit status.
#include "dump/driver.h"
#include "frontend/diagnostics.h"
#include "frontend/options.h"
#include "repos/session.h"

#include <apr_allocator.h>
#include <apr_hash.h>
#include <apr_strings.h>
#include <svn_cmdline.h>
#include <svn_dirent_uri.h>
#include <svn_path.h>
#include <svn_pools.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

int vornhald_main(int argc, char **argv);

namespace {

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
  std::fputs(_("ERROR: Unable to write to standard output.\n"), stderr);
  return SCAN_EXIT_FAILURE;
}

void
session_init(session *sess) {
  *sess = session{};
  // A root pool on APR's global allocator keeps every block it ever freed:
  // over file:// the repository layer's per-revision blocks grow with the
  // directories they hold, freed blocks are too small for the next revision
  // and memory grew faster than the history. This allocator (and so every
  // pool below the session's) keeps at most a few megabytes free.
  sess->pool = apr_allocator_owner_get(svn_pool_create_allocator(false));
  sess->obfuscated_names = apr_hash_make(sess->pool);
  sess->used_words = apr_hash_make(sess->pool);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
}

// Creates the private temporary directory (mode 0700) under TMPDIR or /tmp
// and returns its path, or an empty string after reporting the failure.
std::string
make_temp_dir(apr_pool_t *pool) {
  apr_pool_t *scratch = svn_pool_create(pool);
  const char *tmpdir = std::getenv("TMPDIR");
  const char *tmpl = tmpdir ? apr_psprintf(scratch, "%s/vornhaldXXXXXX", tmpdir)
                            : "/tmp/vornhaldXXXXXX";
  std::string path = svn_dirent_canonicalize(tmpl, scratch);
  svn_pool_destroy(scratch);
  if (!mkdtemp(path.data())) {
    std::fputs(_("ERROR: Unable to create temporary directory.\n"), stderr);
    return {};
  }
  return path;
}

// Everything after start-up; returns the exit status. The session's pool is
// destroyed by the caller.
int
run(int argc, char **argv, session *sess, dump_options *opts) {
  switch (scan_arguments(argc, argv, sess, opts)) {
  case SCAN_EXIT_SUCCESS:
    return EXIT_SUCCESS;
  case SCAN_EXIT_FAILURE:
    return EXIT_FAILURE;
  case SCAN_CONTINUE:
    break;
  }
  if (!sess->url) {
    print_usage();
    std::fflush(stdout);
    return EXIT_FAILURE;
  }

  // Kept outside the session's pool: the pool is cleared after the dump,
  // and the path is still needed to remove or name the directory.
  const std::string temp_dir = make_temp_dir(sess->pool);
  if (temp_dir.empty())
    return EXIT_FAILURE;
  opts->temp_dir = temp_dir.c_str();

  if (session_open(sess)) {
    remove_tree(sess->pool, temp_dir.c_str(), true);
    return EXIT_FAILURE;
  }

  bool failed = dump_repository(sess, opts);
  if (!failed && std::fflush(stdout) != 0) {
    std::fputs(_("ERROR: Unable to write to standard output.\n"), stderr);
    failed = true;
  }
  // Runs the clean-ups that close and delete the stores' files.
  svn_pool_clear(sess->pool);

  if (failed) {
    std::fprintf(stderr,
                 _("NOTE: Please remove the temporary directory %s manually\n"),
                 temp_dir.c_str());
    return EXIT_FAILURE;
  }
  remove_tree(sess->pool, temp_dir.c_str(), true);
  return EXIT_SUCCESS;
}

} // namespace

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
      sess->flags |= SF_OBFUSCATE;
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

int
vornhald_main(int argc, char **argv) {
  std::setlocale(LC_ALL, "");
  bindtextdomain("vornhald", "/usr/local/share/locale");
  textdomain("vornhald");
  // Also registers apr_terminate to run at exit; registering it a second
  // time would terminate APR twice.
  if (svn_cmdline_init("vornhald", stderr) != EXIT_SUCCESS)
    return EXIT_FAILURE;

  session sess;
  dump_options opts;
  session_init(&sess);
  int status = run(argc, argv, &sess, &opts);
  svn_pool_destroy(sess.pool);
  return status;
}
