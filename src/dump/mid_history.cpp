// Preparation of a dump that starts in the middle of history; see
// mid_history.h.
#include "dump/mid_history.h"

#include "util/diagnostics.h"
#include "dump/log_replay.h"
#include "history/path_repo.h"
#include "repos/log.h"
#include "util/apr_glue.h"

#include <cstdio>

vh::Error
mid_history_prepare(session *sess, dump_options *opts, path_repo *prepo,
                    revision_map *revs, mid_history_start *where) {
  apr_array_header_t *logs = revs->logs;
  // -r HEAD: the first revision to write is the last one that changed the
  // subtree, which the range settlement made the end.
  if (opts->start < 0)
    opts->start = opts->end;
  if (vh::Error err = fetch_all_logs(sess, 0, opts->end, logs))
    return err;

  const char *label = _("Preparing tree history... ");
  print_verbose("%s", label);
  const bool keep = (opts->flags & DF_KEEP_REVNUMS) != 0;
  vh::Pool scratch(sess->pool);
  int idx = 0;
  for (; idx < logs->nelts; ++idx) {
    const log_revision *logrev = &APR_ARRAY_IDX(logs, idx, log_revision);
    if (logrev->revision >= opts->start)
      break;
    scratch.clear();
    svn_revnum_t local = keep ? logrev->revision : idx;
    if (vh::Error err = path_repo_commit_log(prepo, sess, opts, logrev, local,
                                             revs, scratch.get()))
      return err;
    print_progress_update("%s%ld", label, static_cast<long>(idx));
  }
  print_progress_finish(label, _("done\n"));

  // The placeholder of a subdirectory dump stands for the empty state
  // before the subtree existed and never serves as the base.
  const bool whole = !revs->subtree;
  const int first_real = revision_map_first_index(revs);
  if (idx > first_real) {
    int base = idx - 1;
    opts->start = APR_ARRAY_IDX(logs, base, log_revision).revision;
    where->dry_run = true;
    where->list_idx = base - 1;
    where->local_rev = keep ? opts->start : base;
  } else if (idx < logs->nelts) {
    // Nothing of the subtree lies below the start: its first revision is
    // written in full, reported as empty, without a dry run.
    opts->start = APR_ARRAY_IDX(logs, idx, log_revision).revision;
    where->list_idx = idx - 1;
    where->local_rev = whole ? opts->start : 1;
  } else {
    return vh::Error::createf(SVN_ERR_FS_NO_SUCH_REVISION,
                              _("URL '%s' has no history to dump"), sess->url);
  }

  // The entries from the start on are written; their messages must be
  // exact (the replayed ones only lend their changed paths).
  for (int i = idx; i < logs->nelts; ++i)
    if (vh::Error err = log_restore_message(
            sess, &APR_ARRAY_IDX(logs, i, log_revision), sess->pool))
      return err;

  opts->end = APR_ARRAY_IDX(logs, logs->nelts - 1, log_revision).revision;
  print_debug("logs_fetched, opts->end set to %ld\n",
              static_cast<long>(opts->end));
  return {};
}

bool
mid_history_writes_header(const dump_options *opts, bool start_mid) {
  return !(start_mid && (opts->flags & DF_NO_INCREMENTAL_HEADER));
}
