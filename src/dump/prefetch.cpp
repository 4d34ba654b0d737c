// Revisions fetched ahead; see prefetch.h.
#include "dump/prefetch.h"

#include "delta/editor.h"
#include "obfuscate/obfuscate.h"
#include "repos/drive_record.h"
#include "util/diagnostics.h"

#include <apr_pools.h>
#include <svn_pools.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
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
// Recordings held in all, in memory and in files, beyond which the helpers
// wait likewise: revisions fetched far ahead must not fill the disk.
constexpr std::uint64_t recorded_budget = std::uint64_t(64) << 20;
// The log entries of the range stay in memory up to this size.
constexpr std::size_t entry_memory = 4 << 20;
// How many revisions one replay request asks for at most.
constexpr int replay_run_max = 64;

// What a job needs besides its entry.
struct job {
  svn_revnum_t revision = 0;
  svn_revnum_t diff = 0;
  bool start_empty = false;
  // The revision's replay is the drive its diff would be (replay_fits).
  bool replay = false;
  // The log replaces paths (delta_replaced_paths is not empty).
  bool replaces = false;
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
  bool replay_allowed = false; // the server replays revisions for us
  // How many revisions past the one taken may be fetched. Where replays
  // stream, many: a diff among them must be asked for long before the
  // driver needs it.
  int ahead = 0;

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<slot> slots;
  int next = 0;  // the next job no helper has begun
  int taken = 0; // jobs handed to the driver
  int live = 0;  // helper threads that still fetch
  bool listed = false; // every job is added; the helpers may begin
  std::size_t buffered = 0;   // bytes of the recordings held in memory
  std::uint64_t recorded = 0; // bytes of the recordings held
  // A replay failed: every later revision is diffed.
  bool replay_failed = false;
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
  drive_record_editor(&editor, &edit_baton, drive->get(), &pf->stop, nullptr,
                      pool);
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

// Whether the recordings held leave room for another.
bool
within_budget(const prefetch *pf) {
  return pf->buffered < memory_budget && pf->recorded < recorded_budget;
}

// Whether a helper may begin the next job now.
bool
may_begin(const prefetch *pf) {
  if (pf->next == pf->taken)
    return true; // the driver waits for it
  return pf->next < pf->taken + pf->ahead && within_budget(pf);
}

// Moves `next` past the jobs that the driver, or a helper, has taken
// already.
void
skip_claimed(prefetch *pf) {
  while (pf->next < static_cast<int>(pf->jobs.size()) &&
         pf->slots[pf->next].claimed)
    ++pf->next;
}

// Hands the outcome of job `index` to the driver.
void
publish(prefetch *pf, int index, svn_error_t *err,
        std::unique_ptr<byte_spool> drive, std::string restored) {
  std::lock_guard<std::mutex> lock(pf->mutex);
  slot &s = pf->slots[index];
  s.err = err;
  s.restored = std::move(restored);
  s.drive = std::move(drive);
  s.done = true;
  if (s.drive) {
    pf->buffered += s.drive->memory_bytes();
    pf->recorded += s.drive->size();
  }
  pf->changed.notify_all();
}

// A replay request over consecutive jobs `first` to `last`: each revision
// of the run is recorded as it arrives and handed over at its end; the
// revisions between them that the dump skips (none in a whole-repository
// dump) are replayed into nothing.
struct replay_run {
  prefetch *pf;
  int index; // the job whose revision is awaited
  int last;
  std::unique_ptr<byte_spool> drive; // of the job being recorded
};

svn_error_t *
replay_started(svn_revnum_t revision, void *baton,
               const svn_delta_editor_t **editor, void **edit_baton,
               apr_hash_t *, apr_pool_t *pool) noexcept {
  auto *run = static_cast<replay_run *>(baton);
  prefetch *pf = run->pf;
  run->drive.reset();
  if (run->index > run->last || pf->jobs[run->index].revision != revision) {
    *editor = svn_delta_default_editor(pool);
    *edit_baton = nullptr;
    return SVN_NO_ERROR;
  }
  {
    // The server's stream waits while the recordings held are too many,
    // unless the driver waits for this one.
    std::unique_lock<std::mutex> lock(pf->mutex);
    pf->changed.wait(lock, [pf, run] {
      return pf->stop.load() || run->index <= pf->taken || within_budget(pf);
    });
  }
  auto *shape =
      static_cast<replay_as_diff *>(apr_pcalloc(pool, sizeof(replay_as_diff)));
  shape->root = session_subtree(pf->sess);
  try {
    if (pf->jobs[run->index].replaces) {
      std::string encoded;
      log_revision entry;
      if (!pf->entries->read(run->index, &encoded) ||
          !log_decode(encoded, &entry, pool))
        return prefetch_error("A fetched log entry is corrupt");
      shape->replaced = delta_replaced_paths(&entry, pool);
    }
    run->drive =
        std::make_unique<byte_spool>(pf->opts->temp_dir, recording_memory);
  } catch (const std::bad_alloc &) {
    return svn_error_create(APR_ENOMEM, nullptr, nullptr);
  }
  drive_record_editor(editor, edit_baton, run->drive.get(), &pf->stop, shape,
                      pool);
  return SVN_NO_ERROR;
}

svn_error_t *
replay_finished(svn_revnum_t, void *baton, const svn_delta_editor_t *editor,
                void *edit_baton, apr_hash_t *, apr_pool_t *pool) noexcept {
  auto *run = static_cast<replay_run *>(baton);
  if (!run->drive)
    return SVN_NO_ERROR;
  // A replay leaves the end of the edit to its receiver.
  SVN_ERR(editor->close_edit(edit_baton, pool));
  try {
    publish(run->pf, run->index++, nullptr, std::move(run->drive), {});
  } catch (const std::bad_alloc &) {
    return svn_error_create(APR_ENOMEM, nullptr, nullptr);
  }
  return SVN_NO_ERROR;
}

// Replays the jobs `first` to `last` over `ra`. When the replay fails, the
// jobs it has not handed over go back to the list, to be diffed, and so
// do all later ones: the failure is not the run's (a diff that fails too
// reports the server's error). Returns false when the replay failed.
bool
replay_jobs(prefetch *pf, svn_ra_session_t *ra, int first, int last,
            apr_pool_t *pool) {
  replay_run run{pf, first, last, nullptr};
  // With the low-water mark at the run's last revision, every copy of the
  // run comes as an add of the whole tree, as the diff sends it.
  svn_error_t *err = svn_ra_replay_range(
      ra, pf->jobs[first].revision, pf->jobs[last].revision,
      pf->jobs[last].revision, TRUE, replay_started, replay_finished, &run,
      pool);
  run.drive.reset();
  if (!err && run.index > last) {
    print_debug("replayed r%ld to r%ld\n",
                static_cast<long>(pf->jobs[first].revision),
                static_cast<long>(pf->jobs[last].revision));
    return true;
  }
  print_debug("replay of r%ld to r%ld failed at r%ld: %s\n",
              static_cast<long>(pf->jobs[first].revision),
              static_cast<long>(pf->jobs[last].revision),
              static_cast<long>(run.index <= last ? pf->jobs[run.index].revision
                                                  : -1),
              err ? err->message : "(no error)");
  svn_error_clear(err);
  std::lock_guard<std::mutex> lock(pf->mutex);
  pf->replay_failed = true;
  for (int i = run.index; i <= last; ++i)
    pf->slots[i].claimed = false;
  if (pf->next > run.index)
    pf->next = run.index;
  pf->changed.notify_all();
  return false;
}

// Claims the next job for a helper, and with it, when *replay comes back
// true, the jobs after it that a replay of the same request can fetch.
// Returns false when there is no more work. Called with the lock held.
bool
claim(prefetch *pf, std::unique_lock<std::mutex> &lock, int *first, int *last,
      bool *replay) {
  pf->changed.wait(lock, [pf] { return pf->stop.load() || pf->listed; });
  if (!pf->listed)
    return false; // the list was never finished
  const int count = static_cast<int>(pf->jobs.size());
  pf->changed.wait(lock, [pf, count] {
    skip_claimed(pf);
    return pf->stop.load() || pf->next >= count || may_begin(pf);
  });
  if (pf->stop.load() || pf->next >= count)
    return false;
  *first = *last = pf->next;
  pf->slots[*first].claimed = true;
  *replay = pf->jobs[*first].replay && !pf->replay_failed;
  if (*replay) {
    while (*last + 1 < count && *last + 1 - *first < replay_run_max &&
           *last + 1 < pf->taken + pf->ahead &&
           pf->jobs[*last + 1].replay &&
           !pf->slots[*last + 1].claimed)
      pf->slots[++*last].claimed = true;
  }
  pf->next = *last + 1;
  return true;
}

void
helper_main(prefetch *pf) {
  apr_pool_t *root = nullptr;
  apr_pool_create_unmanaged_ex(&root, nullptr, nullptr);
  apr_pool_t *ra_pool = svn_pool_create(root);
  svn_ra_session_t *ra = nullptr;
  apr_pool_t *job_pool = svn_pool_create(root);
  svn_error_t *open_err = session_open_helper(pf->sess, &ra, ra_pool);
  while (!open_err) {
    int first = 0, last = 0;
    bool replay = false;
    {
      std::unique_lock<std::mutex> lock(pf->mutex);
      if (!claim(pf, lock, &first, &last, &replay))
        break;
    }
    if (replay) {
      // The log carries the revision properties of a replayed revision
      // exactly (only http:// needs them made exact, and it diffs).
      bool replayed = replay_jobs(pf, ra, first, last, job_pool);
      svn_pool_clear(job_pool);
      if (!replayed) {
        // The session may be left in the middle of the failed request.
        svn_pool_clear(ra_pool);
        open_err = session_open_helper(pf->sess, &ra, ra_pool);
      }
      continue;
    }
    std::unique_ptr<byte_spool> drive;
    std::string restored;
    svn_error_t *err = run_job(pf, ra, first, &drive, &restored, job_pool);
    svn_pool_clear(job_pool);
    publish(pf, first, err, std::move(drive), std::move(restored));
    if (err)
      break; // the driver stops at this job; nothing after it is needed
  }
  // A helper whose session cannot be opened leaves its work to the others,
  // or to the driver.
  svn_error_clear(open_err);
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

namespace {

// Whether a replay of `entry`'s revision, recorded as a diff
// (replay_as_diff), is the drive that its diff would be: the revision
// changes the subtree only inside it, so the diff against the revision
// before it in the dump (which left the subtree as it was) sends the very
// changes that the revision made there. Only where the log shows the
// whole revision: a replay leaves out what the user may not read without a
// word, a diff names it, so that the dump can say what it lacks.
bool
replay_fits(const prefetch *pf, const log_revision *entry, bool start_empty) {
  return pf->replay_allowed && !start_empty && entry->changes_inside &&
         entry->changed_paths && entry->fully_readable;
}

} // namespace

prefetch_ptr
prefetch_make(session *sess, const dump_options *opts, bool restore_messages,
              int helpers) {
  auto *pf = new prefetch();
  pf->sess = sess;
  pf->opts = opts;
  pf->restore_messages = restore_messages;
  // Over svn:// and file:// a replay of a revision can stand for its diff
  // (replay_fits), and costs the server and the network far less: one
  // request streams many revisions. http:// diffs: its log cannot carry every
  // revision property exactly, and its bulk updates are one response per
  // revision already.
  const char *url = sess->encoded_url;
  pf->replay_allowed =
      !(opts->flags & DF_DRY_RUN) &&
      (std::strncmp(url, "svn://", 6) == 0 || std::strncmp(url, "file:", 5) == 0);
  pf->entries = std::make_unique<entry_spool>(opts->temp_dir, entry_memory);
  pf->ahead = (pf->replay_allowed ? replay_run_max : 4) * helpers;
  // The helpers open their sessions while the log streams in.
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
    j.revision = entry->revision;
    j.diff = diff;
    j.start_empty = start_empty;
    j.replay = replay_fits(pf, entry, start_empty);
    j.replaces = delta_replaced_paths(entry, scratch)->nelts > 0;
    pf->jobs.push_back(j);
  } catch (const std::bad_alloc &) {
    return vh::Error(svn_error_create(APR_ENOMEM, nullptr, nullptr));
  }
  return {};
}

void
prefetch_run(prefetch *pf) {
  std::lock_guard<std::mutex> lock(pf->mutex);
  pf->slots.resize(pf->jobs.size());
  pf->listed = true;
  pf->changed.notify_all();
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
      if (*drive) {
        pf->buffered -= (*drive)->memory_bytes();
        pf->recorded -= (*drive)->size();
      }
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
