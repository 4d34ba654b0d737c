#include "props/property_storage.h"

#include "util/diagnostics.h"
#include "util/apr_glue.h"

#include "test_support.h"

#include <apr_md5.h>
#include <gtest/gtest.h>
#include <svn_string.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

using prop_map = std::map<std::string, std::string>;

class PropertyStorageTest : public vh_test::TempDirTest {
protected:
  PropertyStorageTest() : TempDirTest("vh_props_") {}

  void
  SetUp() override {
    saved_verbosity_ = verbosity;
    ASSERT_FALSE(
        property_storage_create(tmp_.path().c_str(), root_.get(), &ps_));
    ASSERT_NE(ps_, nullptr);
  }
  void
  TearDown() override {
    root_.clear();
    verbosity = saved_verbosity_;
  }

  apr_hash_t *
  make_hash(const prop_map &props) {
    apr_hash_t *h = apr_hash_make(scratch_.get());
    for (const auto &[name, value] : props)
      apr_hash_set(
          h, apr_pstrdup(scratch_.get(), name.c_str()), APR_HASH_KEY_STRING,
          svn_string_ncreate(value.data(), value.size(), scratch_.get()));
    return h;
  }
  static prop_map
  to_map(apr_hash_t *h) {
    prop_map m;
    for (apr_hash_index_t *hi = apr_hash_first(nullptr, h); hi;
         hi = apr_hash_next(hi)) {
      auto *v = static_cast<const svn_string_t *>(apr_hash_this_val(hi));
      m[static_cast<const char *>(apr_hash_this_key(hi))] =
          std::string(v->data, v->len);
    }
    return m;
  }
  // 0 when stored, -1 when the store failed.
  int
  store(const char *path, const prop_map &props) {
    vh::Error err =
        property_storage_store(ps_, path, make_hash(props), scratch_.get());
    return err ? -1 : 0;
  }
  // Loads into a hash that already holds `before`: 0, or -1 when the load
  // failed (its message then in *message).
  int
  load(const char *path, prop_map *out, const prop_map &before = {},
       std::string *message = nullptr) {
    apr_hash_t *h = make_hash(before);
    vh::Error err = property_storage_load(ps_, path, h, scratch_.get());
    *out = to_map(h);
    if (message)
      *message = err.message();
    return err ? -1 : 0;
  }
  prop_record *
  record_of(const char *path) {
    auto *ref = static_cast<prop_reference *>(
        apr_hash_get(ps_->references, path, APR_HASH_KEY_STRING));
    return ref ? ref->record : nullptr;
  }
  off_t
  db_size() {
    std::fflush(ps_->db->stream.get());
    struct stat st;
    return stat(db_path_.c_str(), &st) == 0 ? st.st_size : -1;
  }
  std::string
  cleanup_log() {
    verbosity = 3;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(property_storage_cleanup(ps_, scratch_.get()));
    std::string out = ::testing::internal::GetCapturedStderr();
    verbosity = saved_verbosity_;
    return out;
  }

  vh::Pool root_;
  vh::Pool scratch_; // not a child: the tests clear root_
  const std::string db_path_ = tmp_ / "props.db";
  property_storage *ps_ = nullptr;
  int saved_verbosity_ = 0;
};

TEST_F(PropertyStorageTest, StoreAndLoadRoundTripsBinaryValues) {
  std::string all_bytes;
  for (int c = 0; c < 256; ++c)
    all_bytes.push_back(static_cast<char>(c));
  const prop_map props = {{"svn:mime-type", "application/octet-stream"},
                          {"nul", std::string("a\0b\0\0", 5)},
                          {"empty", ""},
                          {"bytes", all_bytes}};
  ASSERT_EQ(store("dir/file", props), 0);
  prop_map got;
  ASSERT_EQ(load("dir/file", &got, {{"existing", "kept"}, {"nul", "old"}}), 0);
  prop_map expected = props;
  expected["existing"] = "kept";
  EXPECT_EQ(got, expected);

  // Loading gave up the reference: nothing more to load.
  EXPECT_EQ(record_of("dir/file"), nullptr);
  ASSERT_EQ(load("dir/file", &got, {{"untouched", "1"}}), 0);
  EXPECT_EQ(got, (prop_map{{"untouched", "1"}}));
}

