#include "dump/driver.h"

#include "delta/editor.h"
#include "delta/text_store.h"
#include "obfuscate/obfuscate.h"
#include "dump/mid_history.h"
#include "dump/prefetch.h"
#include "repos/drive_record.h"
#include "dumpfile/stream.h"
#include "util/cancel.h"
#include "util/diagnostics.h"
#include "history/path_repo.h"
#include "props/property_storage.h"
#include "util/apr_glue.h"

#include <apr_strings.h>
#include <svn_dirent_uri.h>
#include <svn_ra.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Takes `err` into the result that callers fail with; the lifecycle reports
// it.
vh::Error
fail_with(svn_error_t *err) {
  return vh::Error(err);
}

// Receiver that keeps the revision of the one log entry asked for.
svn_error_t *
keep_revision(void *baton, svn_log_entry_t *entry, apr_pool_t *) noexcept {
  *static_cast<svn_revnum_t *>(baton) = entry->revision;
  return SVN_NO_ERROR;
}

// Sets *created to the last revision up to `rev` that changed the session's
// own path, or to SVN_INVALID_REVNUM when nothing exists there at `rev`.
// For the repository root svn_ra_stat answers this. For a subdirectory the
// log does: a directory that came with a copy of its parent and has not
// changed since reports a last-changed revision from before the copy, when
// it did not exist at this path yet. svn_ra_stat also parses the date of
// that revision and fails on a broken svn:date; such a history can still be
// dumped, so the log answers then too.
svn_error_t *
last_change(session *sess, svn_revnum_t rev, svn_revnum_t *created,
            apr_pool_t *pool) {
  *created = SVN_INVALID_REVNUM;
  if (!*sess->repos_path) {
    svn_dirent_t *dirent = nullptr;
    svn_error_t *err = svn_ra_stat(sess->ra, "", rev, &dirent, pool);
    if (!err) {
      if (dirent)
        *created = dirent->created_rev;
      return SVN_NO_ERROR;
    }
    if (err->apr_err != SVN_ERR_BAD_DATE)
      return err;
    svn_error_clear(err);
  }

  svn_node_kind_t kind = svn_node_none;
  SVN_ERR(svn_ra_check_path(sess->ra, "", rev, &kind, pool));
  if (kind == svn_node_none)
    return SVN_NO_ERROR;
  if (!SVN_IS_VALID_REVNUM(rev))
    SVN_ERR(svn_ra_get_latest_revnum(sess->ra, &rev, pool));
  apr_array_header_t *paths = apr_array_make(pool, 1, sizeof(const char *));
  APR_ARRAY_PUSH(paths, const char *) = "";
  apr_array_header_t *no_revprops =
      apr_array_make(pool, 0, sizeof(const char *));
  return svn_ra_get_log2(sess->ra, paths, rev, 0, 1, FALSE, TRUE, FALSE,
                         no_revprops, keep_revision, created, pool);
}

// Narrows opts->start and opts->end to the range that will be dumped and
// checks that the URL names a directory at the start. Writes nothing to
// standard output.
vh::Error
settle_range(session *sess, dump_options *opts) {
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, sess->pool);
  svn_revnum_t created = SVN_INVALID_REVNUM;
  svn_error_t *err = last_change(sess, opts->end, &created, scratch);
  if (err) {
    apr_pool_destroy(scratch);
    return fail_with(err);
  }
  if (!SVN_IS_VALID_REVNUM(created)) {
    // Whatever the end was, the user named the URL as it is now.
    apr_pool_destroy(scratch);
    return vh::Error::createf(SVN_ERR_FS_NOT_FOUND,
                              _("URL '%s' not found in HEAD revision"),
                              sess->url);
  }
  opts->end = created;
  // -r HEAD: the start is the revision the end has just been settled to.
  if (opts->start < 0)
    opts->start = opts->end;

  if (opts->start != 0 || !*sess->repos_path) {
    svn_node_kind_t kind = svn_node_none;
    err = svn_ra_check_path(sess->ra, "", opts->start, &kind, scratch);
    if (err || kind == svn_node_none) {
      apr_pool_destroy(scratch);
      return vh::Error::wrapf(vh::Error(err),
                              _("URL '%s' not found in revision %ld"),
                              sess->url, opts->start);
    }
  } else if (vh::Error bounds_err =
                 find_revision_bounds(sess, &opts->start, &opts->end)) {
    apr_pool_destroy(scratch);
    return bounds_err;
  }
  apr_pool_destroy(scratch);

  print_debug("adjusted range: %ld:%ld\n", opts->start, opts->end);
  return session_check_dir(sess, opts->start);
}

