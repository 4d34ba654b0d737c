// Small owners for the C handles of APR, Subversion and stdio.
//
// Every owner is movable and not copyable, and releases its handle when it
// goes out of scope. `get()` hands the raw handle to the C libraries; the
// owner keeps it.
#pragma once

#include <apr_file_io.h>
#include <apr_pools.h>
#include <svn_error.h>

#include <cstdio>
#include <utility>

namespace vh {

// An APR pool. A default-constructed Pool has no parent (a root pool); the
// other constructor makes a child of `parent`, destroyed with it at the
// latest.
class Pool {
public:
  Pool() { apr_pool_create(&pool_, nullptr); }
  explicit Pool(apr_pool_t *parent) { apr_pool_create(&pool_, parent); }
  Pool(Pool &&other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}
  Pool &operator=(Pool &&other) noexcept {
    if (this != &other) {
      destroy();
      pool_ = std::exchange(other.pool_, nullptr);
    }
    return *this;
  }
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  ~Pool() { destroy(); }

  apr_pool_t *get() const { return pool_; }
  // Frees everything allocated in the pool and runs its clean-ups; the pool
  // stays usable.
  void clear() { apr_pool_clear(pool_); }
  // Gives up ownership: the caller (or the parent pool) destroys it.
  apr_pool_t *release() { return std::exchange(pool_, nullptr); }

private:
  void destroy() {
    if (pool_)
      apr_pool_destroy(pool_);
    pool_ = nullptr;
  }
  apr_pool_t *pool_ = nullptr;
};

// The code of a chain that reports one of the program's own failures (one
// with no better APR or Subversion code): the code the delta editor's
// chains have always carried. Every such link has a message, so the code is
// never shown.
inline constexpr apr_status_t FAILURE = 1;

// The result of the program's own operations: empty for success, else a
// Subversion error chain whose links carry the messages, outermost first.
// The chain is cleared when the holder goes out of scope unless `release()`
// passed it on (into an SVN_ERR chain, or to another holder). Whoever
// receives a failure and stops reports it once, with `report_error`
// (diagnostics.h); code that hands it up only returns it.
class [[nodiscard]] Error {
public:
  Error() = default;
  explicit Error(svn_error_t *err) : err_(err) {}
  Error(Error &&other) noexcept : err_(std::exchange(other.err_, nullptr)) {}
  Error &operator=(Error &&other) noexcept {
    if (this != &other) {
      svn_error_clear(err_);
      err_ = std::exchange(other.err_, nullptr);
    }
    return *this;
  }
  Error(const Error &) = delete;
  Error &operator=(const Error &) = delete;
  ~Error() { svn_error_clear(err_); }

  // A chain of one link with `code` and the printf-style message.
  static Error createf(apr_status_t code, const char *fmt, ...) noexcept
      __attribute__((format(printf, 2, 3)));
  // A new outermost link with the printf-style message above `cause`, which
  // it takes (an empty `cause` gives a chain of one link with code
  // FAILURE). The new link keeps the code of `cause`.
  static Error wrapf(Error &&cause, const char *fmt, ...) noexcept
      __attribute__((format(printf, 2, 3)));
  // The chain of a failed system call: code APR_FROM_OS_ERROR(errnum), the
  // message "TEXT: REASON" where TEXT is the printf-style message and REASON
  // the system's text for `errnum` (as svn_error_wrap_apr writes them).
  static Error from_errno(int errnum, const char *fmt, ...) noexcept
      __attribute__((format(printf, 2, 3)));

  explicit operator bool() const { return err_ != nullptr; }
  svn_error_t *get() const { return err_; }
  // The outermost link's message ("" for success or a link without one).
  const char *message() const {
    return err_ && err_->message ? err_->message : "";
  }
  svn_error_t *release() { return std::exchange(err_, nullptr); }

private:
  svn_error_t *err_ = nullptr;
};

// A stdio stream, closed with fclose.
class File {
public:
  File() = default;
  explicit File(std::FILE *f) : f_(f) {}
  File(File &&other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
  File &operator=(File &&other) noexcept {
    if (this != &other) {
      close();
      f_ = std::exchange(other.f_, nullptr);
    }
    return *this;
  }
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File() { close(); }

  std::FILE *get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Returns fclose's result (0 on success); a closed File closes as success.
  int close() {
    int rc = f_ ? std::fclose(f_) : 0;
    f_ = nullptr;
    return rc;
  }

private:
  std::FILE *f_ = nullptr;
};

// An APR file, closed with apr_file_close.
class AprFile {
public:
  AprFile() = default;
  explicit AprFile(apr_file_t *f) : f_(f) {}
  AprFile(AprFile &&other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
  AprFile &operator=(AprFile &&other) noexcept {
    if (this != &other) {
      close();
      f_ = std::exchange(other.f_, nullptr);
    }
    return *this;
  }
  AprFile(const AprFile &) = delete;
  AprFile &operator=(const AprFile &) = delete;
  ~AprFile() { close(); }

  apr_file_t *get() const { return f_; }
  apr_file_t **out() { close(); return &f_; }
  apr_status_t close() {
    apr_status_t rc = f_ ? apr_file_close(f_) : APR_SUCCESS;
    f_ = nullptr;
    return rc;
  }

private:
  apr_file_t *f_ = nullptr;
};

} // namespace vh
