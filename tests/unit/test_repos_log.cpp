// The subtree filter of the log: which changed paths belong to the dumped
// subtree, and under which key.
#include "repos/log.h"

#include <gtest/gtest.h>

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

} // namespace