// The revision properties of a revision record, in the order the stream
// writes them: svn:log, svn:author and svn:date, then every other one by
// name; absent ones are left out.
std::vector<dumpfile_prop>
revision_props(const log_revision *logrev, apr_pool_t *pool) {
  std::vector<dumpfile_prop> props;
  if (!logrev->revprops)
    return props;
  apr_hash_t *first = apr_hash_make(pool);
  for (const char *name : {"svn:log", "svn:author", "svn:date"}) {
    apr_hash_set(first, name, APR_HASH_KEY_STRING, name);
    if (auto *value = static_cast<const svn_string_t *>(
            apr_hash_get(logrev->revprops, name, APR_HASH_KEY_STRING)))
      props.push_back({name, value});
  }
  std::vector<dumpfile_prop> rest =
      dumpfile_sorted_props(logrev->revprops, first, pool);
  props.insert(props.end(), rest.begin(), rest.end());
  return props;
}

// Flushes what the revision wrote; a stream that cannot be written fails the
// run instead of ending in a truncated dump reported as success.
vh::Error
flush_stream(dumpfile_output *output) {
  return fail_with(dumpfile_flush(output));
}

struct loop_start;
vh::Error write_stream(session *sess, dump_options *opts, bool start_mid,
                  bool subdir, revision_map *revs, path_repo *prepo,
                  property_storage *props, const loop_start &from,
                  dumpfile_output *output);

// Where the per-revision loop begins.
struct loop_start {
  int list_idx = 0;           // index in `logs` before the first iteration
  svn_revnum_t local_rev = 0; // dump number of the first iteration
  // Each iteration fetches its own log entry; a run that fetched the whole
  // log beforehand walks `logs` instead.
  bool fetch_per_revision = true;
  // The first iteration replays the base of an incremental dump without
  // output.
  bool dry_run = false;
};

// How many helper threads fetch revisions ahead: --sessions less the run's
// own session. By default four over the network; one over file://, where
// the "server" is this process and more threads only contend for the
// repository's files; none over a tunnel (svn+ssh://), whose every
// connection may ask for a password on the terminal. None with
// --obfuscate, whose tables the log and the editor share.
int
prefetch_helpers(const session *sess, const dump_options *opts) {
  if (sess->obf.enabled)
    return 0;
  if (opts->sessions > 0)
    return opts->sessions - 1;
  const char *url = sess->encoded_url;
  if (std::strncmp(url, "svn+", 4) == 0)
    return 0;
  if (std::strncmp(url, "file:", 5) == 0)
    return 1;
  return 4;
}

// Adds every entry of the log, as it streams in, to the prefetch: the
// first revision of the loop is diffed against an empty tree, every later
// one against the revision before it in the list.
struct log_collect {
  prefetch *pf;
  svn_revnum_t previous;
  bool first;
};

svn_error_t *
collect_entry(void *baton, const log_revision *entry,
              apr_pool_t *scratch) noexcept {
  auto *lc = static_cast<log_collect *>(baton);
  vh::Error err =
      prefetch_add(lc->pf, entry, lc->previous, lc->first, scratch);
  lc->previous = entry->revision;
  lc->first = false;
  return err.release();
}

