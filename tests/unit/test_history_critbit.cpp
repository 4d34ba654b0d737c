#include "history/critbit.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// Owns a tree for one test and releases it at the end.
struct Tree {
  critbit_tree t;
  Tree() { critbit_init(&t); }
  ~Tree() { critbit_clear(&t); }
  Tree(const Tree &) = delete;
  Tree &operator=(const Tree &) = delete;
};

int
collect(const char *str, void *data) {
  static_cast<std::vector<std::string> *>(data)->push_back(str);
  return 0;
}

std::vector<std::string>
walk(const critbit_tree *tree, const char *prefix) {
  std::vector<std::string> out;
  EXPECT_EQ(critbit_walk_prefix(tree, prefix, collect, &out), 0);
  return out;
}

using Strings = std::vector<std::string>;

struct WalkCase {
  Strings stored;
  const char *prefix;
  Strings visited;
};

class CritbitWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(CritbitWalk, VisitsMatchingStringsInAscendingOrder) {
  const WalkCase &c = GetParam();
  Tree tree;
  for (const auto &s : c.stored)
    ASSERT_EQ(critbit_insert(&tree.t, s.c_str()), CRITBIT_INSERTED) << s;
  EXPECT_EQ(walk(&tree.t, c.prefix), c.visited);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CritbitWalk,
    testing::Values(
        // The walk is byte-wise: "ab" continues "a" as much as "a/b" does.
        WalkCase{{"b", "ab", "a/b", "a"}, "a", {"a", "a/b", "ab"}},
        WalkCase{{"a/b", "a"}, "a", {"a", "a/b"}},
        WalkCase{{"x", "", "a"}, "", {"", "a", "x"}},
        // A single stored string is the root; the prefix misses it.
        WalkCase{{"b/c"}, "x", {}}, WalkCase{{"b/c"}, "b/c", {"b/c"}},
        WalkCase{{"b/c"}, "b/cd", {}}, WalkCase{{}, "", {}},
        WalkCase{{"trunk/a", "trunk", "trunk2", "tags/1", "trunk/a/b"},
                 "trunk/",
                 {"trunk/a", "trunk/a/b"}},
        // Bytes compare unsigned: 0xC3 sorts after every ASCII byte.
        WalkCase{{"\xC3\xA9", "z", "e"}, "", {"e", "z", "\xC3\xA9"}}));

TEST(Critbit, InsertContainsDeleteResults) {
  Tree tree;
  EXPECT_EQ(critbit_contains(&tree.t, ""), 0);
  EXPECT_EQ(critbit_delete(&tree.t, "a"), 1);
  EXPECT_EQ(critbit_insert(&tree.t, "a"), CRITBIT_INSERTED);
  EXPECT_EQ(critbit_insert(&tree.t, "a"), CRITBIT_PRESENT);
  EXPECT_EQ(critbit_contains(&tree.t, "a"), 1);
  EXPECT_EQ(critbit_contains(&tree.t, "ab"), 0);
  EXPECT_EQ(critbit_contains(&tree.t, ""), 0);
  EXPECT_EQ(critbit_insert(&tree.t, ""), CRITBIT_INSERTED);
  EXPECT_EQ(critbit_contains(&tree.t, ""), 1);
  EXPECT_EQ(critbit_delete(&tree.t, "b"), 1);
  EXPECT_EQ(critbit_delete(&tree.t, "a"), 0);
  EXPECT_EQ(critbit_delete(&tree.t, "a"), 1);
  EXPECT_EQ(critbit_delete(&tree.t, ""), 0);
  EXPECT_TRUE(critbit_empty(&tree.t));
}

TEST(Critbit, ClearEmptiesAndTreeIsReusable) {
  Tree tree;
  critbit_clear(&tree.t);
  EXPECT_TRUE(critbit_empty(&tree.t));
  for (const char *s : {"a", "a/b", "c"})
    ASSERT_EQ(critbit_insert(&tree.t, s), CRITBIT_INSERTED);
  critbit_clear(&tree.t);
  EXPECT_TRUE(critbit_empty(&tree.t));
  EXPECT_EQ(critbit_contains(&tree.t, "a"), 0);
  EXPECT_EQ(critbit_insert(&tree.t, "c"), CRITBIT_INSERTED);
  EXPECT_EQ(walk(&tree.t, ""), Strings{"c"});
}

