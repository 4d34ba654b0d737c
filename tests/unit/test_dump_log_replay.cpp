#include "dump/log_replay.h"

#include "obfuscate/obfuscate.h"
#include "test_support.h"
#include "util/apr_glue.h"

#include <apr_general.h>
#include <apr_hash.h>
#include <apr_strings.h>
#include <gtest/gtest.h>
#include <svn_ra.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

int
collect_all(const char *str, void *data) {
  static_cast<Strings *>(data)->push_back(str);
  return 0;
}

// One changed path of a log entry.
struct change {
  const char *path;
  char action;
  const char *copyfrom_path = nullptr;
  svn_revnum_t copyfrom_rev = -1;
};

// A path repository in a fresh temporary directory, a session without a
// server (repos_path "trunk" unless a test changes it) and the log list.
class LogReplay : public testing::Test {
protected:
  void
  SetUp() override {
    char tmpl[] = "/tmp/vh_log_replay_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_FALSE(path_repo_create(dir_.c_str(), root_.get(), &repo_));
    ASSERT_NE(repo_, nullptr);
    sess_.pool = root_.get();
    sess_.repos_path = "trunk";
    obfuscator_init(&sess_.obf, root_.get());
    logs_ = apr_array_make(root_.get(), 8, sizeof(log_revision));
  }
  void
  TearDown() override {
    root_ = vh::Pool();
    std::filesystem::remove_all(dir_);
  }

  // Appends the entry of repository revision `rev` to the log list and
  // replays it as `local` (its position unless given).
  vh::Error
  replay(svn_revnum_t rev, const std::vector<change> &changes,
         svn_revnum_t local = -1) {
    log_revision entry;
    entry.revision = rev;
    entry.changed_paths = apr_hash_make(root_.get());
    for (const change &c : changes) {
      auto *cp = static_cast<svn_log_changed_path2_t *>(
          apr_pcalloc(root_.get(), sizeof(svn_log_changed_path2_t)));
      cp->action = c.action;
      cp->copyfrom_path =
          c.copyfrom_path ? apr_pstrdup(root_.get(), c.copyfrom_path) : nullptr;
      cp->copyfrom_rev = c.copyfrom_rev;
      apr_hash_set(entry.changed_paths, apr_pstrdup(root_.get(), c.path),
                   APR_HASH_KEY_STRING, cp);
    }
    revs_.logs = logs_;
    revs_.subtree = *session_subtree(&sess_) != '\0';
    revs_.keep_revnums = (opts_.flags & DF_KEEP_REVNUMS) != 0;
    int index = revision_map_append(&revs_, entry);
    if (local < 0)
      local = index;
    vh::Pool scratch(root_.get());
    return path_repo_commit_log(repo_, &sess_, &opts_,
                                revision_map_at(&revs_, index), local, &revs_,
                                scratch.get());
  }

  Strings
  tree_at(svn_revnum_t local) {
    vh::Pool scratch(root_.get());
    const critbit_tree *tree = nullptr;
    Strings out;
    if (!pr_cached_tree(repo_, local, scratch.get(), &tree))
      critbit_walk_prefix(tree, "", collect_all, &out);
    return out;
  }

  vh::Pool root_;
  std::string dir_;
  path_repo *repo_ = nullptr;
  session sess_;
  dump_options opts_;
  apr_array_header_t *logs_ = nullptr;
  revision_map revs_;
};

TEST_F(LogReplay, EntryWithoutChangesStillCommitsItsRevision) {
  opts_.flags = DF_KEEP_REVNUMS;
  ASSERT_FALSE(replay(0, {}, 0));
  ASSERT_FALSE(replay(3, {{"", 'A'}, {"a", 'A'}}, 3));
  ASSERT_FALSE(replay(1024, {}, 1024));
  EXPECT_EQ(repo_->last_rev, 1024);
  EXPECT_EQ(tree_at(1024), (Strings{"", "a"}));
}