// Lists the revisions of the loop, with their log entries, and starts the
// helpers on them. The log of the whole range comes in one request; an
// incremental dump from the middle of history has it already.
vh::Error
start_prefetch(session *sess, const dump_options *opts, revision_map *revs,
               const loop_start &from, prefetch_ptr *ahead) {
  *ahead = prefetch_make(sess, opts, from.fetch_per_revision,
                         prefetch_helpers(sess, opts));
  log_collect lc{ahead->get(), opts->start, true};
  if (from.fetch_per_revision) {
    if (vh::Error err =
            log_stream(sess, opts->start, opts->end, collect_entry, &lc))
      return err;
  } else {
    for (int i = from.list_idx + 1; i < revision_map_count(revs); ++i) {
      vh::Pool scratch(sess->pool);
      if (svn_error_t *err = collect_entry(&lc, revision_map_at(revs, i),
                                           scratch.get()))
        return vh::Error(err);
    }
  }
  prefetch_run(ahead->get());
  return {};
}

// The per-revision loop, from the first revision to dump to opts->end.
vh::Error
dump_loop(session *sess, dump_options *opts, dump_context *ctx,
          const loop_start &from, bool numbers_in_sync) {
  revision_map *revs = ctx->revs;
  bool dry = from.dry_run;
  const svn_revnum_t start = opts->start;
  int list_idx = from.list_idx;
  svn_revnum_t local_rev = from.local_rev;
  svn_revnum_t global_rev = start;

  // The revisions to dump are listed once; each iteration then asks for its
  // own entry alone. Asking for "the next entry from here to the end"
  // instead makes the server trace the subtree's history over the rest of
  // the range every time, which grows with the square of the history.
  apr_array_header_t *to_dump = nullptr;
  int next_to_dump = 0;
  prefetch_ptr ahead(nullptr, nullptr);
  if (prefetch_helpers(sess, opts) > 0) {
    if (vh::Error err = start_prefetch(sess, opts, revs, from, &ahead))
      return err;
  } else if (from.fetch_per_revision) {
    if (vh::Error err =
            fetch_log_revisions(sess, start, opts->end, &to_dump, sess->pool))
      return err;
  }
  // The status line counts the revisions written; the base replay of an
  // incremental dump writes none.
  progress_begin(ahead ? prefetch_count(ahead.get()) - (from.dry_run ? 1 : 0)
                 : from.fetch_per_revision
                     ? to_dump->nelts
                     : revision_map_count(revs) - from.list_idx - 1 -
                           (from.dry_run ? 1 : 0));
  int taken = 0; // jobs of `ahead` taken

  for (;;) {
    if (svn_error_t *err = cancel_check(nullptr))
      return fail_with(err);
    vh::Pool rev_pool(sess->pool);
    print_debug("dump loop start: local_rev = %ld, global_rev = %ld, "
                "list_idx = %d\n",
                local_rev, global_rev, list_idx);

    std::unique_ptr<byte_spool> drive;
    if (ahead) {
      if (taken == prefetch_count(ahead.get()))
        return {}; // the listed history ends before opts->end
      if (from.fetch_per_revision)
        print_progress(_("Fetching log for original revision %ld... "),
                       global_rev);
      // A mid-history start has its entries in the map already.
      log_revision entry;
      if (vh::Error err = prefetch_take(
              ahead.get(), taken++,
              from.fetch_per_revision ? &entry : nullptr, &drive,
              rev_pool.get())) {
        if (from.fetch_per_revision)
          print_progress("%s", _("failed\n"));
        return err;
      }
      if (from.fetch_per_revision) {
        list_idx = revision_map_append(revs, entry);
        print_progress("%s", _("done\n"));
      } else {
        ++list_idx;
      }
    } else if (from.fetch_per_revision) {
      print_progress(_("Fetching log for original revision %ld... "),
                     global_rev);
      if (next_to_dump == to_dump->nelts)
        return {}; // the listed history ends before opts->end
      const svn_revnum_t rev =
          APR_ARRAY_IDX(to_dump, next_to_dump++, svn_revnum_t);
      log_revision entry;
      if (vh::Error err =
              fetch_log_entry(sess, rev, rev, &entry, rev_pool.get())) {
        print_progress("%s", _("failed\n"));
        return err;
      }
      list_idx = revision_map_append(revs, entry);
      print_progress("%s", _("done\n"));
    } else {
      ++list_idx;
    }
    log_revision *logrev = revision_map_at(revs, list_idx);

    // The padding revisions and the revision record are written with the
    // revision's nodes, once the server has sent the whole revision: the
    // dump never ends in a revision that lacks its changes.
    revision_head head;
    head.prefix = opts->prefix;
    if ((opts->flags & DF_KEEP_REVNUMS) && !dry) {
      vh::Pool pad_pool(rev_pool.get());
      while (local_rev < logrev->revision) {
        if (vh::Error err =
                path_repo_commit(ctx->prepo, local_rev, pad_pool.get()))
          return err;
        head.paddings.push_back(local_rev);
        ++local_rev;
        pad_pool.clear();
      }
    }
    if (!dry) {
      head.with_record = true;
      head.local_rev = local_rev;
      head.repos_rev = logrev->revision;
      head.props = revision_props(logrev, rev_pool.get());
    }

    const svn_revnum_t m = global_rev > 1 ? global_rev : 1;
    const svn_revnum_t diff = m > start ? m - 1 : start;
    const bool start_empty = global_rev == start;
    print_debug("global = %ld, diff = %ld, start = %ld\n", global_rev, diff,
                start);
    if (dry)
      print_verbose("%s", _("Fetching base revision... "));
    else
      print_verbose(_(">>> Dumping new revision, based on original revision "
                      "%ld\n"),
                    logrev->revision);

    const svn_delta_editor_t *editor = nullptr;
    void *edit_baton = nullptr;
    // The first revision of a run arrives against an empty tree: nothing
    // in it replaces anything of the dump.
    const apr_array_header_t *replaced =
        start_empty ? apr_array_make(rev_pool.get(), 0, sizeof(const char *))
                    : delta_replaced_paths(logrev, rev_pool.get());
    svn_error_t *err = delta_get_editor(&editor, &edit_baton, ctx, logrev,
                                        local_rev, dry ? DF_INITIAL_DRY_RUN : 0,
                                        replaced, &head, rev_pool.get());
    if (err)
      return fail_with(err);
    print_debug("diffing %ld against %ld (start_empty = %d)\n",
                logrev->revision, diff, start_empty ? 1 : 0);
    if (drive) {
      // A recorded drive is replayed without the server: the time it takes
      // is the program's own, not silence of the server.
      cancel_set_busy(true);
      err = drive_replay(drive.get(), editor, edit_baton, rev_pool.get());
      cancel_set_busy(false);
    } else {
      sess->driving = true;
      err = prefetch_drive(sess, sess->ra, opts, logrev->revision, diff,
                           start_empty, replaced, editor, edit_baton,
                           rev_pool.get());
      sess->driving = false;
    }
    drive.reset();
    if (err)
      return fail_with(err);
    for (svn_revnum_t padded : head.paddings) {
      if (verbosity == 0)
        print_normal(_("* Padded revision %ld.\n"), padded);
      else
        print_verbose(_("------ Padded revision %ld <<<\n\n"), padded);
    }

    if (dry) {
      if (vh::Error discard_err =
              path_repo_discard(ctx->prepo, rev_pool.get()))
        return discard_err;
    } else if (vh::Error commit_err =
                   path_repo_commit(ctx->prepo, local_rev, rev_pool.get())) {
      return commit_err;
    }
    if (vh::Error cleanup_err =
            property_storage_cleanup(ctx->props, rev_pool.get()))
      return vh::Error::wrapf(std::move(cleanup_err), "%s",
                              _("Error cleaning up node property storage"));
    if (verbosity > 0) {
      if (dry)
        print_verbose("%s", _("done\n"));
      else
        print_verbose(_("\n------ Dumped revision %ld <<<\n\n"), local_rev);
    } else if (verbosity == 0 && !dry) {
      if (numbers_in_sync)
        print_normal(_("* Dumped revision %ld.\n"), logrev->revision);
      else
        print_normal(_("* Dumped revision %ld (local %ld).\n"),
                     logrev->revision, local_rev);
    }
    if (!dry)
      progress_revision_done();

    const svn_revnum_t dumped = logrev->revision;
    // Only the revision number of an earlier entry outlives its pool.
    *logrev = log_revision{dumped, nullptr, nullptr, nullptr, nullptr, nullptr};
    global_rev = dumped + 1;
    ++local_rev;
    dry = false;
    if (dumped >= opts->end)
      return {};
  }
}

} // namespace

