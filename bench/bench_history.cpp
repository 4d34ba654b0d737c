// Benchmark of the history stores: the path repository fed a synthetic
// history of 100,000 revisions over a tree of about 50,000 paths, then asked
// 10,000 existence queries, then more revisions committed and queried the
// way the dump does (each revision asks about the one committed last); and
// 100,000 stores into the property storage. Prints times, peak memory
// (ru_maxrss) and the sizes of "paths.db" and "props.db". Not a test: run it
// by hand from an optimised build.
//
//   bench_history [revisions [random queries [dumped revisions]]]
#include "history/path_repo.h"
#include "props/property_storage.h"
#include "util/apr_glue.h"

#include <apr_general.h>
#include <apr_hash.h>
#include <apr_strings.h>
#include <svn_string.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int FILE_IDS = 100000; // half of them present at any time
constexpr int DIRS = 100;
constexpr int SUBS = 10; // per directory; 100 files each

using Clock = std::chrono::steady_clock;

double
seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long
peak_rss_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

long long
file_size(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string
dir_path(int d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "trunk/src/d%02d", d);
  return buf;
}

std::string
sub_path(int sub) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "trunk/src/d%02d/s%d", sub / SUBS, sub % SUBS);
  return buf;
}

std::string
file_path(int id) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "trunk/src/d%02d/s%d/file%05d.c", id / 1000,
                (id / 100) % SUBS, id);
  return buf;
}

// Whether `path` existed at `rev`: 1 or 0, or -1 when the question failed.
int
answer_of(path_repo *repo, const char *path, long rev, apr_pool_t *pool) {
  bool exists = false;
  if (path_repo_exists(repo, path, rev, pool, &exists))
    return -1;
  return exists ? 1 : 0;
}

// Toggles four random files: adds the absent ones and deletes the present
// ones. Returns the number of changes.
int
toggle_files(path_repo *repo, std::mt19937 &rng, std::vector<char> &present,
             apr_pool_t *pool) {
  const int changes = 4;
  for (int k = 0; k < changes; ++k) {
    int id = static_cast<int>(rng() % FILE_IDS);
    if (present[id])
      static_cast<void>(path_repo_delete(repo, file_path(id).c_str(), pool));
    else
      static_cast<void>(path_repo_add(repo, file_path(id).c_str()));
    present[id] ^= 1;
  }
  return changes;
}

// Replaces a random subdirectory by an empty one.
void
replace_subdir(path_repo *repo, std::mt19937 &rng, std::vector<char> &present,
               apr_pool_t *pool) {
  int s = static_cast<int>(rng() % (DIRS * SUBS));
  static_cast<void>(path_repo_delete(repo, sub_path(s).c_str(), pool));
  static_cast<void>(path_repo_add(repo, sub_path(s).c_str()));
  for (int id = s * 100; id < s * 100 + 100; ++id)
    present[id] = 0;
}

// Asks whether random files exist, `queries` times, each at the revision
// that `pick` draws just before the file. Returns the number found, or -1
// when a query fails.
template <typename Pick>
int
ask_random_files(path_repo *repo, std::mt19937 &rng, int queries, Pick pick,
                 vh::Pool &iterpool) {
  int found = 0;
  for (int q = 0; q < queries; ++q) {
    iterpool.clear();
    long rev = pick();
    int id = static_cast<int>(rng() % FILE_IDS);
    int answer = answer_of(repo, file_path(id).c_str(), rev, iterpool.get());
    if (answer < 0)
      return -1;
    found += answer;
  }
  return found;
}

