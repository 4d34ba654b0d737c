// The constructors of error chains; see apr_glue.h.
#include "util/apr_glue.h"

#include <apr_errno.h>
#include <apr_strings.h>

#include <cstdarg>

namespace vh {

namespace {

// A new link with `code` above `child` whose message is the formatted text,
// allocated in the chain's own pool as Subversion's constructors do.
svn_error_t *
make_link(apr_status_t code, svn_error_t *child, const char *fmt,
          va_list ap) noexcept {
  svn_error_t *err = svn_error_create(code, child, nullptr);
  err->message = apr_pvsprintf(err->pool, fmt, ap);
  return err;
}

} // namespace

Error
Error::createf(apr_status_t code, const char *fmt, ...) noexcept {
  va_list ap;
  va_start(ap, fmt);
  svn_error_t *err = make_link(code, nullptr, fmt, ap);
  va_end(ap);
  return Error(err);
}

Error
Error::wrapf(Error &&cause, const char *fmt, ...) noexcept {
  svn_error_t *child = cause.release();
  va_list ap;
  va_start(ap, fmt);
  const apr_status_t code = child ? child->apr_err : FAILURE;
  svn_error_t *err = make_link(code, child, fmt, ap);
  va_end(ap);
  return Error(err);
}

Error
Error::from_errno(int errnum, const char *fmt, ...) noexcept {
  const apr_status_t code = APR_FROM_OS_ERROR(errnum);
  va_list ap;
  va_start(ap, fmt);
  svn_error_t *err = make_link(code, nullptr, fmt, ap);
  va_end(ap);
  char reason[256];
  apr_strerror(code, reason, sizeof reason);
  err->message = apr_pstrcat(err->pool, err->message, ": ", reason, nullptr);
  return Error(err);
}

} // namespace vh
