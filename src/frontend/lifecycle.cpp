// The program's lifecycle: start-up, the argument scan, the temporary
// directory, session setup, the dump, clean-up and the exit status.
#include "dump/driver.h"
#include "frontend/arguments.h"
#include "repos/session.h"
#include "util/cancel.h"
#include "util/diagnostics.h"
#include "util/temp_dir.h"

#include "vornhald_config.h"

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
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
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

// The catalogue directory: the installed layout relative to the running
// binary first (so that a tree installed under any prefix finds its own
// catalogue), then the build tree's compiled catalogues for a binary run
// from there, then the configured install prefix.
std::string
locale_dir() {
  char exe[4096];
  const ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (len > 0) {
    exe[len] = '\0';
    std::string dir(exe);
    dir.erase(dir.rfind('/') + 1);
    struct stat st;
    for (const std::string &candidate :
         {dir + VORNHALD_LOCALEDIR_FROM_BINDIR, dir + "locale"}) {
      if (stat(candidate.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return candidate;
    }
  }
  return VORNHALD_LOCALEDIR;
}

// The dump file of -F. The dump is written to FILE.partial beside FILE (the
// same directory, so that the rename is atomic) through standard output, so
// that the stream writer knows nothing of it, and renamed to FILE only after
// a successful run: a failed run never leaves a file at FILE that looks
// complete.
struct output_file {
  std::string path;    // FILE
  std::string partial; // FILE.partial
};

// Opens FILE.partial and puts it on descriptor 1. True on failure after
// reporting it.
bool
output_open(output_file *out, const char *path) {
  out->path = path;
  out->partial = out->path + ".partial";
  const int fd =
      open(out->partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::fprintf(stderr, _("ERROR: Can't open '%s' for writing: %s\n"),
                 out->partial.c_str(), std::strerror(errno));
    return true;
  }
  std::fflush(stdout);
  const bool failed = dup2(fd, STDOUT_FILENO) < 0;
  if (failed)
    std::fprintf(stderr, _("ERROR: Can't open '%s' for writing: %s\n"),
                 out->partial.c_str(), std::strerror(errno));
  close(fd);
  if (failed)
    unlink(out->partial.c_str());
  return failed;
}

// After a successful dump: the dump is on disk and named FILE. True on
// failure after reporting it.
bool
output_commit(const output_file *out) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) ||
      fsync(STDOUT_FILENO) != 0) {
    std::fprintf(stderr, _("ERROR: Unable to write to '%s': %s\n"),
                 out->partial.c_str(), std::strerror(errno));
    return true;
  }
  if (std::rename(out->partial.c_str(), out->path.c_str()) != 0) {
    std::fprintf(stderr, _("ERROR: Can't move '%s' to '%s': %s\n"),
                 out->partial.c_str(), out->path.c_str(), std::strerror(errno));
    return true;
  }
  // The new name is durable once the directory is; a failure here loses
  // nothing that a crash right after the run would not.
  std::string dir = out->path.substr(0, out->path.rfind('/') + 1);
  const int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return false;
}

// After a failed run: FILE is left alone; a partial dump that holds
// anything is kept under its own name and named on standard error, an
// empty one is removed.
void
output_abandon(const output_file *out) {
  std::fflush(stdout);
  struct stat st;
  if (fstat(STDOUT_FILENO, &st) == 0 && st.st_size == 0) {
    unlink(out->partial.c_str());
    return;
  }
  std::fprintf(stderr, _("NOTE: The incomplete dump is kept in %s\n"),
               out->partial.c_str());
}

// Reads the password of --password-from-stdin: the first line of standard
// input, without its line end. True on failure after reporting it.
bool
read_password(session *sess) {
  char *line = nullptr;
  std::size_t size = 0;
  const ssize_t len = getline(&line, &size, stdin);
  if (len < 0) {
    std::free(line);
    std::fputs(_("ERROR: No password on standard input.\n"), stderr);
    return true;
  }
  std::size_t n = static_cast<std::size_t>(len);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
    --n;
  sess->password = apr_pstrndup(sess->pool, line, n);
  std::memset(line, 0, size);
  std::free(line);
  return false;
}

// Everything after start-up; returns the exit status. The session's pool is
// destroyed by the caller.
int
run(int argc, char **argv, session *sess, dump_options *opts) {
  command_line cl;
  switch (scan_arguments(argc, argv, sess, opts, &cl)) {
  case SCAN_EXIT_SUCCESS:
    return EXIT_SUCCESS;
  case SCAN_EXIT_FAILURE:
    return EXIT_FAILURE;
  case SCAN_CONTINUE:
    break;
  }
  if (!sess->url) {
    // A forgotten URL must not put the usage text where the dump would go.
    std::fputs(_("ERROR: Missing repository URL.\n"), stderr);
    print_usage_hint();
    return EXIT_FAILURE;
  }
  if (cl.password_from_stdin && read_password(sess))
    return EXIT_FAILURE;
  // As svn does: prompts only when standard input is a terminal, unless
  // asked to prompt anyway.
  if (!cl.force_interactive && !isatty(STDIN_FILENO))
    sess->flags |= SF_NON_INTERACTIVE;

  output_file out;
  if (cl.output_file && output_open(&out, cl.output_file))
    return EXIT_FAILURE;

  // Kept outside the session's pool: the pool is cleared after the dump,
  // and the path is still needed to remove or name the directory.
  std::string temp_dir;
  if (vh::Error err = temp_dir_make(sess->pool, &temp_dir)) {
    report_error(std::move(err));
    if (cl.output_file)
      output_abandon(&out);
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
  // Nothing is written before the session is open and the range known.
  vh::Error open_err = session_open(sess);
  if (open_err ||
      (cl.range.text &&
       resolve_revision_request(&cl.range, sess, &opts->start, &opts->end))) {
    report_error(std::move(open_err));
    remove_tree(sess->pool, temp_dir.c_str(), true);
    if (cl.output_file)
      output_abandon(&out);
    cancel_report();
    print_continuation(sess, opts, dump_outcome{}, opts->end);
    return EXIT_FAILURE;
  }

  dump_outcome outcome;
  const svn_revnum_t end = opts->end;
  vh::Error err = dump_repository(sess, opts, &outcome);
  progress_end();
  if (!err && cl.output_file) {
    if (output_commit(&out))
      err = vh::Error::createf(1, "%s", _("The dump file was not completed."));
  } else if (!err && std::fflush(stdout) != 0) {
    const int reason = errno ? errno : EIO;
    err = vh::Error::createf(APR_FROM_OS_ERROR(reason), "%s",
                             _("Unable to write to standard output."));
  }
  const bool failed = static_cast<bool>(err);
  report_error(std::move(err));
  if (failed) {
    if (cl.output_file)
      output_abandon(&out);
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
  bindtextdomain("vornhald", locale_dir().c_str());
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