vh::Error
dump_repository(session *sess, dump_options *opts, dump_outcome *outcome) {
  *outcome = dump_outcome{};
  // A prefix that no loader would accept is refused before anything else.
  if (svn_error_t *err =
          dumpfile_normalise_prefix(&opts->prefix, opts->prefix, sess->pool))
    return fail_with(err);
  if (opts->flags & DF_USE_DELTAS)
    opts->format_version = 3;
  print_debug("initial range: %ld:%ld\n", opts->start, opts->end);
  // The start as the user gave it (HEAD is -1), not as settled, decides.
  const bool start_mid = (opts->flags & DF_INCREMENTAL) && opts->start != 0;
  if (vh::Error err = settle_range(sess, opts))
    return err;

  const bool subdir = *session_subtree(sess) != '\0';
  revision_map *revs = revision_map_make(
      sess->pool, subdir, (opts->flags & DF_KEEP_REVNUMS) != 0);

  property_storage *props = nullptr;
  if (vh::Error err =
          property_storage_create(opts->temp_dir, sess->pool, &props))
    return err;
  path_repo *prepo = nullptr;
  if (vh::Error err = path_repo_create(opts->temp_dir, sess->pool, &prepo))
    return err;

  // An incremental dump from the middle of history first replays the
  // earlier log into the path repository; the loop then begins at the base
  // revision, which it replays without output, and walks the fetched log.
  loop_start from;
  if (start_mid) {
    mid_history_start mid;
    if (vh::Error err = mid_history_prepare(sess, opts, prepo, revs, &mid))
      return err;
    from.list_idx = mid.list_idx;
    from.local_rev = mid.local_rev;
    from.fetch_per_revision = false;
    from.dry_run = mid.dry_run;
  } else {
    if (subdir && opts->start == 0)
      opts->start = 1;
    from.local_rev = opts->start != 0 ? 1 : 0;
  }

  dumpfile_output output;
  if (svn_error_t *err = dumpfile_open_stdout(&output, sess->pool))
    return fail_with(err);
  outcome->started = true;
  vh::Error failed = write_stream(sess, opts, start_mid, subdir, revs, prepo,
                                 props, from, &output);
  // After a failure the dump ends with the last complete revision.
  if (failed && !dumpfile_rollback(&output))
    std::fprintf(stderr, "%s",
                 _("WARNING: the dump could not be cut back to the last "
                   "complete revision.\n"));
  outcome->header = output.header;
  outcome->last_repos_rev = output.last_repos_rev;
  outcome->last_local_rev = output.last_local_rev;
  return failed;
}

