#include "history/path_repo.h"

#include "util/record_file.h"
#include "util/apr_glue.h"
#include "util/compress.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// prefix followed by n. Built by appending: GCC 12 at -O3 warns about an
// overlap that cannot happen in `"f" + std::to_string(n)` (a false
// -Wrestrict).
std::string
numbered(const char *prefix, long n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

int
collect_all(const char *str, void *data) {
  static_cast<Strings *>(data)->push_back(str);
  return 0;
}

Strings
contents(const critbit_tree *tree) {
  Strings out;
  critbit_walk_prefix(tree, "", collect_all, &out);
  return out;
}

// A repository in a fresh temporary directory, destroyed with its pool.
class PathRepo : public vh_test::TempDirTest {
protected:
  PathRepo() : TempDirTest("vh_path_repo_") {}

  void
  SetUp() override {
    root_ = vh::Pool();
    ASSERT_FALSE(path_repo_create(dir_.c_str(), root_.get(), &repo_));
    ASSERT_NE(repo_, nullptr);
  }
  void
  TearDown() override {
    root_ = vh::Pool(); // runs the repository's clean-up
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/paths.db"));
  }

  void
  commit(svn_revnum_t rev) {
    vh::Pool scratch(root_.get());
    vh::Error err = path_repo_commit(repo_, rev, scratch.get());
    ASSERT_FALSE(err) << rev << ": " << err.message();
  }
  void
  del(const char *path) {
    vh::Pool scratch(root_.get());
    ASSERT_FALSE(path_repo_delete(repo_, path, scratch.get()));
  }
  // 1 when `path` existed at `rev`, 0 when not, -1 when the question
  // failed (its message then in *message).
  int
  exists(const char *path, svn_revnum_t rev, std::string *message = nullptr) {
    vh::Pool scratch(root_.get());
    bool found = true;
    vh::Error err = path_repo_exists(repo_, path, rev, scratch.get(), &found);
    if (message)
      *message = err.message();
    if (err)
      return found ? -2 : -1; // a failure must leave *exists false
    return found ? 1 : 0;
  }
  Strings
  tree_at(svn_revnum_t rev) {
    vh::Pool scratch(root_.get());
    const critbit_tree *tree = nullptr;
    if (pr_cached_tree(repo_, rev, scratch.get(), &tree))
      return tree ? Strings{"<failed, with a tree>"} : Strings{"<failed>"};
    return contents(tree);
  }
  bool
  has_record(svn_revnum_t rev) {
    std::string key = std::to_string(rev);
    return record_file_contains(repo_->db, key.data(), key.size()) == 1;
  }
  // The uncompressed bytes of the record of `rev`.
  std::string
  record(svn_revnum_t rev) {
    vh::Pool scratch(root_.get());
    std::string key = std::to_string(rev);
    std::size_t len = 0;
    char *block =
        record_file_get(repo_->db, key.data(), key.size(), scratch.get(), &len);
    if (!block)
      return "<absent>";
    std::size_t plain_len = 0;
    EXPECT_TRUE(compress_uncompressed_length({block, len}, &plain_len));
    std::string plain(plain_len, '\0');
    EXPECT_TRUE(compress_uncompress({block, len}, {plain.data(), plain_len}));
    return plain;
  }
  // The tree of `rev` replayed from "paths.db", bypassing the cache.
  Strings
  rebuilt(svn_revnum_t rev) {
    vh::Pool scratch(root_.get());
    critbit_tree tree;
    critbit_init(&tree);
    Strings out = pr_build_tree(repo_, &tree, rev, scratch.get())
                      ? Strings{"<failed>"}
                      : contents(&tree);
    critbit_clear(&tree);
    return out;
  }
  bool
  cached(svn_revnum_t rev) {
    for (int i = 0; i < PR_CACHE_SLOTS; ++i)
      if (APR_ARRAY_IDX(repo_->cache, i, pr_cache_entry).revision == rev)
        return true;
    return false;
  }
  Strings
  slot_revisions() {
    Strings out;
    for (int i = 0; i < PR_CACHE_SLOTS; ++i)
      out.push_back(std::to_string(
          APR_ARRAY_IDX(repo_->cache, i, pr_cache_entry).revision));
    return out;
  }

  vh::Pool root_;
  const std::string &dir_ = tmp_.path();
  path_repo *repo_ = nullptr;
};

TEST_F(PathRepo, DeleteTakesPathsBelowButNotSiblingsWithTheSamePrefix) {
  for (const char *p : {"a", "a/b", "ab", "a!"})
    ASSERT_FALSE(path_repo_add(repo_, p));
  commit(1);
  del("a");
  commit(2);
  EXPECT_EQ(record(2), std::string("-a\0-a/b\0", 8));
  EXPECT_EQ(tree_at(2), (Strings{"a!", "ab"}));
  EXPECT_EQ(tree_at(1), (Strings{"a", "a!", "a/b", "ab"}));
  // Paths below are deleted even when the path itself is gone.
  ASSERT_FALSE(path_repo_add(repo_, "c/d"));
  del("c");
  del("nothing");
  commit(3);
  EXPECT_EQ(record(3), std::string("+c/d\0-c/d\0", 10));
}

TEST_F(PathRepo, AddOfPresentPathFailsButIsRecorded) {
  ASSERT_FALSE(path_repo_add(repo_, "f"));
  vh::Error err = path_repo_add(repo_, "f");
  ASSERT_TRUE(err);
  EXPECT_STREQ(err.message(), "Path 'f' is already present");
  EXPECT_EQ(repo_->changes->nelts, 2);
  EXPECT_EQ(repo_->changes_size, 6);
  commit(1);
  EXPECT_EQ(record(1), std::string("+f\0+f\0", 6));
  EXPECT_EQ(repo_->changes->nelts, 0);
  EXPECT_EQ(repo_->changes_size, 0);
  EXPECT_EQ(tree_at(1), Strings{"f"});
}

TEST_F(PathRepo, WhichCommitsWriteRecords) {
  commit(0); // nothing pending: no record, and 0 is never a snapshot
  EXPECT_FALSE(has_record(0));
  ASSERT_FALSE(path_repo_add(repo_, ""));
  ASSERT_FALSE(path_repo_add(repo_, "x"));
  commit(1);
  EXPECT_TRUE(has_record(1));
  for (svn_revnum_t r = 2; r < 1024; ++r)
    commit(r);
  EXPECT_FALSE(has_record(2));
  EXPECT_FALSE(has_record(1023));
  EXPECT_EQ(repo_->last_rev, 1023);
  commit(1024); // a snapshot even without pending changes
  EXPECT_EQ(record(1024), std::string("+\0+x\0", 5));
  EXPECT_EQ(tree_at(1023), tree_at(2));
  EXPECT_EQ(tree_at(1024), (Strings{"", "x"}));
}

TEST_F(PathRepo, EmptySnapshotRebuildsToEmptyTree) {
  ASSERT_FALSE(path_repo_add(repo_, "gone"));
  commit(1000);
  del("gone");
  commit(1024);
  EXPECT_EQ(record(1024), "");
  EXPECT_EQ(tree_at(1024), Strings{});
  EXPECT_EQ(tree_at(1000), Strings{"gone"});
}

// A history long enough to cross two snapshots: revision r adds "d/<r>",
// every 7th revision deletes an earlier path, every 10th changes nothing
// (2048 among them, so that snapshot holds no pending changes of its own).
TEST_F(PathRepo, RebuildsAgreeWithHistoryAcrossSnapshotBoundaries) {
  const std::set<svn_revnum_t> probes = {0,    1,    5,    1022, 1023, 1024,
                                         1025, 1030, 2047, 2048, 2049, 2100};
  std::set<std::string> model;
  std::map<svn_revnum_t, Strings> expected;
  for (svn_revnum_t r = 0; r <= 2100; ++r) {
    if (r % 10 != 8) {
      std::string p = "d/" + std::to_string(r);
      model.insert(p);
      ASSERT_FALSE(path_repo_add(repo_, p.c_str()));
    }
    if (r % 7 == 0 && r > 20) {
      std::string p = "d/" + std::to_string(r - 13);
      model.erase(p);
      del(p.c_str());
    }
    commit(r);
    if (probes.count(r))
      expected[r] = Strings(model.begin(), model.end());
  }
  for (auto &[rev, paths] : expected)
    EXPECT_EQ(tree_at(rev), paths) << rev;
  // Records below a snapshot are not needed to rebuild above it.
  for (svn_revnum_t r = 0; r < 1024; ++r) {
    std::string key = std::to_string(r);
    record_file_remove(repo_->db, key.data(), key.size());
  }
  for (svn_revnum_t rev : {1024, 1030, 2047}) {
    auto before = repo_->db->seeks;
    vh::Pool scratch(root_.get());
    critbit_tree tree;
    critbit_init(&tree);
    ASSERT_FALSE(pr_build_tree(repo_, &tree, rev, scratch.get()));
    EXPECT_EQ(contents(&tree), expected.count(rev) ? expected[rev] : Strings{})
        << rev;
    // The run from the snapshot is read sequentially: one seek at most.
    EXPECT_LE(repo_->db->seeks - before, 1u) << rev;
    critbit_clear(&tree);
  }
}

// Revisions that were never committed (kept revision numbers in a
// subdirectory's log replay) leave gaps; a gap over a multiple of 1024
// leaves no snapshot there, and the rebuild must still see every path.
TEST_F(PathRepo, UncommittedMultipleOf1024StillRebuildsWholeTree) {
  ASSERT_FALSE(path_repo_add(repo_, "old"));
  commit(5);
  ASSERT_FALSE(path_repo_add(repo_, "mid"));
  commit(1023);
  ASSERT_FALSE(path_repo_add(repo_, "new"));
  commit(1025); // 1024 was skipped
  EXPECT_FALSE(has_record(1024));
  commit(1026);
  EXPECT_EQ(tree_at(1026), (Strings{"mid", "new", "old"}));
  EXPECT_EQ(tree_at(1023), (Strings{"mid", "old"}));
  // Neither 2048 nor 3072 was committed: the replay starts at 0.
  commit(3000);
  ASSERT_FALSE(path_repo_add(repo_, "late"));
  commit(3100);
  EXPECT_EQ(tree_at(3100), (Strings{"late", "mid", "new", "old"}));
  commit(4096);
  del("old");
  commit(4097);
  EXPECT_EQ(tree_at(4097), (Strings{"late", "mid", "new"}));
}

TEST_F(PathRepo, CacheSlotsAreReusedInTurn) {
  for (svn_revnum_t r = 1; r <= 5; ++r) {
    ASSERT_FALSE(path_repo_add(repo_, numbered("f", r).c_str()));
    commit(r);
  }
  for (svn_revnum_t r = 1; r <= 4; ++r)
    EXPECT_EQ(exists("f1", r), 1);
  EXPECT_EQ(slot_revisions(), (Strings{"1", "2", "3", "4"}));
  EXPECT_EQ(exists("f5", 5), 1); // the fifth query replaces the first slot
  EXPECT_EQ(slot_revisions(), (Strings{"5", "2", "3", "4"}));
  EXPECT_EQ(exists("f3", 3), 1); // a hit changes nothing
  EXPECT_EQ(slot_revisions(), (Strings{"5", "2", "3", "4"}));
  EXPECT_EQ(exists("f2", 1), 0); // the first revision is rebuilt again
  EXPECT_EQ(slot_revisions(), (Strings{"5", "1", "3", "4"}));
  EXPECT_EQ(repo_->cache_next, 2);
  // Negative revisions answer 0 without touching the cache.
  EXPECT_EQ(exists("f1", -1), 0);
  EXPECT_EQ(slot_revisions(), (Strings{"5", "1", "3", "4"}));
  EXPECT_EQ(repo_->cache_next, 2);
}

TEST_F(PathRepo, CheckParentJoinsWithSlash) {
  for (const char *p : {"a", "a/b", "a/b/c"})
    ASSERT_FALSE(path_repo_add(repo_, p));
  commit(1);
  struct {
    const char *parent, *name;
    int answer;
  } cases[] = {
      {"a", "b", 1}, {"a/b", "c", 1}, {"a", "c", 0},
      {"", "a", 1}, // directly in the dumped directory: the bare name
      {"", "b", 0},  {"a", "", 0},
  };
  for (const auto &c : cases) {
    vh::Pool scratch(root_.get());
    bool found = !c.answer;
    EXPECT_FALSE(path_repo_check_parent(repo_, c.parent, c.name, 1,
                                        scratch.get(), &found));
    EXPECT_EQ(found, c.answer == 1) << c.parent << " " << c.name;
  }
}

TEST_F(PathRepo, DiscardRestoresTreeOfLastCommit) {
  for (const char *p : {"a", "a/b", "c"})
    ASSERT_FALSE(path_repo_add(repo_, p));
  commit(3);
  ASSERT_FALSE(path_repo_add(repo_, "new"));
  del("a");
  vh::Pool scratch(root_.get());
  ASSERT_FALSE(path_repo_discard(repo_, scratch.get()));
  EXPECT_EQ(contents(&repo_->tree), (Strings{"a", "a/b", "c"}));
  EXPECT_EQ(repo_->changes->nelts, 0);
  EXPECT_EQ(repo_->changes_size, 0);
  commit(4); // nothing left pending
  EXPECT_FALSE(has_record(4));
  EXPECT_EQ(tree_at(4), (Strings{"a", "a/b", "c"}));
}

// Damage to "paths.db" fails the rebuild; the slot being filled must not
// answer later queries from its partial replay.
TEST_F(PathRepo, FailedRebuildNeverAnswersLater) {
  enum class Damage { bad_block, cut_file };
  for (Damage damage : {Damage::bad_block, Damage::cut_file}) {
    TearDown();
    SetUp();
    for (svn_revnum_t r = 1; r <= 5; ++r) {
      ASSERT_FALSE(path_repo_add(repo_, numbered("f", r).c_str()));
      commit(r);
    }
    for (svn_revnum_t r : {1, 2, 4, 5})
      ASSERT_EQ(exists("f1", r), 1);
    ASSERT_EQ(slot_revisions(), (Strings{"1", "2", "4", "5"}));
    if (damage == Damage::bad_block) {
      ASSERT_FALSE(record_file_put(repo_->db, "3", 1, "\xff\xff\xff", 3));
    } else {
      std::fflush(repo_->db->stream.get());
      ASSERT_EQ(::truncate(repo_->db->path, 12), 0); // keeps "+f1\0" .. only
    }
    std::string message;
    EXPECT_EQ(exists("f1", 3, &message), -1);
    EXPECT_EQ(message, damage == Damage::cut_file
                           ? "Error fetching tree delta for revision 3"
                           : "Error decoding tree delta for revision 3");
    // Slot 0 held revision 1 and took the partial replay of 1 and 2.
    EXPECT_EQ(slot_revisions(), (Strings{"-1", "2", "4", "5"}));
    EXPECT_TRUE(
        critbit_empty(&APR_ARRAY_IDX(repo_->cache, 0, pr_cache_entry).tree));
    EXPECT_EQ(repo_->cache_next, 0);
    EXPECT_EQ(exists("f2", 1), 0);
    EXPECT_EQ(exists("f1", 3), -1);
  }
}

// The dump asks about the revision committed last for nearly every
// revision: once rebuilt, commits carry that tree forward, and it must answer
// exactly as a replay of "paths.db" does, through deletions of whole
// directories, re-adds, replaces, discards, gaps and snapshots.
TEST_F(PathRepo, TreeOfLastCommitStaysCachedAndExact) {
  std::mt19937 rng(11);
  auto pick = [&](int n) { return static_cast<int>(rng() % n); };
  auto random_path = [&]() {
    std::string p = numbered("d", pick(6));
    for (int depth = pick(4); depth > 0; --depth) {
      p += '/';
      p += static_cast<char>('a' + pick(3));
    }
    return p;
  };
  std::vector<svn_revnum_t> committed;
  svn_revnum_t rev = 0;
  while (committed.size() < 1500) {
    int changes = pick(6);
    for (int k = 0; k < changes; ++k) {
      std::string p = random_path();
      switch (pick(6)) {
      case 0: // delete, often a whole directory
        del(p.c_str());
        break;
      case 1: // replace: delete and add again in the same revision
        del(p.c_str());
        static_cast<void>(path_repo_add(repo_, p.c_str()));
        static_cast<void>(path_repo_add(repo_, (p + "/x").c_str()));
        break;
      default: // add; a path already present is recorded all the same
        static_cast<void>(path_repo_add(repo_, p.c_str()));
      }
    }
    if (pick(8) == 0) {
      vh::Pool scratch(root_.get());
      ASSERT_FALSE(path_repo_discard(repo_, scratch.get()));
      ASSERT_EQ(contents(&repo_->tree), rebuilt(repo_->last_rev));
    }
    // Mostly the next revision, now and then a gap (across a multiple of
    // 1024 too), or the multiple of 1024 itself.
    int step = pick(200);
    if (step < 10)
      rev += 1 + pick(30);
    else if (step == 10)
      rev = (rev | 1023) + 1;
    else
      ++rev;
    commit(rev);
    committed.push_back(rev);
    ASSERT_EQ(contents(&repo_->tree), rebuilt(rev)) << rev;
    if (committed.size() > 1) { // no rebuild for the last commit
      ASSERT_TRUE(cached(rev)) << rev;
    }
    ASSERT_EQ(tree_at(rev), rebuilt(rev)) << rev;
    // Copy sources at earlier revisions take the other slots.
    if (pick(3) == 0) {
      svn_revnum_t old = committed[pick(static_cast<int>(committed.size()))];
      ASSERT_EQ(tree_at(old), rebuilt(old)) << old;
      ASSERT_TRUE(cached(rev)) << rev;
    }
  }
}

TEST_F(PathRepo, TreeOfLastCommitOutlivesOtherQueries) {
  for (svn_revnum_t r = 1; r <= 6; ++r) {
    ASSERT_FALSE(path_repo_add(repo_, numbered("f", r).c_str()));
    commit(r);
  }
  EXPECT_EQ(exists("f6", 6), 1);
  for (svn_revnum_t r = 1; r <= 5; ++r)
    EXPECT_EQ(exists("f6", r), 0);
  EXPECT_TRUE(cached(6));
  EXPECT_EQ(slot_revisions(), (Strings{"6", "4", "5", "3"}));
  // A commit without changes only relabels it; a discard copies it.
  commit(7);
  EXPECT_EQ(slot_revisions(), (Strings{"7", "4", "5", "3"}));
  ASSERT_FALSE(path_repo_add(repo_, "g"));
  del("f1");
  vh::Pool scratch(root_.get());
  ASSERT_FALSE(path_repo_discard(repo_, scratch.get()));
  EXPECT_EQ(contents(&repo_->tree), rebuilt(7));
}

// A tree rebuilt for a revision before it was committed lacks that
// revision's changes: the commit must not leave it answering.
TEST_F(PathRepo, CommitDropsTreesRebuiltAheadOfIt) {
  ASSERT_FALSE(path_repo_add(repo_, "a"));
  commit(5);
  EXPECT_EQ(exists("a", 5), 1);
  EXPECT_EQ(exists("b", 7), 0); // 7 is not committed yet
  EXPECT_EQ(exists("b", 9), 0);
  ASSERT_FALSE(path_repo_add(repo_, "b"));
  commit(7);
  EXPECT_EQ(slot_revisions(), (Strings{"7", "-1", "-1", "-1"}));
  EXPECT_EQ(exists("b", 7), 1);
  EXPECT_EQ(exists("b", 9), 1);
  EXPECT_EQ(exists("b", 6), 0);
  // A commit below the last one drops what was cached at or above it.
  ASSERT_FALSE(path_repo_add(repo_, "c"));
  commit(6);
  EXPECT_EQ(tree_at(6), (Strings{"a", "c"}));
  EXPECT_EQ(exists("c", 9), 1);
  EXPECT_EQ(tree_at(7), rebuilt(7));
}

TEST(PathRepoCreate, FailsWhenTheDatabaseCannotBeCreated) {
  vh::Pool pool;
  path_repo dummy{};
  path_repo *repo = &dummy; // must be reset
  vh::Error err = path_repo_create("/nonexistent/vornhald", pool.get(), &repo);
  ASSERT_TRUE(err);
  EXPECT_EQ(repo, nullptr);
  EXPECT_EQ(err.get()->apr_err, APR_FROM_OS_ERROR(ENOENT));
  EXPECT_EQ(vh_test::reported(std::move(err)),
            "ERROR: Error creating path database (No such file or "
            "directory)\n");
}

// A store that cannot be written ("paths.db" on a full device) fails the
// commit and leaves the pending changes and `last_rev` as they were.
TEST_F(PathRepo, FailedStoreKeepsPendingChanges) {
  if (!std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full";
  root_ = vh::Pool();
  std::filesystem::create_symlink("/dev/full", dir_ + "/paths.db");
  ASSERT_FALSE(path_repo_create(dir_.c_str(), root_.get(), &repo_));
  ASSERT_NE(repo_, nullptr);
  // Incompressible paths, so the record outgrows the stream's buffer and
  // the write itself fails.
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i)
    ASSERT_FALSE(path_repo_add(repo_, std::to_string(rng()).c_str()));
  std::int32_t size = repo_->changes_size;
  {
    vh::Pool scratch(root_.get());
    vh::Error err = path_repo_commit(repo_, 7, scratch.get());
    ASSERT_TRUE(err);
    // The record file's own error, naming the file, below the revision.
    EXPECT_EQ(vh_test::reported(std::move(err)),
              "ERROR: Error storing paths for revision 7\n"
              "ERROR: Can't write to '" + dir_ + "/paths.db': " +
                  std::strerror(ENOSPC) + "\n");
  }
  EXPECT_EQ(repo_->last_rev, 0);
  EXPECT_EQ(repo_->changes->nelts, 2000);
  EXPECT_EQ(repo_->changes_size, size);
  root_ = vh::Pool();
  std::filesystem::remove(dir_ + "/paths.db");
}

} // namespace