TEST(Critbit, StoredStringIsACopy) {
  Tree tree;
  std::string s = "dir/file";
  ASSERT_EQ(critbit_insert(&tree.t, s.c_str()), CRITBIT_INSERTED);
  s[0] = 'X';
  EXPECT_EQ(critbit_contains(&tree.t, "dir/file"), 1);
}

struct StopAt {
  int calls = 0;
};

int
stop_on_second(const char *, void *data) {
  return ++static_cast<StopAt *>(data)->calls == 2 ? 7 : 0;
}

TEST(Critbit, WalkStopsAtFirstNonzeroResult) {
  Tree tree;
  for (const char *s : {"a", "b", "c", "d"})
    ASSERT_EQ(critbit_insert(&tree.t, s), CRITBIT_INSERTED);
  StopAt stop;
  EXPECT_EQ(critbit_walk_prefix(&tree.t, "", stop_on_second, &stop), 7);
  EXPECT_EQ(stop.calls, 2);
}

// An allocator that fails once its budget of successful calls is spent.
struct Budget {
  int left;
  int live = 0;
};

void *
budget_alloc(std::size_t alignment, std::size_t size, void *data) {
  auto *b = static_cast<Budget *>(data);
  if (b->left == 0)
    return nullptr;
  --b->left;
  void *mem = nullptr;
  if (posix_memalign(&mem, alignment, size) != 0)
    return nullptr;
  ++b->live;
  return mem;
}

void
budget_dealloc(void *mem, void *data) {
  --static_cast<Budget *>(data)->live;
  std::free(mem);
}

TEST(Critbit, FailedAllocationLeavesTreeUnchanged) {
  // Budgets: 0 fails the node, 1 fails the string after the node.
  for (int budget : {0, 1}) {
    Budget b{1 + 2};
    critbit_tree t;
    critbit_init(&t);
    t.alloc = budget_alloc;
    t.dealloc = budget_dealloc;
    t.user_data = &b;
    ASSERT_EQ(critbit_insert(&t, "a"), CRITBIT_INSERTED);
    ASSERT_EQ(critbit_insert(&t, "b"), CRITBIT_INSERTED);
    b.left = budget;
    EXPECT_EQ(critbit_insert(&t, "c"), CRITBIT_NO_MEMORY) << budget;
    EXPECT_EQ(b.live, 3) << budget;
    EXPECT_EQ(walk(&t, ""), (Strings{"a", "b"})) << budget;
    critbit_clear(&t);
    EXPECT_EQ(b.live, 0);
  }
  Budget b{0};
  critbit_tree t;
  critbit_init(&t);
  t.alloc = budget_alloc;
  t.dealloc = budget_dealloc;
  t.user_data = &b;
  EXPECT_EQ(critbit_insert(&t, "first"), CRITBIT_NO_MEMORY);
  EXPECT_TRUE(critbit_empty(&t));
}

// Random paths over a small alphabet, so that prefixes, shared components
// and "a" vs "ab" collisions are frequent; checked against std::set.
TEST(Critbit, AgreesWithOrderedSetUnderRandomOperations) {
  std::mt19937 rng(20261210);
  const char alphabet[] = {'a', 'b', '/', '\xff', '0'};
  auto random_string = [&] {
    std::string s;
    for (int n = rng() % 6; n > 0; --n)
      s += alphabet[rng() % sizeof alphabet];
    return s;
  };
  Tree tree;
  std::set<std::string> model;
  for (int i = 0; i < 20000; ++i) {
    std::string s = random_string();
    switch (rng() % 3) {
    case 0:
    case 1:
      ASSERT_EQ(critbit_insert(&tree.t, s.c_str()),
                model.insert(s).second ? CRITBIT_INSERTED : CRITBIT_PRESENT);
      break;
    default:
      ASSERT_EQ(critbit_delete(&tree.t, s.c_str()), model.erase(s) ? 0 : 1);
    }
    ASSERT_EQ(critbit_contains(&tree.t, s.c_str()), model.count(s) ? 1 : 0);
    if (i % 500 == 0) {
      std::string prefix = random_string().substr(0, 2);
      Strings expected;
      for (const auto &m : model)
        if (m.compare(0, prefix.size(), prefix) == 0)
          expected.push_back(m);
      ASSERT_EQ(walk(&tree.t, prefix.c_str()), expected) << prefix;
    }
  }
  EXPECT_EQ(walk(&tree.t, ""), Strings(model.begin(), model.end()));
}

} // namespace
