// The text store: texts in memory or in files, shared by content, removed
// with their last reference.
#include "delta/text_store.h"

#include "test_support.h"
#include "util/apr_glue.h"

#include <gtest/gtest.h>
#include <svn_checksum.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

namespace {

// Stores `content` as a complete, sealed text; its name.
std::string
store(text_store *ts, const std::string &content, apr_pool_t *pool) {
  svn_stream_t *stream = nullptr;
  const char *name = nullptr;
  EXPECT_FALSE(vh::Error(text_store_new_text(ts, &stream, &name, pool)));
  apr_size_t len = content.size();
  EXPECT_FALSE(vh::Error(svn_stream_write(stream, content.data(), &len)));
  EXPECT_FALSE(vh::Error(svn_stream_close(stream)));
  return text_store_seal(ts, name, pool);
}

std::string
read_back(text_store *ts, const std::string &name, apr_pool_t *pool) {
  svn_stream_t *stream = nullptr;
  EXPECT_FALSE(vh::Error(text_store_read(ts, name.c_str(), &stream, pool)));
  svn_stringbuf_t *buf = nullptr;
  EXPECT_FALSE(vh::Error(svn_stringbuf_from_stream(&buf, stream, 0, pool)));
  return buf ? std::string(buf->data, buf->len) : std::string();
}

bool
exists(const std::string &file) {
  struct stat st;
  return stat(file.c_str(), &st) == 0;
}

TEST(TextStore,
     SmallTextsStayInMemoryLargeOnesGoToFilesAndGoWithTheirLastReference) {
  vh_test::TempDir tmp("vh-text-store-");
  vh::Pool pool;
  text_store *ts = text_store_create(pool.get(), tmp.path().c_str());
  ts->memory_text_limit = 16;

  std::string small = store(ts, "short\n", pool.get());
  std::string large = store(ts, std::string(100, 'x'), pool.get());
  const char *file = nullptr;
  svn_string_t data{};
  svn_filesize_t size = 0;
  ASSERT_FALSE(
      vh::Error(text_store_locate(ts, small.c_str(), &file, &data, &size)));
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ("short\n", std::string(data.data, data.len));
  ASSERT_FALSE(
      vh::Error(text_store_locate(ts, large.c_str(), &file, &data, &size)));
  ASSERT_NE(nullptr, file);
  std::string large_file = file;
  EXPECT_EQ(100, size);
  EXPECT_EQ(std::string(100, 'x'), read_back(ts, large, pool.get()));

  // Two paths with the same content share one text.
  std::string again = store(ts, std::string(100, 'x'), pool.get());
  EXPECT_EQ(large, again);
  text_store_set_file(ts, "a", large.c_str());
  text_store_set_file(ts, "b", again.c_str());
  unsigned char md5[16];
  EXPECT_TRUE(text_store_text_md5(ts, large.c_str(), md5));

  text_store_set_file(ts, "a", nullptr);
  EXPECT_TRUE(exists(large_file));
  text_store_drop_files_below(ts, "", "test", nullptr, nullptr, pool.get());
  EXPECT_TRUE(exists(large_file)); // "b" is not below ""
  text_store_set_file(ts, "b", nullptr);
  EXPECT_FALSE(exists(large_file));
  EXPECT_FALSE(text_store_text_md5(ts, large.c_str(), md5));

  // Memory beyond the budget moves later texts to files.
  ts->memory_text_limit = 1 << 20;
  ts->memory_budget = ts->memory + 10;
  std::string over = store(ts, std::string(50, 'y'), pool.get());
  ASSERT_FALSE(
      vh::Error(text_store_locate(ts, over.c_str(), &file, &data, &size)));
  EXPECT_NE(nullptr, file);
  text_store_unref(ts, small.c_str());
  EXPECT_EQ(0u, ts->memory);
}

TEST(TextStore, TextsThatOnlyShareTheirDigestAreKeptApart) {
  vh_test::TempDir tmp("vh-text-store-");
  vh::Pool pool;
  text_store *ts = text_store_create(pool.get(), tmp.path().c_str());
  std::string first = store(ts, "aaaa", pool.get());
  // As if "bbbb" had the MD5 of "aaaa": the lookup by digest finds the
  // other text, whose bytes differ.
  svn_checksum_t *md5 = nullptr;
  ASSERT_FALSE(
      vh::Error(svn_checksum(&md5, svn_checksum_md5, "bbbb", 4, pool.get())));
  ts->by_content[std::string(svn_checksum_to_cstring_display(md5, pool.get())) +
                 ":4"] = first;
  std::string second = store(ts, "bbbb", pool.get());
  EXPECT_NE(first, second);
  EXPECT_EQ("aaaa", read_back(ts, first, pool.get()));
  EXPECT_EQ("bbbb", read_back(ts, second, pool.get()));
}

} // namespace
