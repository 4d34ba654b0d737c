#include "util/diagnostics.h"

#include <apr_errno.h>
#include <apr_pools.h>
#include <apr_tables.h>
#include <svn_utf.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

int verbosity = 0;

namespace {

void
vprint_at(int level, const char *fmt, va_list ap) {
  if (verbosity >= level)
    std::vfprintf(stderr, fmt, ap);
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

void
handle_error(const svn_error_t *err, const char *prefix) {
  if (!err)
    return;
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
