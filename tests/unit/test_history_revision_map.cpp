#include "history/revision_map.h"

#include "test_support.h"
#include "util/apr_glue.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

constexpr unsigned KEEP = 1; // --keep-revnums

revision_map *
make_map(apr_pool_t *pool, std::initializer_list<svn_revnum_t> revisions,
         bool keep_revnums) {
  revision_map *map = revision_map_make(pool, false, keep_revnums);
  for (svn_revnum_t r : revisions) {
    log_revision entry;
    entry.revision = r;
    revision_map_append(map, entry);
  }
  return map;
}

struct LocalCase {
  const char *what;
  std::initializer_list<svn_revnum_t> logs; // the last is being dumped
  unsigned flags;
  svn_revnum_t copyfrom_rev;
  svn_revnum_t expected;
};

const LocalCase local_cases[] = {
    {"subdirectory, exact", {0, 3, 5, 9, 12}, 0, 5, 2},
    {"subdirectory, between: the latest below", {0, 3, 5, 9, 12}, 0, 7, 2},
    {"subdirectory, after the last examined", {0, 3, 5, 9, 12}, 0, 11, 3},
    {"subdirectory, before the first change", {0, 3, 5, 9, 12}, 0, 2, 0},
    {"the entry being dumped is never used", {0, 3, 5}, 0, 5, 1},
    {"keep-revnums returns the revision", {0, 3, 5}, KEEP, 4, 4},
    // A whole-repository dump from 7 numbers revision 7 as 1.
    {"whole repository from 7", {7, 8, 9, 10}, 0, 7, 1},
    {"whole repository from 7, later", {7, 8, 9, 10}, 0, 9, 3},
    {"whole repository from 7, before it", {7, 8, 9, 10}, 0, 6, -1},
    {"whole repository from 0", {0, 1, 2, 3}, 0, 2, 2},
    {"a list of one entry", {4}, 0, 2, -1},
};

TEST(RevisionMap, LocalOfTranslatesIntoTheDumpsNumbering) {
  vh::Pool pool;
  for (const LocalCase &c : local_cases) {
    revision_map *map = make_map(pool.get(), c.logs, c.flags & KEEP);
    EXPECT_EQ(c.expected, revision_map_local_of(map, c.copyfrom_rev))
        << c.what;
  }
}

// As the dump stood when an earlier entry was dumped: only the entries
// before it count.
TEST(RevisionMap, LocalOfAnEarlierEntry) {
  vh::Pool pool;
  revision_map *map = make_map(pool.get(), {0, 3, 5, 9, 12}, false);
  EXPECT_EQ(1, revision_map_local_of(map, 11, revision_map_index_at(map, 5)));
  EXPECT_EQ(2, revision_map_index_at(map, 6));
  EXPECT_EQ(4, revision_map_index_at(map, 99));
}

TEST(RevisionMap, SubtreeStartsWithThePlaceholder) {
  vh::Pool pool;
  revision_map *map = revision_map_make(pool.get(), true, false);
  EXPECT_EQ(1, revision_map_count(map));
  EXPECT_EQ(0, revision_map_at(map, 0)->revision);
  EXPECT_EQ(1, revision_map_first_index(map));
  EXPECT_EQ(7, revision_map_first_dumped(map, 7)); // nothing dumped yet
  log_revision entry;
  entry.revision = 12;
  EXPECT_EQ(1, revision_map_append(map, entry));
  EXPECT_TRUE(revision_map_starts_run(map, 1));
  EXPECT_EQ(12, revision_map_first_dumped(map, 7));
  EXPECT_EQ(12, revision_map_first_dumped(map, 0));
  EXPECT_EQ(14, revision_map_first_dumped(map, 14));
  entry.revision = 15;
  EXPECT_FALSE(revision_map_starts_run(map, revision_map_append(map, entry)));
}

} // namespace
