// Revisions fetched ahead; see prefetch.h.
#include "dump/prefetch.h"

#include "delta/editor.h"
#include "obfuscate/obfuscate.h"
#include "repos/drive_record.h"

#include <apr_pools.h>
#include <svn_pools.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace {

// A recording stays in memory up to this size, then moves to a file.
constexpr std::size_t recording_memory = 1 << 20;
// Recordings held in memory, all of them together, beyond which the helpers
// wait (unless the one they would fetch next is the one the driver waits
// for).
constexpr std::size_t memory_budget = 8 << 20;
// The log entries of the range stay in memory up to this size.
constexpr std::size_t entry_memory = 4 << 20;

// What a job needs besides its entry.
struct job {
  svn_revnum_t diff = 0;
  bool start_empty = false;
};

struct slot {
  bool claimed = false; // a helper, or the driver, fetches it
  std::string restored; // the entry made exact, when that changed it
  bool done = false;
  svn_error_t *err = nullptr;
  std::unique_ptr<byte_spool> drive;
};

} // namespace

struct prefetch {
  session *sess = nullptr;
  const dump_options *opts = nullptr;
  std::unique_ptr<entry_spool> entries;
  std::vector<job> jobs;
  bool restore_messages = false;
  int ahead = 0; // how many revisions past the one taken may be fetched

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<slot> slots;
  int next = 0;  // the next job no helper has begun
  int taken = 0; // jobs handed to the driver
  int live = 0;  // helper threads that still fetch
  std::size_t buffered = 0;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
};

namespace {

svn_error_t *
prefetch_error(const char *what) {
  return svn_error_create(SVN_ERR_STREAM_MALFORMED_DATA, nullptr, what);
}

// Fetches job `index` over `ra` into a new recording. With
// `restore_messages` the job's entry is made exact first, and kept in
// `*restored` when that changed it (it stays empty otherwise).
svn_error_t *
fetch_job(prefetch *pf, svn_ra_session_t *ra, int index,
          std::unique_ptr<byte_spool> *drive, std::string *restored,
          apr_pool_t *pool) {
  const job &j = pf->jobs[index];
  std::string encoded;
  log_revision entry;
  if (!pf->entries->read(index, &encoded) || !log_decode(encoded, &entry, pool))
    return prefetch_error("A fetched log entry is corrupt");
  bool changed = false;
  if (pf->restore_messages)
    SVN_ERR(log_restore_message_on(pf->sess, ra, &entry, pool, &changed));
  if (changed)
    log_encode(&entry, pool, restored);
  const apr_array_header_t *replaced =
      j.start_empty ? apr_array_make(pool, 0, sizeof(const char *))
                    : delta_replaced_paths(&entry, pool);
  *drive = std::make_unique<byte_spool>(pf->opts->temp_dir, recording_memory);
  const svn_delta_editor_t *editor = nullptr;
  void *edit_baton = nullptr;
  drive_record_editor(&editor, &edit_baton, drive->get(), &pf->stop, pool);
  return prefetch_drive(pf->sess, ra, pf->opts, entry.revision, j.diff,
                        j.start_empty, replaced, editor, edit_baton, pool);
}

// fetch_job, with a failed allocation as an error.
svn_error_t *
run_job(prefetch *pf, svn_ra_session_t *ra, int index,
        std::unique_ptr<byte_spool> *drive, std::string *restored,
        apr_pool_t *pool) {
  try {
    return fetch_job(pf, ra, index, drive, restored, pool);
  } catch (const std::bad_alloc &) {
    return svn_error_create(APR_ENOMEM, nullptr, nullptr);
  }
}

// Whether a helper may begin the next job now.
bool
may_begin(const prefetch *pf) {
  if (pf->next == pf->taken)
    return true; // the driver waits for it
  return pf->next < pf->taken + pf->ahead && pf->buffered < memory_budget;
}

void
helper_main(prefetch *pf) {
  apr_pool_t *root = nullptr;
  apr_pool_create_unmanaged_ex(&root, nullptr, nullptr);
  svn_ra_session_t *ra = nullptr;
  svn_error_t *open_err = session_open_helper(pf->sess, &ra, root);
  if (open_err) {
    // The driver fetches what the helpers leave.
    svn_error_clear(open_err);
    apr_pool_destroy(root);
    std::lock_guard<std::mutex> lock(pf->mutex);
    --pf->live;
    pf->changed.notify_all();
    return;
  }
  apr_pool_t *job_pool = svn_pool_create(root);
  for (;;) {
    int index = 0;
    {
      std::unique_lock<std::mutex> lock(pf->mutex);
      pf->changed.wait(lock, [pf] {
        return pf->stop.load() ||
               pf->next >= static_cast<int>(pf->jobs.size()) || may_begin(pf);
      });
      if (pf->stop.load() || pf->next >= static_cast<int>(pf->jobs.size()))
        break;
      index = pf->next++;
      pf->slots[index].claimed = true;
    }
    std::unique_ptr<byte_spool> drive;
    std::string restored;
    svn_error_t *err = run_job(pf, ra, index, &drive, &restored, job_pool);
    svn_pool_clear(job_pool);
    std::lock_guard<std::mutex> lock(pf->mutex);
    slot &s = pf->slots[index];
    s.err = err;
    s.restored = std::move(restored);
    s.drive = std::move(drive);
    s.done = true;
    if (s.drive)
      pf->buffered += s.drive->memory_bytes();
    pf->changed.notify_all();
    if (err)
      break; // the driver stops at this job; nothing after it is needed
  }
  apr_pool_destroy(root);
  std::lock_guard<std::mutex> lock(pf->mutex);
  --pf->live;
  pf->changed.notify_all();
}

void
prefetch_destroy(prefetch *pf) {
  {
    std::lock_guard<std::mutex> lock(pf->mutex);
    pf->stop = true;
    pf->changed.notify_all();
  }
  for (std::thread &t : pf->threads)
    t.join();
  for (slot &s : pf->slots)
    svn_error_clear(s.err);
  delete pf;
}

} // namespace

