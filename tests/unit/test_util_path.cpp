#include "util/path.h"

#include <gtest/gtest.h>

namespace {

struct SkipCase {
  const char *prefix;
  const char *path;
  const char *rest; // null: no match
};

TEST(PathSkipPrefix, Table) {
  const SkipCase cases[] = {
      {"trunk", "trunk/a/b", "a/b"},
      {"trunk", "trunk", ""},
      {"trunk", "trunk//a", "a"},
      {"trunk", "trunk/", ""},
      {"", "/a/b", "a/b"},
      {"", "a", "a"},
      {"", "", ""},
      {"trunk", "branches/x", nullptr},
      {"trunk/a", "trunk", nullptr},
      // A byte prefix, not a component prefix: callers test containment.
      {"a", "ab", "b"},
  };
  for (const SkipCase &c : cases) {
    const char *rest = path_skip_prefix(c.prefix, c.path);
    if (!c.rest)
      EXPECT_EQ(rest, nullptr) << c.prefix << " | " << c.path;
    else
      EXPECT_STREQ(rest, c.rest) << c.prefix << " | " << c.path;
  }
}

struct InsideCase {
  const char *subtree;
  const char *path;
  bool inside;
};

TEST(PathIsInside, Table) {
  const InsideCase cases[] = {
      {"", "anything/at/all", true},
      {"", "", true},
      {"a", "a", true},
      {"a", "a/b", true},
      {"a", "ab", false},
      {"a/b", "a", false},
      {"a/b", "a/bc/d", false},
      {"a/b", "a/b/c", true},
      {"trunk", "", false},
  };
  for (const InsideCase &c : cases)
    EXPECT_EQ(path_is_inside(c.subtree, c.path), c.inside)
        << c.subtree << " | " << c.path;
}

} // namespace
