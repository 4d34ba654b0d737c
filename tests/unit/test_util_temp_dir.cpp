#include "util/temp_dir.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <svn_pools.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(RemoveTree, RemovesContentsAndNeverFollowsLinks) {
  apr_pool_t *pool = svn_pool_create(nullptr);
  char base[] = "/tmp/vh-rmtreeXXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  std::string b = base;
  std::string keep = b + "/keep";
  std::string tree = b + "/tree";
  ASSERT_EQ(mkdir(keep.c_str(), 0700), 0);
  std::ofstream(keep + "/precious") << "x";
  ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/td").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/td/deep").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/.hidden").c_str(), 0700), 0);
  std::ofstream(tree + "/paths.db") << "data";
  std::ofstream(tree + "/td/deep/f") << "data";
  ASSERT_EQ(symlink(keep.c_str(), (tree + "/link").c_str()), 0);

  remove_tree(pool, tree.c_str(), false);
  struct stat st;
  EXPECT_EQ(stat(tree.c_str(), &st), 0) << "kept without remove-self";
  EXPECT_NE(stat((tree + "/td").c_str(), &st), 0);
  EXPECT_NE(lstat((tree + "/link").c_str(), &st), 0);
  EXPECT_EQ(stat((keep + "/precious").c_str(), &st), 0);
  EXPECT_EQ(rmdir(tree.c_str()), 0) << "left empty";

  remove_tree(pool, (b + "/missing").c_str(), true); // nothing to do

  remove_tree(pool, base, true);
  EXPECT_NE(stat(base, &st), 0);
  svn_pool_destroy(pool);
}

} // namespace