bool
bench_paths(const std::string &dir, long revisions, int random_queries,
            long dumped, apr_pool_t *root) {
  path_repo *repo = nullptr;
  if (path_repo_create(dir.c_str(), root, &repo))
    return false;
  std::mt19937 rng(1);
  std::vector<char> present(FILE_IDS, 0);
  vh::Pool iterpool(root);
  long changes = 0;

  auto start = Clock::now();
  // Revision 1: the directories and half of the files.
  for (const char *p : {"trunk", "trunk/src"})
    static_cast<void>(path_repo_add(repo, p));
  for (int d = 0; d < DIRS; ++d)
    static_cast<void>(path_repo_add(repo, dir_path(d).c_str()));
  for (int s = 0; s < DIRS * SUBS; ++s)
    static_cast<void>(path_repo_add(repo, sub_path(s).c_str()));
  for (int id = 0; id < FILE_IDS; ++id)
    if (rng() % 2) {
      present[id] = 1;
      static_cast<void>(path_repo_add(repo, file_path(id).c_str()));
    }
  if (path_repo_commit(repo, 1, iterpool.get()))
    return false;

  long rss_at_10k = 0;
  for (long r = 2; r <= revisions; ++r) {
    iterpool.clear();
    changes += toggle_files(repo, rng, present, iterpool.get());
    // Now and then a subdirectory is replaced by an empty one.
    if (r % 997 == 0)
      replace_subdir(repo, rng, present, iterpool.get());
    if (path_repo_commit(repo, r, iterpool.get()))
      return false;
    if (r == 10000)
      rss_at_10k = peak_rss_kb();
  }
  double commit_secs = seconds_since(start);
  long live = 0;
  for (char p : present)
    live += p;
  std::printf("paths: %ld revisions, %ld file changes, %ld files at the end\n",
              revisions, changes, live);
  std::printf("paths: commits %.2f s, paths.db %lld bytes\n", commit_secs,
              file_size(dir + "/paths.db"));
  std::printf("paths: peak RSS %ld KiB after 10,000 revisions, %ld KiB after "
              "%ld\n",
              rss_at_10k, peak_rss_kb(), revisions);

  // Uniformly random revisions: nearly every query rebuilds a tree.
  start = Clock::now();
  int found = ask_random_files(
      repo, rng, random_queries,
      [&] { return 1 + static_cast<long>(rng() % revisions); }, iterpool);
  if (found < 0)
    return false;
  std::printf("paths: %d queries at random revisions %.2f s (%d found), "
              "peak RSS %ld KiB\n",
              random_queries, seconds_since(start), found, peak_rss_kb());

  // Queries the way the dump asks them: mostly about the previous
  // revision and a few copy sources, so the cache answers.
  start = Clock::now();
  long recent[] = {revisions, revisions - 1, revisions - 1500, revisions / 2};
  found = ask_random_files(
      repo, rng, 10000, [&] { return recent[rng() % 4]; }, iterpool);
  if (found < 0)
    return false;
  std::printf("paths: 10,000 queries at 4 recent revisions %.2f s (%d found)\n",
              seconds_since(start), found);

  // Sanity: the newest revision answers as the model does.
  for (int id = 0; id < FILE_IDS; id += 7) {
    iterpool.clear();
    if (answer_of(repo, file_path(id).c_str(), revisions, iterpool.get()) !=
        present[id]) {
      std::printf("paths: WRONG answer for %s\n", file_path(id).c_str());
      return false;
    }
  }

  // The dump's own pattern: while revision r is dumped, the node dumper and
  // the revision finalisation ask about r - 1, the revision committed last;
  // then r is committed with a few changes.
  start = Clock::now();
  found = 0;
  for (long r = revisions + 1; r <= revisions + dumped; ++r) {
    iterpool.clear();
    for (int q = 0; q < 4; ++q) {
      int id = static_cast<int>(rng() % FILE_IDS);
      int answer =
          answer_of(repo, file_path(id).c_str(), r - 1, iterpool.get());
      if (answer != present[id]) {
        std::printf("paths: WRONG answer for %s at %ld\n",
                    file_path(id).c_str(), r - 1);
        return false;
      }
      found += answer;
    }
    toggle_files(repo, rng, present, iterpool.get());
    if (r % 97 == 0)
      replace_subdir(repo, rng, present, iterpool.get());
    if (path_repo_commit(repo, r, iterpool.get()))
      return false;
  }
  double dump_secs = seconds_since(start);
  std::printf("paths: %ld dumped revisions, each asking 4 queries about the "
              "last commit, %.2f s (%.3f ms per revision, %d found), peak RSS "
              "%ld KiB\n",
              dumped, dump_secs, dumped ? 1000.0 * dump_secs / dumped : 0.0,
              found, peak_rss_kb());
  return true;
}

bool
bench_props(const std::string &dir, apr_pool_t *root) {
  property_storage *ps = nullptr;
  if (property_storage_create(dir.c_str(), root, &ps))
    return false;
  std::mt19937 rng(2);
  vh::Pool iterpool(root);
  const char *eol[] = {"native", "LF", "CRLF"};
  const char *mime[] = {"text/plain", "application/octet-stream", "image/png"};

  auto start = Clock::now();
  for (int i = 1; i <= 100000; ++i) {
    apr_pool_t *pool = iterpool.get();
    const char *path =
        apr_pstrdup(pool, file_path(static_cast<int>(rng() % 50000)).c_str());
    apr_hash_t *props = apr_hash_make(pool);
    // The editor loads a node's properties on open and stores them on
    // close.
    if (property_storage_load(ps, path, props, pool))
      return false;
    apr_hash_set(props, "svn:eol-style", APR_HASH_KEY_STRING,
                 svn_string_create(eol[rng() % 3], pool));
    apr_hash_set(props, "svn:mime-type", APR_HASH_KEY_STRING,
                 svn_string_create(mime[rng() % 3], pool));
    if (rng() % 4 == 0)
      apr_hash_set(props, "custom:owner", APR_HASH_KEY_STRING,
                   svn_string_createf(pool, "user%u",
                                      static_cast<unsigned>(rng() % 200)));
    if (property_storage_store(ps, path, props, pool))
      return false;
    if (i % 100 == 0) {
      if (property_storage_cleanup(ps, pool))
        return false;
      iterpool.clear();
    }
  }
  std::printf("props: 100,000 load+store %.2f s, %u distinct sets live, "
              "%u nodes, props.db %lld bytes, peak RSS %ld KiB\n",
              seconds_since(start), apr_hash_count(ps->records),
              apr_hash_count(ps->references), file_size(dir + "/props.db"),
              peak_rss_kb());
  return true;
}

} // namespace

int
main(int argc, char **argv) {
  long revisions = argc > 1 ? std::atol(argv[1]) : 100000;
  int random_queries = argc > 2 ? std::atoi(argv[2]) : 10000;
  long dumped = argc > 3 ? std::atol(argv[3]) : 20000;
  if (revisions < 2)
    revisions = 2;
  apr_initialize();
  char tmpl[] = "/tmp/vh_bench_XXXXXX";
  if (!mkdtemp(tmpl))
    return 1;
  std::string dir = tmpl;
  bool ok;
  {
    vh::Pool root;
    ok = bench_paths(dir, revisions, random_queries, dumped, root.get()) &&
         bench_props(dir, root.get());
  }
  std::filesystem::remove_all(dir);
  apr_terminate();
  return ok ? 0 : 1;
}
