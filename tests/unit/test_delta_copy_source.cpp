// Copy-source resolution: the translation of repository revisions into the
// dump's numbering and the decision whether a copy is kept; and the
// temporary files of the editor.
#include "delta/copy_source.h"
#include "delta/editor.h"

#include "util/apr_glue.h"

#include "test_support.h"

#include <apr_file_info.h>
#include <apr_strings.h>
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

namespace {

// A revision map holding exactly `revisions` (for a subtree, the first is
// the placeholder's 0).
revision_map *
make_map(apr_pool_t *pool, std::initializer_list<svn_revnum_t> revisions,
         bool subtree, bool keep_revnums) {
  revision_map *map = revision_map_make(pool, false, keep_revnums);
  map->subtree = subtree;
  for (svn_revnum_t r : revisions) {
    log_revision entry;
    entry.revision = r;
    revision_map_append(map, entry);
  }
  return map;
}

struct CopyCase {
  const char *what;
  const char *repos_path;
  svn_revnum_t start;
  std::initializer_list<svn_revnum_t> logs;
  std::uint32_t flags;
  const char *copyfrom_path;
  svn_revnum_t copyfrom_rev;
  std::int32_t inherited;
  std::int32_t cp_info;
  svn_revnum_t copyfrom_rev_local; // when resolved
};

const CopyCase copy_cases[] = {
    {"whole repository from 0 keeps the revision",
     "",
     0,
     {0, 1, 2, 3},
     0,
     "a",
     2,
     CPI_NONE,
     CPI_COPY,
     2},
    {"inside trunk",
     "trunk",
     1,
     {0, 2, 4, 6},
     0,
     "trunk/a",
     4,
     CPI_NONE,
     CPI_COPY,
     2},
    {"trunk itself",
     "trunk",
     1,
     {0, 2, 4, 6},
     0,
     "trunk",
     5,
     CPI_NONE,
     CPI_COPY,
     2},
    {"a sibling sharing trunk's prefix is outside",
     "trunk",
     1,
     {0, 2, 4, 6},
     0,
     "trunk2/a",
     4,
     CPI_NONE,
     CPI_OUT_OF_SCOPE,
     0},
    {"before the subtree's first dumped revision",
     "trunk",
     1,
     {0, 2, 4, 6},
     0,
     "trunk/a",
     1,
     CPI_NONE,
     CPI_OUT_OF_SCOPE,
     0},
    {"before the first dumped revision with keep-revnums",
     "trunk",
     5,
     {0, 7, 9},
     DF_KEEP_REVNUMS,
     "trunk/a",
     6,
     CPI_NONE,
     CPI_OUT_OF_SCOPE,
     0},
    {"at the first dumped revision with keep-revnums",
     "trunk",
     5,
     {0, 7, 9},
     DF_KEEP_REVNUMS,
     "trunk/a",
     7,
     CPI_NONE,
     CPI_COPY,
     7},
    {"whole repository from 3",
     "",
     3,
     {3, 4, 5, 6},
     0,
     "a",
     4,
     CPI_NONE,
     CPI_COPY,
     2},
    {"whole repository from 3, source before it",
     "",
     3,
     {3, 4, 5, 6},
     0,
     "a",
     2,
     CPI_NONE,
     CPI_OUT_OF_SCOPE,
     0},
    {"an own copy inside an out-of-scope copy is resolved",
     "",
     0,
     {0, 1, 2},
     0,
     "a",
     1,
     CPI_OUT_OF_SCOPE,
     CPI_COPY,
     1},
    {"no copy source keeps an inherited failure",
     "",
     0,
     {0, 1, 2},
     0,
     nullptr,
     0,
     CPI_OUT_OF_SCOPE,
     CPI_OUT_OF_SCOPE,
     0},
    {"no copy source inside a copy",
     "",
     0,
     {0, 1, 2},
     0,
     nullptr,
     0,
     CPI_COPY,
     CPI_COPY,
     0},
};

TEST(DeltaCheckCopy, DecidesWhetherACopyIsKept) {
  vh::Pool pool;
  for (const CopyCase &c : copy_cases) {
    session sess;
    sess.repos_path = c.repos_path;
    dump_options opts;
    opts.start = c.start;
    opts.flags = c.flags;
    de_baton de;
    de.sess = &sess;
    de.opts = &opts;
    de.revs = make_map(pool.get(), c.logs, c.repos_path && *c.repos_path,
                       (c.flags & DF_KEEP_REVNUMS) != 0);
    de.local_revnum = static_cast<svn_revnum_t>(c.logs.size()) - 1;
    de_node_baton node;
    node.de = &de;
    node.pool = pool.get();
    node.path = "x";
    node.copyfrom_path = c.copyfrom_path;
    node.copyfrom_rev = c.copyfrom_rev;
    node.cp_info = c.inherited;
    delta_check_copy(&node);
    EXPECT_EQ(c.cp_info, node.cp_info) << c.what;
    if (c.cp_info == CPI_COPY && c.copyfrom_path) {
      EXPECT_EQ(c.copyfrom_rev_local, node.copyfrom_rev_local) << c.what;
    }
  }
}

} // namespace
