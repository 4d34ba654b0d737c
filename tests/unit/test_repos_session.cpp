// Session setup against a real repository over file://.
#include "util/diagnostics.h"
#include "repos/session.h"

#include "session_fixture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <apr_hash.h>
#include <svn_pools.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <unistd.h>

namespace {

std::string
command_output(const std::string &cmd) {
  std::string out;
  if (FILE *p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof(buf), p))
      out += buf;
    pclose(p);
  }
  return out;
}

class Session : public vh_test::SessionTest {
protected:
  // One repository for the suite: trunk/, trunk/sub dir/ and the file
  // trunk/sub dir/file.txt in revision 1.
  static void
  SetUpTestSuite() {
    base_dir_.emplace("vh-session");
    base_ = base_dir_->path();
    std::string repo = base_ + "/repo";
    std::string cmd = "svnadmin create '" + repo + "' && echo text > '" +
                      base_ + "/file.txt' && svnmucc -U 'file://" + repo +
                      "' -m init mkdir trunk mkdir 'trunk/sub dir' put '" +
                      base_ + "/file.txt' 'trunk/sub dir/file.txt' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    root_url_ = "file://" + repo;
    uuid_ = command_output("svnlook uuid '" + repo + "'");
    while (!uuid_.empty() && uuid_.back() == '\n')
      uuid_.pop_back();
  }
  static void
  TearDownTestSuite() {
    base_dir_.reset();
  }

  // session_open on `url`; returns whether it failed, and what the report
  // of the failure says in *err.
  bool
  open(const std::string &url, std::string *err = nullptr) {
    url_ = url;
    sess_.url = url_.c_str();
    vh::Error failure = session_open(&sess_);
    const bool failed = static_cast<bool>(failure);
    std::string text = vh_test::reported(std::move(failure));
    if (err)
      *err = text;
    return failed;
  }

  static std::optional<vh_test::TempDir> base_dir_;
  static std::string base_, root_url_, uuid_;
  std::string url_;
};

std::optional<vh_test::TempDir> Session::base_dir_;
std::string Session::base_, Session::root_url_, Session::uuid_;

TEST_F(Session, SubtreePathFromTheUrl) {
  // repos_path is decoded, as the log's changed paths are; the URL stays
  // encoded.
  const struct {
    std::string suffix, repos_path, encoded_path;
  } cases[] = {
      {"", "", ""},
      {"/", "", ""},
      {"/trunk", "trunk", "trunk"},
      {"/trunk/", "trunk", "trunk"},
      {"/trunk/sub dir/", "trunk/sub dir", "trunk/sub%20dir"},
      {"/trunk/sub%20dir", "trunk/sub dir", "trunk/sub%20dir"},
      {"//trunk/./sub dir", "trunk/sub dir", "trunk/sub%20dir"},
  };
  for (const auto &c : cases) {
    ASSERT_FALSE(open(root_url_ + c.suffix)) << c.suffix;
    EXPECT_STREQ(sess_.root, root_url_.c_str());
    EXPECT_EQ(sess_.repos_path, c.repos_path) << c.suffix;
    std::string encoded = root_url_;
    if (!c.encoded_path.empty())
      encoded += "/" + c.encoded_path;
    EXPECT_EQ(sess_.encoded_url, encoded);
    EXPECT_FALSE(session_check_dir(&sess_, 1));
  }
}

TEST_F(Session, CheckDirRejectsAFile) {
  ASSERT_FALSE(open(root_url_ + "/trunk/sub dir/file.txt"));
  vh::Error err = session_check_dir(&sess_, 1);
  ASSERT_TRUE(err);
  EXPECT_FALSE(err.get()->child);
  EXPECT_EQ(vh_test::reported(std::move(err)),
            "ERROR: '" + root_url_ +
                "/trunk/sub%20dir/file.txt' refers to a "
                "file.\n");
  EXPECT_FALSE(session_check_dir(&sess_, 0)); // nothing there yet

  err = session_check_dir(&sess_, 5); // no such revision
  ASSERT_TRUE(err);
  std::string text = vh_test::reported(std::move(err));
  EXPECT_EQ(text.rfind("ERROR: ", 0), 0u) << text;
}

TEST_F(Session, Uuid) {
  ASSERT_FALSE(open(root_url_ + "/trunk"));
  const char *uuid = nullptr;
  ASSERT_FALSE(session_get_uuid(&sess_, &uuid));
  EXPECT_EQ(uuid, uuid_);
}

TEST_F(Session, MissingRepositoryIsReported) {
  std::string err;
  EXPECT_TRUE(open("file://" + base_ + "/missing", &err));
  EXPECT_EQ(err.rfind("ERROR: ", 0), 0u) << err;
  EXPECT_NE(err.find(base_ + "/missing"), std::string::npos) << err;
  EXPECT_EQ(sess_.ra, nullptr);
}

// The repository layer would open "trunk/.." below the root and leave a
// subtree path that nothing in the log matches.
TEST_F(Session, BackPathIsRefused) {
  for (const char *suffix : {"/trunk/..", "/trunk/../trunk", "/../repo"}) {
    std::string err;
    EXPECT_TRUE(open(root_url_ + suffix, &err)) << suffix;
    EXPECT_EQ(err, "ERROR: URL '" + root_url_ + suffix +
                       "' contains a '..' element\n");
  }
}

} // namespace
