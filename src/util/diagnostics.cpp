#include "util/diagnostics.h"

#include <apr_errno.h>
#include <apr_pools.h>
#include <apr_tables.h>
#include <apr_time.h>
#include <svn_utf.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <utility>

int verbosity = 0;

namespace {

// Clears the line the cursor is on, on a terminal.
constexpr const char clear_line[] = "\r\x1b[0K";

int stderr_terminal = -1; // -1: not asked yet

// The status line of the dump (progress_begin).
struct status_line {
  bool active = false; // kept below the output
  bool shown = false;  // on the screen now
  long total = 0;
  long done = 0;
  apr_time_t started = 0;
};
status_line status;

void
take_status_away() {
  if (!status.shown)
    return;
  std::fputs(clear_line, stderr);
  status.shown = false;
}

// "14:05:33" today, with the date when the end is a day or more away.
void
format_end(apr_time_t when, char *buf, std::size_t size) {
  const std::time_t t = static_cast<std::time_t>(apr_time_sec(when));
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(buf, size, t - now < 86400 ? "%H:%M:%S" : "%Y-%m-%d %H:%M",
                &tm);
}

void
draw_status() {
  const apr_time_t now = apr_time_now();
  const double seconds =
      static_cast<double>(now - status.started) / APR_USEC_PER_SEC;
  std::fputs(clear_line, stderr);
  if (status.done == 0 || seconds <= 0) {
    std::fprintf(stderr, _("%ld of %ld revisions"), status.done,
                 status.total);
  } else {
    const double rate = status.done / seconds;
    const double left = (status.total - status.done) / rate;
    char end[32];
    format_end(now + static_cast<apr_time_t>(left * APR_USEC_PER_SEC), end,
               sizeof(end));
    std::fprintf(stderr,
                 _("%ld of %ld revisions, %.1f per second, expected end at "
                   "%s"),
                 status.done, status.total, rate, end);
  }
  // The cursor waits at the start of the line: text that another module
  // writes to standard error directly then overwrites the status line
  // instead of being appended to it.
  std::fputc('\r', stderr);
  status.shown = true;
  std::fflush(stderr);
}

void
vprint_at(int level, const char *fmt, va_list ap) {
  if (verbosity >= level) {
    take_status_away();
    std::vfprintf(stderr, fmt, ap);
  }
}

bool
code_reported(const apr_array_header_t *codes, apr_status_t code) {
  for (int i = 0; i < codes->nelts; ++i)
    if (APR_ARRAY_IDX(codes, i, apr_status_t) == code)
      return true;
  return false;
}

// A message that spans several lines (servers send such) gets the prefix
// on each of them, so that every line of the report reads as an error.
void
write_lines(const char *prefix, const char *text)
{
  for (;;) {
    const char *nl = std::strchr(text, '\n');
    if (!nl) {
      std::fprintf(stderr, "%s%s\n", prefix, text);
      return;
    }
    std::fprintf(stderr, "%s%.*s\n", prefix, static_cast<int>(nl - text),
                 text);
    text = nl + 1;
    if (!*text)
      return;
  }
}

} // namespace

#define VH_PRINTER(name, level)                                                \
  void name(const char *fmt, ...) {                                            \
    va_list ap;                                                                \
    va_start(ap, fmt);                                                         \
    vprint_at(level, fmt, ap);                                                 \
    va_end(ap);                                                                \
  }

VH_PRINTER(print_normal, 0)
VH_PRINTER(print_verbose, 1)
VH_PRINTER(print_progress, 2)
VH_PRINTER(print_debug, 3)

#undef VH_PRINTER

bool
diagnostics_stderr_is_terminal() {
  if (stderr_terminal < 0)
    stderr_terminal = isatty(STDERR_FILENO) ? 1 : 0;
  return stderr_terminal == 1;
}

void
diagnostics_set_terminal(bool is_terminal) {
  stderr_terminal = is_terminal ? 1 : 0;
}

void
print_progress_update(const char *fmt, ...) {
  if (verbosity < 2 || !diagnostics_stderr_is_terminal())
    return;
  std::fputs(clear_line, stderr);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fflush(stderr);
}

void
print_progress_finish(const char *label, const char *text) {
  if (verbosity == 2 && diagnostics_stderr_is_terminal())
    std::fprintf(stderr, "%s%s%s", clear_line, label, text);
  else
    print_verbose("%s", text);
}

void
progress_begin(long total) {
  status = status_line{};
  if (verbosity != 0 || total <= 0 || !diagnostics_stderr_is_terminal())
    return;
  status.active = true;
  status.total = total;
  status.started = apr_time_now();
  draw_status();
}

void
progress_revision_done() {
  if (!status.active)
    return;
  if (status.done < status.total)
    ++status.done;
  draw_status();
}

void
progress_end() {
  take_status_away();
  status.active = false;
}

void
handle_error(const svn_error_t *err, const char *prefix) {
  if (!err)
    return;
  take_status_away();
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, err->pool);
  apr_array_header_t *codes = apr_array_make(scratch, 4, sizeof(apr_status_t));

  for (const svn_error_t *link = err; link; link = link->child) {
    if (link->message) {
      write_lines(prefix, link->message);
      continue;
    }
    if (code_reported(codes, link->apr_err))
      continue;
    char buf[256];
    const char *text;
    if (link->apr_err >= 120001 && link->apr_err <= 620000) {
      text = svn_strerror(link->apr_err, buf, sizeof(buf));
    } else {
      apr_strerror(link->apr_err, buf, sizeof(buf));
      svn_error_t *conv = svn_utf_cstring_from_utf8(&text, buf, err->pool);
      if (conv) {
        svn_error_clear(conv);
        text = "Can't recode error string from APR";
      }
    }
    std::fprintf(stderr, "%s%s\n", prefix, text);
    APR_ARRAY_PUSH(codes, apr_status_t) = link->apr_err;
  }
  apr_pool_destroy(scratch);
  std::fflush(stderr);
}

void
report_error(vh::Error &&err) {
  vh::Error owned = std::move(err);
  handle_error(owned.get(), _("ERROR: "));
}