TEST_F(PropertyStorageTest, IdenticalSetsShareOneRecord) {
  ASSERT_EQ(store("a", {{"p", "v"}}), 0);
  off_t one_copy = db_size();
  ASSERT_EQ(store("b", {{"p", "v"}}), 0);
  EXPECT_EQ(db_size(), one_copy);
  ASSERT_NE(record_of("a"), nullptr);
  EXPECT_EQ(record_of("a"), record_of("b"));
  EXPECT_EQ(record_of("a")->refcount, 2);
  EXPECT_EQ(apr_hash_count(ps_->records), 1u);

  // Storing the same set again for a node keeps the count exact.
  ASSERT_EQ(store("a", {{"p", "v"}}), 0);
  EXPECT_EQ(record_of("a")->refcount, 2);

  ASSERT_EQ(store("c", {{"p", "w"}}), 0);
  EXPECT_EQ(apr_hash_count(ps_->records), 2u);
  EXPECT_GT(db_size(), one_copy);
}

TEST_F(PropertyStorageTest, EqualSetsShareOneRecordWhateverTheHashOrder) {
  // Every hash table iterates in an order of its own; the record must not
  // depend on it.
  prop_map props;
  for (int i = 0; i < 12; ++i)
    props["prop" + std::to_string(i)] = "value" + std::to_string(i);
  for (int n = 0; n < 20; ++n)
    ASSERT_EQ(store(("node" + std::to_string(n)).c_str(), props), 0);
  EXPECT_EQ(apr_hash_count(ps_->records), 1u);
  EXPECT_EQ(record_of("node0")->refcount, 20);
}

TEST_F(PropertyStorageTest, EmptySetWritesNothingAndDropsTheReference) {
  ASSERT_EQ(store("n", {}), 0);
  EXPECT_EQ(record_of("n"), nullptr);
  EXPECT_EQ(db_size(), 0);
  prop_map got;
  EXPECT_EQ(load("n", &got, {{"x", "y"}}), 0);
  EXPECT_EQ(got, (prop_map{{"x", "y"}}));

  ASSERT_EQ(store("n", {{"p", "v"}}), 0);
  prop_record *rec = record_of("n");
  ASSERT_EQ(store("n", {}), 0);
  EXPECT_EQ(record_of("n"), nullptr);
  EXPECT_EQ(rec->refcount, 0);
  EXPECT_NE(cleanup_log().find("Cleaned up 1 properties"), std::string::npos);
}

TEST_F(PropertyStorageTest, LoadThenStoreWithinARevisionKeepsTheRecord) {
  ASSERT_EQ(store("f", {{"p", "v"}}), 0);
  prop_record *rec = record_of("f");
  EXPECT_EQ(rec->refcount, 1);
  prop_map got;
  ASSERT_EQ(load("f", &got), 0);
  EXPECT_EQ(rec->refcount, 0);
  ASSERT_EQ(store("f", got), 0);
  EXPECT_EQ(record_of("f"), rec);
  EXPECT_EQ(rec->refcount, 1);

  std::string log = cleanup_log();
  EXPECT_NE(log.find("Cleaned up 0 properties"), std::string::npos) << log;
  EXPECT_EQ(apr_hash_count(ps_->records), 1u);
  ASSERT_EQ(load("f", &got), 0);
  EXPECT_EQ(got, (prop_map{{"p", "v"}}));
}

TEST_F(PropertyStorageTest, CleanupRemovesUnreferencedSetsAndLogsTheirDigest) {
  ASSERT_EQ(store("keep", {{"k", "1"}}), 0);
  ASSERT_EQ(store("gone", {{"g", "2"}}), 0);
  unsigned char digest[16];
  std::memcpy(digest, record_of("gone")->digest, 16);
  property_storage_delete(ps_, "gone");
  property_storage_delete(ps_, "never-stored");
  off_t size = db_size();

  // The serialised form of {g: 2}: lengths in host order, then a zero.
  const std::uint32_t one = 1, zero = 0;
  std::string serialised;
  serialised.append(reinterpret_cast<const char *>(&one), 4).append("g");
  serialised.append(reinterpret_cast<const char *>(&one), 4).append("2");
  serialised.append(reinterpret_cast<const char *>(&zero), 4);
  unsigned char expected[16];
  apr_md5(expected, serialised.data(), serialised.size());
  EXPECT_EQ(std::memcmp(digest, expected, 16), 0);
  char hex[33];
  for (int i = 0; i < 16; ++i)
    std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);

  std::string log = cleanup_log();
  EXPECT_EQ(log, "property_storage_cleanup(): 2 items in database, "
                 "1 references\n"
                 "property_storage_cleanup(): removing " +
                     std::string(hex) +
                     "\n"
                     "property_storage_cleanup(): Cleaned up 1 properties\n");
  EXPECT_EQ(apr_hash_count(ps_->records), 1u);
  EXPECT_EQ(record_file_contains(ps_->db, digest, 16), 0);
  EXPECT_EQ(db_size(), size); // dead bytes stay

  // Nothing left to clean: only the first line.
  EXPECT_EQ(cleanup_log(), "property_storage_cleanup(): 1 items in "
                           "database, 1 references\n");
  // A new store of the forgotten set writes it again.
  ASSERT_EQ(store("again", {{"g", "2"}}), 0);
  EXPECT_GT(db_size(), size);
  prop_map got;
  ASSERT_EQ(load("again", &got), 0);
  EXPECT_EQ(got, (prop_map{{"g", "2"}}));
}