namespace {

// Writes the stream's head and every revision to `output`.
vh::Error
write_stream(session *sess, dump_options *opts, bool start_mid, bool subdir,
             revision_map *revs, path_repo *prepo, property_storage *props,
             const loop_start &from, dumpfile_output *output) {
  if (mid_history_writes_header(opts, start_mid)) {
    if (svn_error_t *err =
            dumpfile_write_header(output->stream, opts->format_version))
      return fail_with(err);
    if (!opts->prefix && !subdir) {
      const char *uuid = nullptr;
      if (vh::Error uuid_err = session_get_uuid(sess, &uuid))
        return uuid_err;
      if (svn_error_t *err = dumpfile_write_uuid(output->stream, uuid))
        return fail_with(err);
    }
    if (svn_error_t *err = dumpfile_commit(output, -1, -1))
      return fail_with(err);
  }

  print_debug("start_mid = %d, list_idx = %d\n", start_mid ? 1 : 0,
              from.list_idx);
  const bool numbers_in_sync =
      (opts->flags & DF_KEEP_REVNUMS) || (!subdir && opts->start == 0);
  dump_context ctx;
  ctx.sess = sess;
  ctx.opts = opts;
  ctx.prepo = prepo;
  ctx.props = props;
  ctx.revs = revs;
  ctx.texts = text_store_create(sess->pool, opts->temp_dir);
  ctx.out = output->stream;
  ctx.output = output;
  if (vh::Error err = dump_loop(sess, opts, &ctx, from, numbers_in_sync))
    return err;
  return flush_stream(output);
}

} // namespace
