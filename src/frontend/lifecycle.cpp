// The program's lifecycle: start-up, the argument scan, the temporary
// directory, session setup, the dump, clean-up and the exit status.
#include "dump/driver.h"
#include "frontend/arguments.h"
#include "repos/session.h"
#include "util/cancel.h"
#include "util/diagnostics.h"
#include "util/temp_dir.h"

#include <svn_types.h>

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

// After a failed dump, says where the dump really ends and how to go on
// from there: an incremental dump of the rest, loaded after this one, gives
// the repository that one uninterrupted run would have given.
void
print_continuation(const session *sess, const dump_options *opts,
                   const dump_outcome &outcome, svn_revnum_t end) {
  // A run that failed before it began to write needs no word on where its
  // dump ends, unless it was interrupted and may well work the next time.
  if (!outcome.started && !cancel_signal() && !cancel_timed_out())
    return;
  if (outcome.last_repos_rev < 0) {
    std::fputs(_("NOTE: no revision was written completely; run the same "
                 "command again.\n"),
               stderr);
    return;
  }
  if (opts->end >= 0 && outcome.last_repos_rev >= opts->end) {
    std::fprintf(stderr,
                 _("NOTE: every revision up to %ld was written completely.\n"),
                 outcome.last_repos_rev);
    return;
  }
  std::fprintf(stderr,
               _("NOTE: the dump ends with revision %ld (revision %ld of the "
                 "dump), written completely; to continue it, run:\n  %s\n"),
               outcome.last_repos_rev, outcome.last_local_rev,
               continuation_command(sess, opts, outcome.last_repos_rev + 1,
                                    end)
                   .c_str());
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

  // From here on a signal or a silent server ends the run through its
  // ordinary error path.
  cancel_install_handlers();
  cancel_watch(svn_path_is_url(sess->url) &&
                       std::strncmp(sess->url, "file:", 5) != 0
                   ? sess->timeout
                   : 0);
  if (vh::Error err = session_open(sess)) {
    report_error(std::move(err));
    cancel_report();
    print_continuation(sess, opts, dump_outcome{}, opts->end);
    remove_tree(sess->pool, temp_dir.c_str(), true);
    return EXIT_FAILURE;
  }

  dump_outcome outcome;
  const svn_revnum_t end = opts->end;
  vh::Error err = dump_repository(sess, opts, &outcome);
  if (!err && std::fflush(stdout) != 0) {
    const int reason = errno ? errno : EIO;
    err = vh::Error::createf(APR_FROM_OS_ERROR(reason), "%s",
                             _("Unable to write to standard output."));
  }
  const bool failed = static_cast<bool>(err);
  report_error(std::move(err));
  if (failed) {
    cancel_report();
    print_continuation(sess, opts, outcome, end);
  }
  // Runs the clean-ups that close and delete the stores' files. The
  // directory holds nothing that a later run could use: a dump is
  // continued from the repository, not from it.
  svn_pool_clear(sess->pool);
  remove_tree(sess->pool, temp_dir.c_str(), true);
  return failed ? EXIT_FAILURE : EXIT_SUCCESS;
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
  cancel_stop();
  svn_pool_destroy(sess.pool);
  return status;
}