TEST_F(PropertyStorageTest, ReplacedSetIsCleanedUp) {
  ASSERT_EQ(store("f", {{"p", "old"}}), 0);
  ASSERT_EQ(store("f", {{"p", "new"}}), 0);
  EXPECT_NE(cleanup_log().find("Cleaned up 1 properties"), std::string::npos);
  prop_map got;
  ASSERT_EQ(load("f", &got), 0);
  EXPECT_EQ(got, (prop_map{{"p", "new"}}));
}

TEST_F(PropertyStorageTest, DamagedRecordFailsLoadAndKeepsTheReference) {
  const prop_map props = {{"svn:eol-style", "native"},
                          {"long", std::string(300, 'x') + "tail"}};
  ASSERT_EQ(store("f", props), 0);
  prop_record *rec = record_of("f");
  const unsigned char *digest = rec->digest;
  std::size_t len = 0;
  const char *block =
      record_file_get(ps_->db, digest, 16, scratch_.get(), &len);
  ASSERT_NE(block, nullptr);
  const std::string original(block, len);

  // Each damaged form replaces the record under the set's digest. A load
  // either fails and leaves everything as it was, or (when the damage does
  // not change what the block decodes to, as in a copy from inside a run of
  // equal bytes) yields exactly the stored set.
  int detected = 0;
  auto expect_failed_load = [&](const std::string &damaged,
                                const std::string &what) {
    ASSERT_FALSE(
        record_file_put(ps_->db, digest, 16, damaged.data(), damaged.size()));
    prop_map got;
    std::string message;
    int rc = load("f", &got, {{"before", "b"}}, &message);
    if (rc == 0) {
      prop_map expected = props;
      expected["before"] = "b";
      EXPECT_EQ(got, expected) << what;
      ASSERT_EQ(store("f", props), 0);
      return;
    }
    ++detected;
    EXPECT_EQ(rc, -1) << what;
    EXPECT_TRUE(message == "Cannot read the stored properties of 'f'" ||
                message == "The stored properties of 'f' are corrupt")
        << what << ": " << message;
    EXPECT_EQ(got, (prop_map{{"before", "b"}})) << what;
    EXPECT_NE(record_of("f"), nullptr) << what;
  };
  for (std::size_t at = 0; at < original.size(); ++at) {
    std::string damaged = original;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
    expect_failed_load(damaged, "byte " + std::to_string(at) + " damaged");
  }
  for (std::size_t cut = 0; cut < original.size(); ++cut)
    expect_failed_load(original.substr(0, cut),
                       "cut at " + std::to_string(cut));
  // Every cut and nearly every damaged byte is detected.
  EXPECT_GT(detected, static_cast<int>(original.size() * 3 / 2));

  ASSERT_FALSE(
      record_file_put(ps_->db, digest, 16, original.data(), original.size()));
  prop_map got;
  ASSERT_EQ(load("f", &got), 0);
  EXPECT_EQ(got, props);
}

TEST_F(PropertyStorageTest, PoolDestructionUnlinksTheDatabase) {
  ASSERT_EQ(store("f", {{"p", "v"}}), 0);
  ASSERT_EQ(store("g", {{"q", "w"}}), 0);
  property_storage_delete(ps_, "g");
  root_.clear();
  struct stat st;
  EXPECT_NE(stat(db_path_.c_str(), &st), 0);
}

TEST(PropertyStorageCreate, FailsWhenTheDatabaseCannotBeCreated) {
  vh::Pool pool;
  property_storage dummy{};
  property_storage *ps = &dummy; // must be reset
  vh::Error err =
      property_storage_create("/nonexistent/vornhald", pool.get(), &ps);
  ASSERT_TRUE(err);
  EXPECT_EQ(ps, nullptr);
  EXPECT_EQ(err.get()->apr_err, APR_FROM_OS_ERROR(ENOENT));
  EXPECT_EQ(vh_test::reported(std::move(err)),
            "ERROR: Error creating path database (No such file or "
            "directory)\n");
}

} // namespace