// A directory is applied before its contents, and a replace removes the
// old contents before the new paths arrive, whatever the map's order.
TEST_F(LogReplay, PathsApplyInOrderAndReplaceDeletesFirst) {
  ASSERT_FALSE(replay(0, {}));
  ASSERT_FALSE(
      replay(1, {{"a/b", 'A'}, {"", 'A'}, {"a", 'A'}, {"a/old", 'A'}}));
  ASSERT_FALSE(replay(2, {{"a/x", 'A'}, {"a", 'R'}, {"m", 'M'}}));
  EXPECT_EQ(tree_at(1), (Strings{"", "a", "a/b", "a/old"}));
  EXPECT_EQ(tree_at(2), (Strings{"", "a", "a/x"}));
  ASSERT_FALSE(replay(3, {{"a", 'D'}}));
  EXPECT_EQ(tree_at(3), Strings{""});
}

// Copies whose source lies inside the dumped directory take their paths
// from the path repository's tree of the source revision.
struct inside_case {
  const char *name;
  const char *repos_path;
  change copy;
  Strings expected; // tree after the copy
};

void
PrintTo(const inside_case &c, std::ostream *os) {
  *os << c.name;
}

class LogReplayInside : public LogReplay,
                        public testing::WithParamInterface<inside_case> {};

