// The node dumper's decisions, without a server: node records made by hand
// (as the editor makes them) over a path repository, property storage and
// text store in a temporary directory, and the records that the plan holds.
#include "delta/editor.h"
#include "delta/node_dumper.h"
#include "delta/text_store.h"
#include "history/path_repo.h"
#include "props/property_storage.h"

#include "test_support.h"
#include "util/apr_glue.h"

#include <apr_strings.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What one planned record must be.
struct expected_record {
  char action;
  const char *copyfrom_path; // null: not a copy
  bool with_props;
  bool with_text;
};

struct plan_case {
  const char *what;
  const char *subtree;     // the dumped directory, "" for the whole repository
  svn_revnum_t start;      // the dump's range starts here
  char action;             // as the editor sets it
  svn_node_kind_t kind;
  bool opened;             // made by an open (the old node is compared)
  bool in_log;             // the log lists the path
  const char *copyfrom_path;
  bool props_changed;
  bool applied_delta;
  bool previous_has_path;  // the previous local revision holds the path
  std::vector<expected_record> expected;
};

const plan_case plan_cases[] = {
    {"text-only change",
     "", 0, 'M', svn_node_file, true, true, nullptr, false, true, true,
     {{'M', nullptr, false, true}}},
    {"property-only change",
     "", 0, 'M', svn_node_file, true, true, nullptr, true, false, true,
     {{'M', nullptr, true, false}}},
    {"property change of a directory",
     "", 0, 'M', svn_node_dir, true, true, nullptr, true, false, true,
     {{'M', nullptr, true, false}}},
    {"directory opened only to reach its children",
     "", 0, 'M', svn_node_dir, true, false, nullptr, false, false, true,
     {}},
    {"added file",
     "", 0, 'A', svn_node_file, false, true, nullptr, false, true, false,
     {{'A', nullptr, true, true}}},
    {"deletion",
     "", 0, 'D', svn_node_none, false, true, nullptr, false, false, true,
     {{'D', nullptr, false, false}}},
    // One record, as svnadmin writes it.
    {"replace by a new file",
     "", 0, 'R', svn_node_file, false, true, nullptr, false, true, true,
     {{'R', nullptr, true, true}}},
    {"copy kept",
     "", 0, 'A', svn_node_dir, false, true, "trunk", false, false, false,
     {{'A', "trunk", true, false}}},
    {"replace by a copy",
     "", 0, 'R', svn_node_dir, false, true, "trunk", false, false, true,
     {{'D', nullptr, false, false}, {'A', "trunk", true, false}}},
    {"copy from outside the dumped directory is written as an add",
     "trunk", 1, 'A', svn_node_dir, false, true, "other/x", false, false,
     false, {{'A', nullptr, true, false}}},
    // The first revision of a range arrives as adds that the log may call
    // changes.
    {"change of a path the previous revision lacks is an add",
     "trunk", 1, 'M', svn_node_file, false, true, nullptr, false, true, false,
     {{'A', nullptr, true, true}}},
};

class NodePlan : public vh_test::TempDirTest {
protected:
  void
  SetUp() override {
    opts_.temp_dir = apr_pstrdup(root_.get(), tmp_.path().c_str());
    ASSERT_FALSE(path_repo_create(opts_.temp_dir, root_.get(), &prepo_));
    ASSERT_NE(prepo_, nullptr);
    ASSERT_FALSE(property_storage_create(opts_.temp_dir, root_.get(), &props_));
    ASSERT_NE(props_, nullptr);
    texts_ = text_store_create(root_.get(), opts_.temp_dir);
    obfuscator_init(&sess_.obf, root_.get());
  }

  // An edit baton for local revision 2 of a dump whose log so far is
  // revisions 0 (or the placeholder), 1 and 2.
  de_baton *
  make_baton(const plan_case &c) {
    sess_.repos_path = c.subtree;
    opts_.start = c.start;
    revs_ = revision_map_make(root_.get(), *c.subtree != '\0', false);
    for (svn_revnum_t r = *c.subtree ? 1 : 0; r <= 2; ++r) {
      log_revision entry;
      entry.revision = r;
      revision_map_append(revs_, entry);
    }
    auto *de = static_cast<de_baton *>(
        apr_pcalloc(root_.get(), sizeof(de_baton)));
    new (de) de_baton();
    de->sess = &sess_;
    de->opts = &opts_;
    de->revs = revs_;
    de->pool = root_.get();
    de->dumped_nodes = apr_hash_make(root_.get());
    de->local_revnum = 2;
    de->prepo = prepo_;
    de->props = props_;
    de->texts = texts_;
    return de;
  }

  // A complete text with `content` in the text store; its name.
  const char *
  stored_text(const char *content) {
    svn_stream_t *stream = nullptr;
    const char *name = nullptr;
    EXPECT_FALSE(vh::Error(
        text_store_new_text(texts_, &stream, &name, root_.get())));
    apr_size_t len = std::strlen(content);
    EXPECT_FALSE(vh::Error(svn_stream_write(stream, content, &len)));
    EXPECT_FALSE(vh::Error(svn_stream_close(stream)));
    return text_store_seal(texts_, name, root_.get());
  }

