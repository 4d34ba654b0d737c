// Recorded editor drives: a replay makes the very calls of the drive it
// recorded, whether the recording stayed in memory or moved to a file, and
// a recording cut short is an error, not a shorter drive.
#include "repos/drive_record.h"

#include "test_support.h"
#include "util/apr_glue.h"

#include <gtest/gtest.h>
#include <svn_delta.h>

#include <string>

namespace {

// An editor that writes every call it gets, with its arguments and the
// text it is sent, into one line each of `log`.
struct call_log {
  std::string log;
};

struct log_node {
  call_log *calls;
  std::string path;
};

svn_error_t *
log_window(svn_txdelta_window_t *window, void *baton) noexcept {
  auto *node = static_cast<log_node *>(baton);
  if (!window) {
    node->calls->log += "end-of-text " + node->path + "\n";
    return SVN_NO_ERROR;
  }
  node->calls->log +=
      "window " + node->path + " tview " + std::to_string(window->tview_len) +
      " ops " + std::to_string(window->num_ops) + " new " +
      std::string(window->new_data->data, window->new_data->len) + "\n";
  return SVN_NO_ERROR;
}

log_node *
make_node(void *parent, const char *path, apr_pool_t *pool) {
  auto *calls = static_cast<log_node *>(parent)->calls;
  auto *node = static_cast<log_node *>(apr_pcalloc(pool, sizeof(log_node)));
  new (node) log_node{calls, path};
  apr_pool_cleanup_register(
      pool, node,
      [](void *data) noexcept -> apr_status_t {
        static_cast<log_node *>(data)->~log_node();
        return APR_SUCCESS;
      },
      apr_pool_cleanup_null);
  return node;
}

const svn_delta_editor_t *
logging_editor(apr_pool_t *pool) {
  svn_delta_editor_t *e = svn_delta_default_editor(pool);
  e->open_root = [](void *edit_baton, svn_revnum_t base, apr_pool_t *p,
                    void **root) noexcept -> svn_error_t * {
    auto *calls = static_cast<call_log *>(edit_baton);
    calls->log += "open-root " + std::to_string(base) + "\n";
    log_node top{calls, ""};
    *root = make_node(&top, "", p);
    return SVN_NO_ERROR;
  };
  e->delete_entry = [](const char *path, svn_revnum_t, void *parent,
                       apr_pool_t *) noexcept -> svn_error_t * {
    static_cast<log_node *>(parent)->calls->log +=
        std::string("delete ") + path + "\n";
    return SVN_NO_ERROR;
  };
  e->add_directory = [](const char *path, void *parent, const char *from,
                        svn_revnum_t from_rev, apr_pool_t *p,
                        void **child) noexcept -> svn_error_t * {
    static_cast<log_node *>(parent)->calls->log +=
        std::string("add-dir ") + path + " from " + (from ? from : "-") + "@" +
        std::to_string(from_rev) + "\n";
    *child = make_node(parent, path, p);
    return SVN_NO_ERROR;
  };
  e->add_file = [](const char *path, void *parent, const char *, svn_revnum_t,
                   apr_pool_t *p, void **child) noexcept -> svn_error_t * {
    static_cast<log_node *>(parent)->calls->log +=
        std::string("add-file ") + path + "\n";
    *child = make_node(parent, path, p);
    return SVN_NO_ERROR;
  };
  e->open_file = [](const char *path, void *parent, svn_revnum_t base,
                    apr_pool_t *p, void **child) noexcept -> svn_error_t * {
    static_cast<log_node *>(parent)->calls->log +=
        std::string("open-file ") + path + " " + std::to_string(base) + "\n";
    *child = make_node(parent, path, p);
    return SVN_NO_ERROR;
  };
  auto prop = [](void *baton, const char *name, const svn_string_t *value,
                 apr_pool_t *) noexcept -> svn_error_t * {
    auto *node = static_cast<log_node *>(baton);
    node->calls->log += "prop " + node->path + " " + name + "=" +
                        (value ? std::string(value->data, value->len)
                               : std::string("(deleted)")) +
                        "\n";
    return SVN_NO_ERROR;
  };
  e->change_dir_prop = prop;
  e->change_file_prop = prop;
  e->apply_textdelta = [](void *baton, const char *base_checksum, apr_pool_t *,
                          svn_txdelta_window_handler_t *handler,
                          void **handler_baton) noexcept -> svn_error_t * {
    auto *node = static_cast<log_node *>(baton);
    node->calls->log += "text " + node->path + " base " +
                        (base_checksum ? base_checksum : "-") + "\n";
    *handler = log_window;
    *handler_baton = node;
    return SVN_NO_ERROR;
  };
  e->close_file = [](void *baton, const char *checksum,
                     apr_pool_t *) noexcept -> svn_error_t * {
    auto *node = static_cast<log_node *>(baton);
    node->calls->log +=
        "close-file " + node->path + " " + (checksum ? checksum : "-") + "\n";
    return SVN_NO_ERROR;
  };
  e->close_directory = [](void *baton, apr_pool_t *) noexcept -> svn_error_t * {
    auto *node = static_cast<log_node *>(baton);
    node->calls->log += "close-dir " + node->path + "\n";
    return SVN_NO_ERROR;
  };
  e->absent_file = [](const char *path, void *parent,
                      apr_pool_t *) noexcept -> svn_error_t * {
    static_cast<log_node *>(parent)->calls->log +=
        std::string("absent-file ") + path + "\n";
    return SVN_NO_ERROR;
  };
  e->close_edit = [](void *edit_baton, apr_pool_t *) noexcept -> svn_error_t * {
    static_cast<call_log *>(edit_baton)->log += "close-edit\n";
    return SVN_NO_ERROR;
  };
  return e;
}

// One drive with every kind of call, the text large enough for several
// windows.
svn_error_t *
drive(const svn_delta_editor_t *e, void *eb, apr_pool_t *pool) {
  void *root = nullptr, *dir = nullptr, *file = nullptr, *old = nullptr;
  SVN_ERR(e->open_root(eb, 4, pool, &root));
  SVN_ERR(e->delete_entry("gone", 4, root, pool));
  SVN_ERR(e->change_dir_prop(root, "p", svn_string_create("v", pool), pool));
  SVN_ERR(e->add_directory("d", root, "trunk/d", 3, pool, &dir));
  SVN_ERR(e->add_file("d/f", dir, nullptr, SVN_INVALID_REVNUM, pool, &file));
  SVN_ERR(e->change_file_prop(file, "svn:eol-style", nullptr, pool));
  svn_txdelta_window_handler_t handler = nullptr;
  void *handler_baton = nullptr;
  SVN_ERR(e->apply_textdelta(file, nullptr, pool, &handler, &handler_baton));
  std::string text(300000, 'a');
  for (std::size_t i = 0; i < text.size(); i += 7)
    text[i] = static_cast<char>('a' + i % 26);
  svn_string_t content = {text.data(), text.size()};
  SVN_ERR(svn_txdelta_send_string(&content, handler, handler_baton, pool));
  SVN_ERR(e->close_file(file, "0123", pool));
  SVN_ERR(e->absent_file("d/secret", dir, pool));
  SVN_ERR(e->close_directory(dir, pool));
  SVN_ERR(e->open_file("top", root, 4, pool, &old));
  SVN_ERR(e->close_file(old, nullptr, pool));
  SVN_ERR(e->close_directory(root, pool));
  return e->close_edit(eb, pool);
}

TEST(DriveRecord, ReplayMakesTheRecordedCallsInMemoryAndFromAFile) {
  vh_test::TempDir tmp("vh-drive-record-");
  for (std::size_t limit : {std::size_t(64) << 20, std::size_t(1000)}) {
    vh::Pool pool;
    call_log direct;
    ASSERT_FALSE(
        vh::Error(drive(logging_editor(pool.get()), &direct, pool.get())));

    byte_spool spool(tmp.path(), limit);
    std::atomic<bool> stop{false};
    const svn_delta_editor_t *rec = nullptr;
    void *rec_baton = nullptr;
    drive_record_editor(&rec, &rec_baton, &spool, &stop, nullptr, pool.get());
    ASSERT_FALSE(vh::Error(drive(rec, rec_baton, pool.get())));
    EXPECT_EQ(limit < 100000, spool.memory_bytes() < spool.size());

    call_log replayed;
    ASSERT_FALSE(vh::Error(drive_replay(&spool, logging_editor(pool.get()),
                                        &replayed, pool.get())));
    EXPECT_EQ(direct.log, replayed.log) << "memory limit " << limit;
    EXPECT_NE(std::string::npos, direct.log.find("window d/f"));
  }
}

TEST(DriveRecord, ARecordingCutShortOrStoppedFails) {
  vh_test::TempDir tmp("vh-drive-record-");
  vh::Pool pool;
  byte_spool spool(tmp.path(), 1 << 20);
  std::atomic<bool> stop{false};
  const svn_delta_editor_t *rec = nullptr;
  void *rec_baton = nullptr;
  drive_record_editor(&rec, &rec_baton, &spool, &stop, nullptr, pool.get());
  void *root = nullptr;
  ASSERT_FALSE(vh::Error(rec->open_root(rec_baton, 1, pool.get(), &root)));
  // No close-edit: the replay runs out of calls.
  call_log replayed;
  vh::Error err(
      drive_replay(&spool, logging_editor(pool.get()), &replayed, pool.get()));
  ASSERT_TRUE(err);
  EXPECT_EQ(SVN_ERR_STREAM_MALFORMED_DATA, err.get()->apr_err);
  EXPECT_EQ("open-root 1\n", replayed.log);

  stop = true;
  vh::Error stopped(rec->close_directory(root, pool.get()));
  ASSERT_TRUE(stopped);
  EXPECT_EQ(SVN_ERR_CANCELLED, stopped.get()->apr_err);
}

// A replay of "a/trunk": the directories above it are opened, paths are
// the repository's, a replaced path is deleted first and an empty file has
// no text.
svn_error_t *
replay_drive(const svn_delta_editor_t *e, void *eb, apr_pool_t *pool) {
  void *root = nullptr, *a = nullptr, *trunk = nullptr, *f = nullptr,
       *other = nullptr, *g = nullptr;
  SVN_ERR(e->open_root(eb, 6, pool, &root));
  SVN_ERR(e->open_directory("a", root, 6, pool, &a));
  SVN_ERR(e->change_dir_prop(a, "above", svn_string_create("x", pool), pool));
  SVN_ERR(e->open_directory("a/trunk", a, 6, pool, &trunk));
  SVN_ERR(e->change_dir_prop(trunk, "p", svn_string_create("v", pool), pool));
  SVN_ERR(e->delete_entry("a/trunk/gone", 6, trunk, pool));
  SVN_ERR(e->delete_entry("a/trunk/new", 6, trunk, pool));
  SVN_ERR(e->add_file("a/trunk/new", trunk, nullptr, SVN_INVALID_REVNUM, pool,
                      &f));
  SVN_ERR(e->close_file(f, nullptr, pool));
  SVN_ERR(e->close_directory(trunk, pool));
  SVN_ERR(e->open_directory("a/other", a, 6, pool, &other));
  SVN_ERR(e->add_file("a/other/g", other, nullptr, SVN_INVALID_REVNUM, pool,
                      &g));
  svn_txdelta_window_handler_t handler = nullptr;
  void *handler_baton = nullptr;
  SVN_ERR(e->apply_textdelta(g, nullptr, pool, &handler, &handler_baton));
  SVN_ERR(svn_txdelta_send_string(svn_string_create("text", pool), handler,
                                  handler_baton, pool));
  SVN_ERR(e->close_file(g, nullptr, pool));
  SVN_ERR(e->close_directory(other, pool));
  SVN_ERR(e->close_directory(a, pool));
  SVN_ERR(e->close_directory(root, pool));
  return e->close_edit(eb, pool);
}

TEST(DriveRecord, AReplayOfASubtreeIsRecordedAsTheDiffOfTheSubtree) {
  vh_test::TempDir tmp("vh-drive-record-");
  vh::Pool pool;
  byte_spool spool(tmp.path(), 1 << 20);
  std::atomic<bool> stop{false};
  apr_array_header_t *replaced = apr_array_make(pool.get(), 1, sizeof(char *));
  APR_ARRAY_PUSH(replaced, const char *) = "new";
  replay_as_diff shape;
  shape.root = "a/trunk";
  shape.replaced = replaced;
  const svn_delta_editor_t *rec = nullptr;
  void *rec_baton = nullptr;
  drive_record_editor(&rec, &rec_baton, &spool, &stop, &shape, pool.get());
  ASSERT_FALSE(vh::Error(replay_drive(rec, rec_baton, pool.get())));

  call_log replayed;
  ASSERT_FALSE(vh::Error(drive_replay(&spool, logging_editor(pool.get()),
                                      &replayed, pool.get())));
  EXPECT_EQ("open-root 6\n"
            "prop  p=v\n"
            "delete gone\n"
            "add-file new\n"
            "text new base -\n"
            "end-of-text new\n"
            "close-file new -\n"
            "close-dir \n"
            "close-edit\n",
            replayed.log);
}

TEST(DriveRecord, AReplayThatAddsOrDeletesItsRootFails) {
  vh_test::TempDir tmp("vh-drive-record-");
  for (bool add : {true, false}) {
    vh::Pool pool;
    byte_spool spool(tmp.path(), 1 << 20);
    std::atomic<bool> stop{false};
    replay_as_diff shape;
    shape.root = "a/trunk";
    const svn_delta_editor_t *rec = nullptr;
    void *rec_baton = nullptr;
    drive_record_editor(&rec, &rec_baton, &spool, &stop, &shape, pool.get());
    void *root = nullptr, *dir = nullptr;
    ASSERT_FALSE(vh::Error(rec->open_root(rec_baton, 6, pool.get(), &root)));
    vh::Error err(add ? rec->add_directory("a", root, nullptr,
                                           SVN_INVALID_REVNUM, pool.get(), &dir)
                      : rec->delete_entry("a", 6, root, pool.get()));
    ASSERT_TRUE(err) << (add ? "add" : "delete");
    EXPECT_EQ(SVN_ERR_UNSUPPORTED_FEATURE, err.get()->apr_err);
  }
}

} // namespace
