// Log retrieval: the subtree filter (which changed paths belong to the
// dumped subtree, and under which key) and the three fetches against a real
// repository.
#include "repos/log.h"
#include "repos/session.h"

#include "session_fixture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <apr_hash.h>
#include <svn_pools.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

namespace {

struct key_case {
  const char *repos_path;
  const char *path;
  const char *key; // null: outside the subtree
};

TEST(LogSubtreeKey, Table) {
  const key_case cases[] = {
      {"trunk", "/trunk", ""},
      {"trunk", "/trunk/a/b", "a/b"},
      {"trunk", "/trunkfoo/x", nullptr},
      {"trunk", "/trunk2", nullptr},
      {"trunk", "/trun", nullptr},
      {"trunk", "/", nullptr},
      {"trunk", "", nullptr},
      {"trunk", "/branches/trunk", nullptr},
      {"a/b", "/a/b/c", "c"},
      {"a/b", "/a/bc", nullptr},
      {"a/b", "/a", nullptr},
      {"", "/trunk/a", "trunk/a"},
      {"", "/", ""},
  };
  for (const key_case &c : cases) {
    SCOPED_TRACE(std::string(c.repos_path) + " | " + c.path);
    const char *key = log_subtree_key(c.repos_path, c.path);
    if (!c.key) {
      EXPECT_EQ(key, nullptr);
    } else {
      ASSERT_NE(key, nullptr) << "expected " << c.key;
      EXPECT_STREQ(key, c.key);
    }
  }
}

// Log retrieval against a real repository over file://:
//   r1 trunk/, trunkfoo/, trunk/f                    alice "one"
//   r2 branches/, branches/b copied from trunk@1, trunkfoo/x
//   r3 trunk/f deleted
class Log : public vh_test::SessionTest {
protected:
  static void
  SetUpTestSuite() {
    base_dir_.emplace("vh-log");
    base_ = base_dir_->path();
    std::string repo = base_ + "/repo";
    std::string url = "file://" + repo;
    std::string f = base_ + "/f";
    std::string cmd =
        "svnadmin create '" + repo + "' && echo x > '" + f +
        "' && svnmucc -U '" + url +
        "' --username alice -m one mkdir trunk mkdir trunkfoo put '" + f +
        "' trunk/f >/dev/null && svnmucc -U '" + url +
        "' -m two mkdir branches cp 1 trunk branches/b put '" + f +
        "' trunkfoo/x >/dev/null && svnmucc -U '" + url +
        "' -m three rm trunk/f >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    root_url_ = url;
  }
  static void
  TearDownTestSuite() {
    base_dir_.reset();
  }

  void
  open(const std::string &suffix) {
    url_ = root_url_ + suffix;
    sess_.url = url_.c_str();
    ASSERT_FALSE(session_open(&sess_));
  }

  // "action key[<from@rev]" for every changed path, sorted.
  static std::vector<std::string>
  changes(const log_revision &logrev) {
    std::vector<std::string> out;
    for (apr_hash_index_t *hi = apr_hash_first(nullptr, logrev.changed_paths);
         hi; hi = apr_hash_next(hi)) {
      const void *key = nullptr;
      void *val = nullptr;
      apr_hash_this(hi, &key, nullptr, &val);
      auto *change = static_cast<const svn_log_changed_path2_t *>(val);
      std::string line =
          std::string(1, change->action) + " " + static_cast<const char *>(key);
      if (change->copyfrom_path)
        line += std::string("<") + change->copyfrom_path + "@" +
                std::to_string(change->copyfrom_rev);
      out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  static std::optional<vh_test::TempDir> base_dir_;
  static std::string base_, root_url_;
  std::string url_;
};

std::optional<vh_test::TempDir> Log::base_dir_;
std::string Log::base_, Log::root_url_;

using lines = std::vector<std::string>;

TEST_F(Log, EntriesOfASubtreeKeepOnlyItsPaths) {
  open("/trunk");
  log_revision logrev;
  ASSERT_FALSE(fetch_log_entry(&sess_, 0, 3, &logrev, sess_.pool));
  EXPECT_EQ(logrev.revision, 1);
  EXPECT_STREQ(logrev.author, "alice");
  EXPECT_STREQ(logrev.message, "one");
  EXPECT_NE(logrev.date, nullptr);
  EXPECT_EQ(changes(logrev), (lines{"A ", "A f"}));

  // r2 copies trunk but does not change it.
  ASSERT_FALSE(fetch_log_entry(&sess_, 2, 3, &logrev, sess_.pool));
  EXPECT_EQ(logrev.revision, 3);
  EXPECT_EQ(changes(logrev), (lines{"D f"}));
}

TEST_F(Log, CopySourceStaysRelativeToTheRoot) {
  open("/branches/b");
  log_revision logrev;
  ASSERT_FALSE(fetch_log_entry(&sess_, 0, 3, &logrev, sess_.pool));
  EXPECT_EQ(logrev.revision, 2);
  EXPECT_EQ(changes(logrev), (lines{"A <trunk@1"}));
}

TEST_F(Log, RevisionBounds) {
  const struct {
    const char *suffix;
    svn_revnum_t start, end;
  } cases[] = {{"/trunk", 1, 3}, {"/branches/b", 2, 2}, {"", 0, 3}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.suffix);
    open(c.suffix);
    svn_revnum_t start = 0, end = 3;
    ASSERT_FALSE(find_revision_bounds(&sess_, &start, &end));
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(end, c.end);
  }
}

TEST_F(Log, WholeLogOldestFirst) {
  open("");
  apr_array_header_t *logs =
      apr_array_make(sess_.pool, 1, sizeof(log_revision));
  ASSERT_FALSE(fetch_all_logs(&sess_, 0, 3, logs));
  ASSERT_EQ(logs->nelts, 4);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(APR_ARRAY_IDX(logs, i, log_revision).revision, i);
  // Revision 0 changed nothing: an empty table, not a missing one.
  ASSERT_NE(APR_ARRAY_IDX(logs, 0, log_revision).changed_paths, nullptr);
  EXPECT_EQ(changes(APR_ARRAY_IDX(logs, 0, log_revision)), lines{});
  EXPECT_EQ(changes(APR_ARRAY_IDX(logs, 2, log_revision)),
            (lines{"A branches", "A branches/b<trunk@1", "A trunkfoo/x"}));
}

TEST_F(Log, FailureIsReported) {
  open("/trunk");
  log_revision logrev;
  vh::Error err = fetch_log_entry(&sess_, 0, 9, &logrev, sess_.pool);
  ASSERT_TRUE(err);
  std::string text = vh_test::reported(std::move(err));
  EXPECT_EQ(text.rfind("ERROR: ", 0), 0u) << text;
}

} // namespace
