// Byte and entry spools: what goes in comes back out, in memory and once
// the bytes have moved to a file.
#include "util/byte_spool.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ByteSpool, ReadsBackWhatWasWrittenBeforeAndAfterItMovesToAFile) {
  vh_test::TempDir tmp("vh-spool-");
  for (std::size_t limit : {std::size_t(1) << 20, std::size_t(10)}) {
    byte_spool spool(tmp.path(), limit);
    ASSERT_TRUE(spool.append_u8('x'));
    ASSERT_TRUE(spool.append_i64(-5));
    ASSERT_TRUE(spool.append_cstr("a string"));
    ASSERT_TRUE(spool.append_cstr(nullptr));
    std::string big(200000, 'b');
    ASSERT_TRUE(spool.append_str(big.data(), big.size()));
    EXPECT_EQ(limit < 100, spool.memory_bytes() < spool.size());
    ASSERT_TRUE(spool.rewind());
    std::uint8_t c = 0;
    std::int64_t n = 0;
    std::string s;
    bool present = false;
    ASSERT_TRUE(spool.read_u8(&c));
    EXPECT_EQ('x', c);
    ASSERT_TRUE(spool.read_i64(&n));
    EXPECT_EQ(-5, n);
    ASSERT_TRUE(spool.read_str(&s, &present));
    EXPECT_TRUE(present);
    EXPECT_EQ("a string", s);
    ASSERT_TRUE(spool.read_str(&s, &present));
    EXPECT_FALSE(present);
    ASSERT_TRUE(spool.read_str(&s, &present));
    EXPECT_EQ(big, s);
    EXPECT_FALSE(spool.read_u8(&c)); // the end
  }
}

TEST(EntrySpool, ReadsEntriesByNumberInMemoryAndFromAFile) {
  vh_test::TempDir tmp("vh-spool-");
  for (std::size_t limit : {std::size_t(1) << 20, std::size_t(16)}) {
    entry_spool spool(tmp.path(), limit);
    for (int i = 0; i < 50; ++i)
      ASSERT_TRUE(
          spool.append(std::string(i, static_cast<char>('a' + i % 26))));
    ASSERT_EQ(50u, spool.count());
    std::string out;
    for (int i : {49, 0, 7, 26}) {
      ASSERT_TRUE(spool.read(i, &out));
      EXPECT_EQ(std::string(i, static_cast<char>('a' + i % 26)), out);
    }
    EXPECT_FALSE(spool.read(50, &out));
  }
}

} // namespace