svn_error_t *
prefetch_drive(const session *sess, svn_ra_session_t *ra,
               const dump_options *opts, svn_revnum_t revision,
               svn_revnum_t diff, bool start_empty,
               const apr_array_header_t *replaced,
               const svn_delta_editor_t *editor, void *edit_baton,
               apr_pool_t *pool) {
  apr_pool_t *diff_pool = svn_pool_create(pool);
  const svn_ra_reporter3_t *reporter = nullptr;
  void *report_baton = nullptr;
  svn_error_t *err = svn_ra_do_diff3(
      ra, &reporter, &report_baton, revision, "", svn_depth_infinity, TRUE,
      (opts->flags & DF_DRY_RUN) ? FALSE : TRUE, sess->encoded_url, editor,
      edit_baton, diff_pool);
  if (!err) {
    // A replaced path is reported as missing, so that the new node arrives
    // whole instead of as changes of the old one; a replaced subtree root
    // as empty.
    bool root_replaced =
        replaced->nelts > 0 && !*APR_ARRAY_IDX(replaced, 0, const char *);
    err = reporter->set_path(report_baton, "", diff, svn_depth_infinity,
                             start_empty || root_replaced, nullptr, diff_pool);
    for (int i = 0; !err && !root_replaced && i < replaced->nelts; ++i)
      err = reporter->delete_path(
          report_baton,
          obfuscate_reveal_path(&sess->obf, diff_pool,
                                APR_ARRAY_IDX(replaced, i, const char *)),
          diff_pool);
    if (err)
      svn_error_clear(reporter->abort_report(report_baton, diff_pool));
    else
      err = reporter->finish_report(report_baton, diff_pool);
  }
  svn_pool_destroy(diff_pool);
  return err;
}

prefetch_ptr
prefetch_make(session *sess, const dump_options *opts, bool restore_messages) {
  auto *pf = new prefetch();
  pf->sess = sess;
  pf->opts = opts;
  pf->restore_messages = restore_messages;
  pf->entries = std::make_unique<entry_spool>(opts->temp_dir, entry_memory);
  return {pf, prefetch_destroy};
}

vh::Error
prefetch_add(prefetch *pf, const log_revision *entry, svn_revnum_t diff,
             bool start_empty, apr_pool_t *scratch) {
  try {
    std::string encoded;
    log_encode(entry, scratch, &encoded);
    if (!pf->entries->append(encoded))
      return vh::Error::from_errno(errno, "Can't write to a temporary file");
    job j;
    j.diff = diff;
    j.start_empty = start_empty;
    pf->jobs.push_back(j);
  } catch (const std::bad_alloc &) {
    return vh::Error(svn_error_create(APR_ENOMEM, nullptr, nullptr));
  }
  return {};
}

void
prefetch_run(prefetch *pf, int helpers) {
  pf->ahead = 4 * helpers;
  pf->slots.resize(pf->jobs.size());
  pf->live = helpers;
  for (int i = 0; i < helpers; ++i) {
    try {
      pf->threads.emplace_back(helper_main, pf);
    } catch (const std::exception &) {
      // A helper that cannot start leaves its share to the others, or to
      // the driver.
      std::lock_guard<std::mutex> lock(pf->mutex);
      --pf->live;
    }
  }
}

int
prefetch_count(const prefetch *pf) {
  return static_cast<int>(pf->jobs.size());
}

vh::Error
prefetch_take(prefetch *pf, int index, log_revision *entry,
              std::unique_ptr<byte_spool> *drive, apr_pool_t *pool) {
  bool fetch_here = false;
  svn_error_t *err = nullptr;
  {
    std::unique_lock<std::mutex> lock(pf->mutex);
    // A job that no helper has begun within a moment is fetched here: a
    // helper may never get its connection (a server that takes no more),
    // and none may be left.
    pf->changed.wait_for(lock, std::chrono::seconds(2), [pf, index] {
      const slot &s = pf->slots[index];
      return s.done || s.claimed || pf->live == 0;
    });
    pf->changed.wait(lock, [pf, index] {
      const slot &s = pf->slots[index];
      return s.done || !s.claimed;
    });
    slot &s = pf->slots[index];
    if (!s.done) {
      // No helper has it: it is fetched on the run's own session.
      fetch_here = true;
      s.claimed = true;
      if (pf->next <= index)
        pf->next = index + 1;
    } else {
      err = s.err;
      s.err = nullptr;
      *drive = std::move(s.drive);
      if (*drive)
        pf->buffered -= (*drive)->memory_bytes();
    }
    pf->taken = index + 1;
    pf->changed.notify_all();
  }
  std::string encoded;
  if (fetch_here)
    err = run_job(pf, pf->sess->ra, index, drive, &encoded, pool);
  else
    encoded = std::move(pf->slots[index].restored);
  if (err)
    return vh::Error(err);
  if (!entry)
    return {};
  // The entry as the helper made it exact, or as the log sent it.
  if ((encoded.empty() && !pf->entries->read(index, &encoded)) ||
      !log_decode(encoded, entry, pool))
    return vh::Error(prefetch_error("A fetched log entry is corrupt"));
  return {};
}
