#include "util/record_file.h"

#include "util/apr_glue.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class RecordFileTest : public vh_test::TempDirTest {
protected:
  RecordFileTest() : TempDirTest("vh_record_file_") {}

  void
  SetUp() override {
    rf_ = record_file_open(path_.c_str(), pool_.get());
    ASSERT_NE(rf_, nullptr);
  }
  void
  TearDown() override {
    pool_.clear();
  }

  void
  put(const std::string &key, const std::string &data) {
    ASSERT_FALSE(
        record_file_put(rf_, key.data(), key.size(), data.data(), data.size()));
  }
  // The record's data, or "<absent>".
  std::string
  get(const std::string &key) {
    std::size_t len = 99;
    char *buf =
        record_file_get(rf_, key.data(), key.size(), scratch_.get(), &len);
    if (!buf) {
      EXPECT_EQ(len, 0u);
      return "<absent>";
    }
    return std::string(buf, len);
  }
  // The file's bytes as they are on disk.
  std::string
  file_bytes() {
    std::fflush(rf_->stream.get());
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  vh::Pool pool_;
  vh::Pool scratch_; // not a child: the tests clear pool_
  const std::string path_ = tmp_ / "test.db";
  record_file *rf_ = nullptr;
};

TEST_F(RecordFileTest, RecordsAreConcatenatedAndReplacementLeavesDeadBytes) {
  put("k", "first");
  put("other", "22");
  put("k", "second");
  EXPECT_EQ(get("k"), "second");
  EXPECT_EQ(get("other"), "22");
  EXPECT_EQ(file_bytes(), "first22second");
}

TEST_F(RecordFileTest, RemoveDropsOnlyTheIndexEntry) {
  put("k", "data");
  put("m", "more");
  EXPECT_EQ(record_file_remove(rf_, "k", 1), 0);
  EXPECT_EQ(get("k"), "<absent>");
  EXPECT_EQ(record_file_contains(rf_, "k", 1), 0);
  EXPECT_EQ(record_file_contains(rf_, "m", 1), 1);
  EXPECT_EQ(file_bytes(), "datamore");

  EXPECT_EQ(record_file_remove(rf_, "never", 5), 0);
  EXPECT_EQ(get("m"), "more");
  EXPECT_EQ(file_bytes(), "datamore");
}

TEST_F(RecordFileTest, KeysAreBytesOfExplicitLength) {
  put("1", "one");
  put("12", "twelve");
  const std::string digest("\0\x01\0\x02\x03\0\0\x04\x05\x06\0\x07\x08\0\0\x09",
                           16);
  put(digest, "binary");
  EXPECT_EQ(get("1"), "one");
  EXPECT_EQ(get("12"), "twelve");
  EXPECT_EQ(get(digest), "binary");
  EXPECT_EQ(get(digest.substr(0, 1)), "<absent>");
  EXPECT_EQ(record_file_contains(rf_, "1", -1), 1);
  EXPECT_EQ(record_file_contains(rf_, "123", -1), 0);
}

TEST_F(RecordFileTest, EmptyRecordIsFoundWithLengthZero) {
  put("e", "");
  std::size_t len = 7;
  EXPECT_NE(record_file_get(rf_, "e", 1, scratch_.get(), &len), nullptr);
  EXPECT_EQ(len, 0u);
}

TEST_F(RecordFileTest, ConsecutiveReadsMakeNoSeek) {
  put("a", "AAAA");
  put("b", "BB");
  put("c", "CCCCCC");
  EXPECT_EQ(get("a"), "AAAA"); // back from the end of the file
  EXPECT_EQ(rf_->seeks, 1u);
  EXPECT_EQ(get("b"), "BB");
  EXPECT_EQ(get("c"), "CCCCCC");
  EXPECT_EQ(rf_->seeks, 1u);

  EXPECT_EQ(get("a"), "AAAA");
  EXPECT_EQ(rf_->seeks, 2u);
  put("d", "D");
  EXPECT_EQ(get("b"), "BB"); // after a put: back from the end again
  EXPECT_EQ(rf_->seeks, 3u);
  EXPECT_EQ(get("c"), "CCCCCC");
  EXPECT_EQ(get("d"), "D");
  EXPECT_EQ(rf_->seeks, 3u);
}