  vh::Pool root_;
  session sess_;
  dump_options opts_;
  path_repo *prepo_ = nullptr;
  property_storage *props_ = nullptr;
  text_store *texts_ = nullptr;
  revision_map *revs_ = nullptr;
};

TEST_F(NodePlan, RecordsOfEachKindOfChange) {
  for (const plan_case &c : plan_cases) {
    de_baton *de = make_baton(c);
    // The tree of local revision 1: the path and the copy source "trunk".
    vh::Pool scratch(root_.get());
    if (c.previous_has_path) {
      ASSERT_FALSE(path_repo_add(prepo_, "x"));
    }
    ASSERT_FALSE(path_repo_add(prepo_, "trunk"));
    ASSERT_FALSE(path_repo_commit(prepo_, 1, scratch.get()));

    de_node_baton *parent = delta_new_node(de, root_.get(), "/");
    parent->kind = svn_node_dir;
    de_node_baton *node = delta_create_node(parent, "x");
    node->action = c.action;
    node->kind = c.kind;
    node->opened = c.opened;
    node->in_log = c.in_log;
    node->dump_needed = c.in_log || c.props_changed || c.applied_delta;
    node->props_changed = c.props_changed;
    if (c.copyfrom_path) {
      node->copyfrom_path = c.copyfrom_path;
      node->copyfrom_rev = 1;
    }
    if (c.applied_delta) {
      node->applied_delta = true;
      node->filename = stored_text("new text\n");
      text_store_set_file(texts_, "x", node->filename);
    }
    if (c.props_changed)
      apr_hash_set(node->properties, "p", APR_HASH_KEY_STRING,
                   svn_string_create("v", root_.get()));

    node_plan plan;
    vh::Error err(delta_plan_node(node, &plan));
    ASSERT_FALSE(err) << c.what;
    ASSERT_EQ(c.expected.size(), plan.records.size()) << c.what;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const expected_record &want = c.expected[i];
      const node_record &got = plan.records[i];
      EXPECT_EQ(want.action, got.action) << c.what << ", record " << i;
      EXPECT_STREQ(got.path, "x") << c.what;
      if (want.copyfrom_path) {
        EXPECT_STREQ(want.copyfrom_path, got.copyfrom_path) << c.what;
      } else {
        EXPECT_EQ(nullptr, got.copyfrom_path) << c.what << ", record " << i;
      }
      EXPECT_EQ(want.with_props, got.with_props) << c.what << ", record " << i;
      EXPECT_EQ(want.with_text, dumpfile_has_text(got))
          << c.what << ", record " << i;
    }
    if (c.expected.empty()) {
      EXPECT_FALSE(node->dump_needed) << c.what;
    }
    // The next case starts from an empty tree again.
    ASSERT_FALSE(path_repo_delete(prepo_, "x", scratch.get()));
    ASSERT_FALSE(path_repo_delete(prepo_, "trunk", scratch.get()));
    ASSERT_FALSE(path_repo_commit(prepo_, 1, scratch.get()));
  }
}

TEST_F(NodePlan, DryRunPlansNothing) {
  de_baton *de = make_baton(plan_cases[0]);
  de->dry_run = true;
  de_node_baton *node = delta_new_node(de, root_.get(), "x");
  node->action = 'A';
  node->kind = svn_node_dir;
  node->dump_needed = true;
  node_plan plan;
  vh::Error err(delta_plan_node(node, &plan));
  ASSERT_FALSE(err);
  EXPECT_TRUE(plan.records.empty());
  EXPECT_FALSE(node->dump_needed);
}

// The server may send the deletion of a path that never reached the dump
// (one kept from this user): the editor makes no node for it.
TEST_F(NodePlan, DeletionOfAPathThatNeverReachedTheDumpIsIgnored) {
  dump_context ctx;
  ctx.sess = &sess_;
  ctx.opts = &opts_;
  ctx.prepo = prepo_;
  ctx.props = props_;
  ctx.texts = texts_;
  ctx.revs = revision_map_make(root_.get(), false, false);
  vh::Pool scratch(root_.get());
  ASSERT_FALSE(path_repo_add(prepo_, "kept"));
  ASSERT_FALSE(path_repo_commit(prepo_, 1, scratch.get()));
  log_revision logrev;
  logrev.revision = 2;
  logrev.changed_paths = apr_hash_make(root_.get());

  const svn_delta_editor_t *editor = nullptr;
  void *edit_baton = nullptr;
  ASSERT_FALSE(vh::Error(delta_get_editor(&editor, &edit_baton, &ctx, &logrev,
                                          2, 0, nullptr, nullptr,
                                          scratch.get())));
  void *root = nullptr;
  ASSERT_FALSE(vh::Error(editor->open_root(edit_baton, 1, scratch.get(),
                                           &root)));
  ASSERT_FALSE(vh::Error(editor->delete_entry("never", 1, root,
                                              scratch.get())));
  ASSERT_FALSE(vh::Error(editor->delete_entry("kept", 1, root,
                                              scratch.get())));
  auto *root_node = static_cast<de_node_baton *>(root);
  ASSERT_EQ(1, root_node->children->nelts);
  EXPECT_STREQ("kept",
               APR_ARRAY_IDX(root_node->children, 0, de_node_baton *)->path);
}

} // namespace
