#include "util/rhash.h"

#include "util/diagnostics.h"
#include "util/apr_glue.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

namespace {

class RhashTest : public ::testing::Test {
protected:
  void
  SetUp() override {
    saved_verbosity_ = verbosity;
    verbosity = 3;
    ht_ = rhash_make(pool_.get());
  }
  void
  TearDown() override {
    rhash_clear(ht_);
    verbosity = saved_verbosity_;
  }

  // Runs `fn` and returns what it wrote to standard error.
  template <typename Fn>
  std::string
  stderr_of(Fn fn) {
    ::testing::internal::CaptureStderr();
    fn();
    return ::testing::internal::GetCapturedStderr();
  }

  const char *
  get_str(const char *key) {
    return static_cast<const char *>(rhash_get(ht_, key, -1));
  }

  vh::Pool pool_;
  rhash *ht_ = nullptr;
  int saved_verbosity_ = 0;
};

TEST_F(RhashTest, StringValuesAreTracedAndKeepTheirKeyCopy) {
  std::string out = stderr_of([&] { rhash_set(ht_, "a", -1, "x", -1); });
  EXPECT_EQ(out.rfind("rhash_set(): setting a: x (0x", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

  const void *key_before = nullptr;
  rhash_this(rhash_first(pool_.get(), ht_), &key_before, nullptr, nullptr);

  out = stderr_of([&] { rhash_set(ht_, "a", -1, "y", -1); });
  EXPECT_EQ(out.rfind("rhash_set(): replacing a: x -> y (0x", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  EXPECT_STREQ(get_str("a"), "y");

  const void *key_after = nullptr;
  apr_ssize_t key_len = 0;
  rhash_this(rhash_first(pool_.get(), ht_), &key_after, &key_len, nullptr);
  EXPECT_EQ(key_before, key_after);
  EXPECT_EQ(key_len, 1);
  EXPECT_EQ(rhash_count(ht_), 1u);
}

TEST_F(RhashTest, RawValuesAreCopiedExactlyAndNeverTraced) {
  unsigned char digest[16];
  for (int i = 0; i < 16; ++i)
    digest[i] = static_cast<unsigned char>(i * 17);
  digest[3] = 0;
  std::string out = stderr_of([&] {
    rhash_set(ht_, "f", -1, digest, 16);
    digest[0] = 0xee;
    rhash_set(ht_, "f", -1, digest, 16);
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(std::memcmp(rhash_get(ht_, "f", -1), digest, 16), 0);
}

TEST_F(RhashTest, ReplacingChangesTheValueForm) {
  // No NUL byte anywhere: reading either as a string would overrun it.
  unsigned char raw[16];
  std::memset(raw, 0xab, sizeof(raw));
  rhash_set(ht_, "k", -1, "string", -1);
  std::string out = stderr_of([&] { rhash_set(ht_, "k", -1, raw, 16); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(std::memcmp(rhash_get(ht_, "k", -1), raw, 16), 0);

  out = stderr_of([&] { rhash_set(ht_, "k", -1, "back", -1); });
  EXPECT_EQ(out.rfind("rhash_set(): replacing k: (raw value) -> back (0x", 0),
            0u)
      << out;
  EXPECT_STREQ(get_str("k"), "back");
}

TEST_F(RhashTest, UnterminatedKeysAreTracedByTheirLength) {
  const char key[3] = {'a', 'b', 'c'};
  std::string out = stderr_of([&] { rhash_set(ht_, key, 2, "v", -1); });
  EXPECT_EQ(out.rfind("rhash_set(): setting ab: v (0x", 0), 0u) << out;
  out = stderr_of([&] { rhash_set(ht_, key, 2, "w", -1); });
  EXPECT_EQ(out.rfind("rhash_set(): replacing ab: v -> w (0x", 0), 0u) << out;
  EXPECT_STREQ(static_cast<char *>(rhash_get(ht_, "ab", 2)), "w");
}

TEST_F(RhashTest, StoredValueMayBeSetAgainFromItself) {
  rhash_set(ht_, "k", -1, "same text", -1);
  rhash_set(ht_, "k", -1, rhash_get(ht_, "k", -1), -1);
  EXPECT_STREQ(get_str("k"), "same text");
  rhash_set(ht_, "k", -1, rhash_get(ht_, "k", -1), 4);
  EXPECT_EQ(std::memcmp(rhash_get(ht_, "k", -1), "same", 4), 0);
}

TEST_F(RhashTest, KeysWithNulBytesDifferAfterTheNul) {
  rhash_set(ht_, "a\0b", 3, "first", -1);
  rhash_set(ht_, "a\0c", 3, "second", -1);
  EXPECT_EQ(rhash_count(ht_), 2u);
  EXPECT_STREQ(static_cast<char *>(rhash_get(ht_, "a\0b", 3)), "first");
  EXPECT_STREQ(static_cast<char *>(rhash_get(ht_, "a\0c", 3)), "second");
  EXPECT_EQ(rhash_get(ht_, "a", -1), nullptr);
}

TEST_F(RhashTest, DeletingAnAbsentKeyChangesNothing) {
  rhash_set(ht_, "present", -1, "v", -1);
  std::string out =
      stderr_of([&] { rhash_set(ht_, "absent", -1, nullptr, 0); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(rhash_count(ht_), 1u);
  EXPECT_STREQ(get_str("present"), "v");
}

TEST_F(RhashTest, DeletingTheCurrentEntryWhileIterating) {
  // Delete every other entry at its own position; each key must still be
  // visited exactly once.
  const int n = 200;
  verbosity = 0;
  for (int i = 0; i < n; ++i) {
    std::string k = "key" + std::to_string(i);
    rhash_set(ht_, k.c_str(), -1, k.c_str(), -1);
  }
  std::set<std::string> seen;
  for (rhash_index *hi = rhash_first(pool_.get(), ht_); hi;
       hi = rhash_next(hi)) {
    const void *key = nullptr;
    void *value = nullptr;
    rhash_this(hi, &key, nullptr, &value);
    std::string k(static_cast<const char *>(key));
    EXPECT_EQ(k, static_cast<const char *>(value));
    EXPECT_TRUE(seen.insert(k).second) << k;
    if (std::stoi(k.substr(3)) % 2 == 0)
      rhash_set(ht_, key, -1, nullptr, 0);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(rhash_count(ht_), static_cast<unsigned>(n / 2));
  EXPECT_EQ(rhash_get(ht_, "key0", -1), nullptr);
  EXPECT_STREQ(get_str("key1"), "key1");
}

TEST_F(RhashTest, ClearEmptiesAndTheTableStaysUsable) {
  rhash_clear(ht_);
  EXPECT_EQ(rhash_first(pool_.get(), ht_), nullptr);

  verbosity = 0;
  for (int i = 0; i < 50; ++i) {
    std::string k = std::to_string(i);
    rhash_set(ht_, k.c_str(), -1, "v", -1);
  }
  rhash_clear(ht_);
  EXPECT_EQ(rhash_count(ht_), 0u);
  EXPECT_EQ(rhash_first(pool_.get(), ht_), nullptr);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(rhash_get(ht_, std::to_string(i).c_str(), -1), nullptr);

  rhash_set(ht_, "again", -1, "w", -1);
  EXPECT_STREQ(get_str("again"), "w");
}

} // namespace