TEST_F(RecordFileTest, ReadBackAfterInterleavedWrites) {
  // Alternating puts and gets on one stream must never read stale or
  // misplaced bytes.
  std::vector<std::string> data;
  for (int i = 0; i < 300; ++i) {
    data.push_back(std::string(static_cast<std::size_t>(i % 37 + 1),
                               static_cast<char>('a' + i % 26)));
    put(std::to_string(i), data.back());
    EXPECT_EQ(get(std::to_string(i / 2)), data[i / 2]);
  }
  for (int i = 0; i < 300; ++i)
    EXPECT_EQ(get(std::to_string(i)), data[i]);
}

TEST_F(RecordFileTest, FileCutAtEverySizeYieldsWholeRecordsOrNothing) {
  const std::vector<std::pair<std::string, std::string>> records = {
      {"r1", "alpha"}, {"r2", "b"}, {"r3", "gamma-gamma"}};
  std::size_t total = 0;
  for (const auto &r : records)
    total += r.second.size();

  for (std::size_t cut = 0; cut <= total; ++cut) {
    pool_.clear();
    rf_ = record_file_open(path_.c_str(), pool_.get());
    ASSERT_NE(rf_, nullptr);
    for (const auto &r : records)
      put(r.first, r.second);
    std::fflush(rf_->stream.get());
    ASSERT_EQ(truncate(path_.c_str(), static_cast<off_t>(cut)), 0);

    std::size_t end = 0;
    for (const auto &r : records) {
      end += r.second.size();
      EXPECT_EQ(get(r.first), end <= cut ? r.second : "<absent>")
          << "cut at " << cut;
    }
  }
}

TEST_F(RecordFileTest, CloseUnlinksTheFile) {
  put("k", "v");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_FALSE(record_file_close(rf_));
  EXPECT_NE(stat(path_.c_str(), &st), 0);
  EXPECT_FALSE(record_file_close(rf_));
}

TEST_F(RecordFileTest, PoolDestructionClosesAnUnclosedFile) {
  put("k", "v");
  pool_.clear();
  struct stat st;
  EXPECT_NE(stat(path_.c_str(), &st), 0);
}

TEST(RecordFileOpen, FailureLeavesErrno) {
  vh::Pool pool;
  errno = 0;
  EXPECT_EQ(record_file_open("/nonexistent/dir/x.db", pool.get()), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

// A write that the device refuses fails the put with the system's reason,
// naming the file, and leaves the index as it was.
TEST(RecordFilePut, FailureNamesTheFile) {
  if (::access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no writable /dev/full";
  vh_test::TempDir dir("vh_record_file_");
  const std::string link = dir / "full.db";
  ASSERT_EQ(::symlink("/dev/full", link.c_str()), 0);
  vh::Pool pool;
  record_file *rf = record_file_open(link.c_str(), pool.get());
  ASSERT_NE(rf, nullptr);
  // More than the stream's buffer, so that the write itself reaches the
  // device.
  const std::string data(1 << 20, 'x');
  vh::Error err = record_file_put(rf, "k", 1, data.data(), data.size());
  ASSERT_TRUE(err);
  EXPECT_EQ(err.get()->apr_err, APR_FROM_OS_ERROR(ENOSPC));
  EXPECT_EQ(std::string(err.message()),
            "Can't write to '" + link + "': " + std::strerror(ENOSPC));
  EXPECT_EQ(record_file_contains(rf, "k", 1), 0);
  static_cast<void>(record_file_close(rf)); // the unflushed bytes fail too
}

} // namespace