TEST_P(LogReplayInside, RecordsTheCopiedTree) {
  const inside_case &c = GetParam();
  sess_.repos_path = c.repos_path;
  ASSERT_FALSE(replay(0, {}));
  ASSERT_FALSE(replay(2, {{"", 'A'},
                       {"src", 'A'},
                       {"src/f", 'A'},
                       {"src/g", 'A'},
                       {"src/g/h", 'A'},
                       {"srcx", 'A'}}));
  ASSERT_FALSE(replay(5, {{"src/late", 'A'}})); // after the copy source
  ASSERT_FALSE(replay(9, {c.copy}));
  Strings base{"", "src", "src/f", "src/g", "src/g/h", "src/late", "srcx"};
  Strings expected = c.expected;
  expected.insert(expected.end(), base.begin(), base.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(tree_at(3), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Copies, LogReplayInside,
    testing::Values(
        inside_case{"Directory",
                    "trunk",
                    {"dst", 'A', "trunk/src", 3},
                    {"dst", "dst/f", "dst/g", "dst/g/h"}},
        inside_case{"WholeRepository",
                    "",
                    {"dst", 'A', "src", 4},
                    {"dst", "dst/f", "dst/g", "dst/g/h"}},
        inside_case{"File", "trunk", {"dst", 'A', "trunk/src/f", 2}, {"dst"}},
        inside_case{
            "SourceMissing", "trunk", {"dst", 'A', "trunk/nope", 2}, {}},
        // The source revision maps to the latest entry at or below it.
        inside_case{"LaterSourceRevision",
                    "trunk",
                    {"dst", 'A', "trunk/src/g", 7},
                    {"dst", "dst/h"}},
        // The dumped directory itself: its paths land below the
        // destination, not glued to its name.
        inside_case{"DumpedDirectoryItself",
                    "trunk",
                    {"dst", 'A', "trunk", 2},
                    {"dst", "dst/src", "dst/src/f", "dst/src/g", "dst/src/g/h",
                     "dst/srcx"}}),
    [](const testing::TestParamInfo<inside_case> &param) {
      return std::string(param.param.name);
    });

TEST_F(LogReplay, ReplaceWithCopyDeletesThenCopies) {
  ASSERT_FALSE(replay(0, {}));
  ASSERT_FALSE(replay(1, {{"", 'A'},
                       {"src", 'A'},
                       {"src/f", 'A'},
                       {"d", 'A'},
                       {"d/old", 'A'}}));
  ASSERT_FALSE(replay(2, {{"d", 'R', "trunk/src", 1}}));
  EXPECT_EQ(tree_at(2), (Strings{"", "d", "d/f", "src", "src/f"}));
}

// With --keep-revnums the entries carry their own revisions and leave gaps;
// the snapshot of a multiple of 1024 inside a gap must still exist, or the
// trees above it would be rebuilt without everything before it.
TEST_F(LogReplay, KeepRevnumsGapOverSnapshotKeepsHistory) {
  opts_.flags = DF_KEEP_REVNUMS;
  ASSERT_FALSE(replay(0, {}, 0));
  ASSERT_FALSE(replay(1000, {{"", 'A'}, {"a", 'A'}, {"a/f", 'A'}}, 1000));
  ASSERT_FALSE(replay(3100, {{"b", 'A'}}, 3100));
  ASSERT_FALSE(replay(3200, {{"c", 'A', "trunk/a", 2500}}, 3200));
  EXPECT_EQ(tree_at(2500), (Strings{"", "a", "a/f"}));
  EXPECT_EQ(tree_at(3100), (Strings{"", "a", "a/f", "b"}));
  EXPECT_EQ(tree_at(3200), (Strings{"", "a", "a/f", "b", "c", "c/f"}));
}

int
run(const std::string &cmd) {
  return std::system((cmd + " > /dev/null").c_str());
}

// One svnmucc commit of the space-separated actions (one argument each, as
// a file of arguments holds them).
int
mucc(const std::string &url, const std::string &actions) {
  char tmpl[] = "/tmp/vh_log_replay_args_XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0)
    return -1;
  std::string args;
  for (char c : actions)
    args += c == ' ' ? '\n' : c;
  args += '\n';
  bool ok =
      write(fd, args.data(), args.size()) == static_cast<ssize_t>(args.size());
  close(fd);
  int rc = ok ? run("svnmucc -U " + url + " -m m -X " + tmpl) : -1;
  unlink(tmpl);
  return rc;
}

// A real repository over file:// for the copies from outside the dumped
// directory, which are listed from the server.
class LogReplayServer : public LogReplay {
protected:
  void
  SetUp() override {
    LogReplay::SetUp();
    std::string repos = dir_ + "/repos";
    std::string url = "file://" + repos;
    // r1 lays out the sources, r2 makes the copies into trunk.
    ASSERT_EQ(run("svnadmin create " + repos), 0);
    ASSERT_EQ(mucc(url, "mkdir trunk mkdir branches mkdir branches/x "
                        "put /dev/null branches/x/f mkdir branches/x/d "
                        "put /dev/null branches/x/d/g mkdir trunk2 "
                        "put /dev/null trunk2/file"),
              0);
    ASSERT_EQ(mucc(url, "cp 1 branches/x trunk/y cp 1 trunk2 trunk/s "
                        "cp 1 trunk2/file trunk/file"),
              0);

    ASSERT_EQ(svn_ra_initialize(root_.get()), nullptr);
    svn_ra_callbacks2_t *callbacks = nullptr;
    ASSERT_EQ(svn_ra_create_callbacks(&callbacks, root_.get()), nullptr);
    svn_error_t *err =
        svn_ra_open5(&sess_.ra, nullptr, nullptr, (url + "/trunk").c_str(),
                     nullptr, callbacks, nullptr, nullptr, root_.get());
    ASSERT_EQ(err, nullptr);
  }
};

TEST_F(LogReplayServer, CopiesFromOutsideAreListedFromTheServer) {
  ASSERT_FALSE(replay(0, {}));
  ASSERT_FALSE(replay(1, {{"", 'A'}}));
  ASSERT_FALSE(replay(2, {{"y", 'A', "branches/x", 1},
                       {"s", 'A', "trunk2", 1}, // a sibling sharing the name
                       {"file", 'A', "trunk2/file", 1}, // a file: stat only
                       {"gone", 'A', "branches/none", 1}}));
  EXPECT_EQ(tree_at(2),
            (Strings{"", "file", "s", "s/file", "y", "y/d", "y/d/g", "y/f"}));
}

// The subtree branches/c/y came with the copy of branches/c in r3: its log
// starts there without an entry for its own paths, which are listed from the
// server.
TEST_F(LogReplayServer, SubtreeThatCameWithItsParentIsListed) {
  ASSERT_EQ(mucc("file://" + dir_ + "/repos", "cp 2 trunk branches/c"), 0);
  ASSERT_EQ(svn_ra_reparent(sess_.ra,
                            ("file://" + dir_ + "/repos/branches/c/y").c_str(),
                            root_.get()),
            nullptr);
  sess_.repos_path = "branches/c/y";
  ASSERT_FALSE(replay(0, {}));
  ASSERT_FALSE(replay(3, {}));
  ASSERT_FALSE(replay(4, {{"d/new", 'A'}})); // later entries: no listing
  EXPECT_EQ(tree_at(1), (Strings{"", "d", "d/g", "f"}));
  EXPECT_EQ(tree_at(2), (Strings{"", "d", "d/g", "d/new", "f"}));
}

TEST_F(LogReplayServer, ServerErrorFailsWithoutCommitting) {
  ASSERT_FALSE(replay(0, {}));
  ASSERT_FALSE(replay(1, {{"", 'A'}}));
  // The server has no revision 7: the chain names the revision above the
  // server's own error.
  vh::Error err = replay(7, {{"y", 'A', "branches/x", 1}});
  ASSERT_TRUE(err);
  EXPECT_STREQ(err.message(), "Error fetching tree for revision 7");
  ASSERT_NE(err.get()->child, nullptr);
  const std::string text = vh_test::reported(std::move(err));
  EXPECT_EQ(text.rfind("ERROR: Error fetching tree for revision 7\nERROR: ", 0),
            0u)
      << text;
  EXPECT_EQ(repo_->last_rev, 1);
}

// With obfuscation the path repository holds words while the server knows
// the real names: the server is asked with the real ones and what it lists
// enters obfuscated, as the editor will name it.
TEST_F(LogReplayServer, ObfuscatedNamesAskTheServerWithRealOnes) {
  sess_.obf.enabled = true;
  apr_pool_t *p = root_.get();
  sess_.repos_path = obfuscate_path(&sess_.obf, p, "trunk");
  ASSERT_FALSE(replay(0, {}));
  ASSERT_FALSE(replay(1, {{"", 'A'}}));
  ASSERT_FALSE(replay(2, {{obfuscate_path(&sess_.obf, p, "y"), 'A',
                        obfuscate_path(&sess_.obf, p, "branches/x"), 1}}));
  Strings expected{""};
  for (const char *real : {"y", "y/d", "y/d/g", "y/f"})
    expected.push_back(obfuscate_path(&sess_.obf, p, real));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(tree_at(2), expected);
}

TEST_F(LogReplayServer, ListTreePutsDirectoriesBeforeTheirContents) {
  vh::Pool scratch(root_.get());
  apr_array_header_t *list =
      apr_array_make(scratch.get(), 4, sizeof(const char *));
  svn_ra_reparent(sess_.ra, ("file://" + dir_ + "/repos").c_str(),
                  scratch.get());
  ASSERT_FALSE(pr_list_tree(list, "branches", 1, &sess_, scratch.get()));
  Strings got;
  for (int i = 0; i < list->nelts; ++i)
    got.push_back(APR_ARRAY_IDX(list, i, const char *));
  auto pos = [&](const char *s) {
    return std::find(got.begin(), got.end(), s) - got.begin();
  };
  ASSERT_EQ(got.size(), 4u);
  EXPECT_LT(pos("branches/x"), pos("branches/x/d"));
  EXPECT_LT(pos("branches/x/d"), pos("branches/x/d/g"));
  EXPECT_LT(pos("branches/x"), pos("branches/x/f"));
}

} // namespace
