// Revision ranges, the version and usage texts, and removal of the temporary
// directory.
#include "frontend/options.h"

#include "frontend/diagnostics.h"

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

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

void
remove_tree(apr_pool_t *pool, const char *path, bool remove_self) {
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, pool);
  apr_dir_t *dir = nullptr;
  if (apr_dir_open(&dir, path, scratch) == APR_SUCCESS) {
    apr_pool_t *iterpool = nullptr;
    apr_pool_create(&iterpool, scratch);
    apr_finfo_t entry;
    for (;;) {
      // APR_INCOMPLETE: the type came from the directory entry but some
      // other field did not; name and type are what we asked for.
      apr_status_t rc =
          apr_dir_read(&entry, APR_FINFO_NAME | APR_FINFO_TYPE, dir);
      if (rc != APR_SUCCESS && rc != APR_INCOMPLETE)
        break;
      apr_pool_clear(iterpool);
      if (std::strcmp(entry.name, ".") == 0 ||
          std::strcmp(entry.name, "..") == 0)
        continue;
      const char *child = apr_psprintf(iterpool, "%s/%s", path, entry.name);
      // A symbolic link is removed, never followed.
      if (entry.filetype == APR_DIR)
        remove_tree(iterpool, child, true);
      else
        apr_file_remove(child, iterpool);
    }
    apr_dir_close(dir);
    if (remove_self)
      apr_dir_remove(path, scratch);
  }
  apr_pool_destroy(scratch);
}
