// The program's lifecycle: start-up, the argument scan, the temporary
// directory, session setup, the dump, clean-up and the exit status.
#include "dump/driver.h"
#include "frontend/arguments.h"
#include "repos/session.h"
#include "util/diagnostics.h"
#include "util/temp_dir.h"

#include <apr_allocator.h>
#include <apr_hash.h>
#include <apr_strings.h>
#include <svn_cmdline.h>
#include <svn_dirent_uri.h>
#include <svn_path.h>
#include <svn_pools.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

int vornhald_main(int argc, char **argv);

namespace {

void
session_init(session *sess) {
  *sess = session{};
  // A root pool on APR's global allocator keeps every block it ever freed:
  // over file:// the repository layer's per-revision blocks grow with the
  // directories they hold, freed blocks are too small for the next revision
  // and memory grew faster than the history. This allocator (and so every
  // pool below the session's) keeps at most a few megabytes free.
  sess->pool = apr_allocator_owner_get(svn_pool_create_allocator(false));
  obfuscator_init(&sess->obf, sess->pool);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
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
  std::string temp_dir;
  if (vh::Error err = temp_dir_make(sess->pool, &temp_dir)) {
    report_error(std::move(err));
    return EXIT_FAILURE;
  }
  opts->temp_dir = temp_dir.c_str();

  if (vh::Error err = session_open(sess)) {
    report_error(std::move(err));
    remove_tree(sess->pool, temp_dir.c_str(), true);
    return EXIT_FAILURE;
  }

  vh::Error err = dump_repository(sess, opts);
  if (!err && std::fflush(stdout) != 0) {
    const int reason = errno ? errno : EIO;
    err = vh::Error::createf(APR_FROM_OS_ERROR(reason), "%s",
                             _("Unable to write to standard output."));
  }
  const bool failed = static_cast<bool>(err);
  // Reported before the clean-ups run, so that the error comes before the
  // note about the temporary directory.
  report_error(std::move(err));
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
