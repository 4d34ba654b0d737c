// Name obfuscation: path splitting and joining, the word generator and the
// name tables.
#include "obfuscate/obfuscate.h"
#include "util/apr_glue.h"

#include "test_support.h"

#include <apr_hash.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

class ObfuscateTest : public ::testing::Test {
protected:
  void
  SetUp() override {
    obfuscator_init(&obf, root.get());
    obf.enabled = true;
    std::srand(4711);
  }

  // The word the run gave to `name` (null when it has none yet).
  const char *
  word_of(const char *name) {
    return static_cast<const char *>(
        apr_hash_get(obf.obfuscated_names, name, APR_HASH_KEY_STRING));
  }

  vh::Pool root;
  vh::Pool scratch{root.get()};
  obfuscator obf;
};

bool
is_word(const std::string &w) {
  if (w.empty())
    return false;
  for (char c : w)
    if (c < 'a' || c > 'y')
      return false;
  return true;
}

TEST(PathSplit, Cases) {
  vh::Pool pool;
  struct {
    const char *path, *dir, *base;
  } cases[] = {
      {"", "", ""},        {"name", "", "name"}, {"/", "/", "/"},
      {"/a", "/", "a"},    {"a/b", "a", "b"},    {"/a/b/c", "/a/b", "c"},
      {"a/b/", "a/b", ""}, {"a/", "a", ""},
  };
  for (const auto &c : cases) {
    const char *dir = nullptr;
    const char *base = nullptr;
    path_split(pool.get(), c.path, &dir, &base);
    EXPECT_STREQ(dir, c.dir) << c.path;
    EXPECT_STREQ(base, c.base) << c.path;
    EXPECT_NE(base, c.path) << "base must be a copy: " << c.path;
  }
}

TEST(PathJoin, Cases) {
  vh::Pool pool;
  struct {
    const char *dir, *name, *joined;
  } cases[] = {
      {"a", "b", "a/b"},  {"/", "b", "/b"},        {"a/", "b", "a/b"},
      {"a", "/b", "a/b"}, {"/a/b", "c", "/a/b/c"},
  };
  for (const auto &c : cases)
    EXPECT_STREQ(path_join(pool.get(), c.dir, c.name), c.joined)
        << c.dir << " + " << c.name;
}

TEST_F(ObfuscateTest, FlagClearPassesArgumentsAndDrawsNothing) {
  obf.enabled = false;
  std::srand(99);
  const char *path = "trunk/readme";
  const char *text = "a log message";
  EXPECT_EQ(obfuscate_path(&obf, scratch.get(), path), path);
  EXPECT_EQ(obfuscate_text(&obf, scratch.get(), text), text);
  EXPECT_EQ(obfuscate_reveal_path(&obf, scratch.get(), path), path);
  EXPECT_EQ(obfuscate_path(&obf, scratch.get(), nullptr), nullptr);
  EXPECT_EQ(obfuscate_text(&obf, scratch.get(), nullptr), nullptr);
  int next = std::rand();
  std::srand(99);
  EXPECT_EQ(next, std::rand()) << "a random number was drawn";
  EXPECT_EQ(apr_hash_count(obf.obfuscated_names), 0u);
}

TEST_F(ObfuscateTest, NullStaysNull) {
  EXPECT_EQ(obfuscate_path(&obf, scratch.get(), nullptr), nullptr);
  EXPECT_EQ(obfuscate_text(&obf, scratch.get(), nullptr), nullptr);
}

TEST_F(ObfuscateTest, SameNameSameWordEverywhere) {
  std::string a = obfuscate_path(&obf, scratch.get(), "trunk/readme");
  std::string b = obfuscate_path(&obf, scratch.get(), "tags/rel/readme");
  std::string c = obfuscate_path(&obf, scratch.get(), "/trunk/readme");
  std::string d = obfuscate_path(&obf, scratch.get(), "trunk");
  const std::string trunk = word_of("trunk"), readme = word_of("readme");
  const std::string tags = word_of("tags"), rel = word_of("rel");
  EXPECT_EQ(a, trunk + "/" + readme);
  EXPECT_EQ(b, tags + "/" + rel + "/" + readme);
  EXPECT_EQ(c, "/" + a) << "absolute and relative forms differ in the slash";
  EXPECT_EQ(d, trunk);
  EXPECT_EQ(apr_hash_count(obf.obfuscated_names), 4u);
  EXPECT_EQ(apr_hash_count(obf.used_words), 4u);
  // A single component is the word itself, which outlives `scratch`.
  EXPECT_EQ(obfuscate_path(&obf, scratch.get(), "trunk"), word_of("trunk"));
  for (const auto &w : {trunk, readme, tags, rel})
    EXPECT_TRUE(is_word(w)) << w;
}

TEST_F(ObfuscateTest, DistinctNamesGetDistinctWords) {
  // Enough names that draws collide and are drawn again.
  std::set<std::string> words;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    // Appended rather than "n" + to_string(i): GCC 12 at -O3 warns about an
    // overlap that cannot happen in that operator+ (a false -Wrestrict).
    std::string name = "n";
    name += std::to_string(i);
    words.insert(obfuscate_path(&obf, scratch.get(), name.c_str()));
  }
  EXPECT_EQ(words.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(apr_hash_count(obf.used_words), static_cast<unsigned>(n));
  // And the mapping stays fixed afterwards.
  std::string again = obfuscate_path(&obf, scratch.get(), "n17/n4711");
  EXPECT_EQ(again, std::string(word_of("n17")) + "/" + word_of("n4711"));
}

TEST_F(ObfuscateTest, EmptyPathEntersNothing) {
  const char *out = obfuscate_path(&obf, scratch.get(), "");
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(apr_hash_count(obf.obfuscated_names), 0u);
  EXPECT_EQ(apr_hash_count(obf.used_words), 0u);
}

TEST_F(ObfuscateTest, RootIsSlashAndTheWordForSlash) {
  std::string out = obfuscate_path(&obf, scratch.get(), "/");
  ASSERT_NE(word_of("/"), nullptr);
  EXPECT_EQ(out, std::string("/") + word_of("/"));
}

TEST_F(ObfuscateTest, TrailingSlashYieldsEmptyButMapsNames) {
  EXPECT_STREQ(obfuscate_path(&obf, scratch.get(), "a/b/"), "");
  EXPECT_NE(word_of("a"), nullptr);
  EXPECT_NE(word_of("b"), nullptr);
  EXPECT_EQ(apr_hash_count(obf.obfuscated_names), 2u);
}

TEST_F(ObfuscateTest, TextGetsFreshIndependentWords) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string w = obfuscate_text(&obf, scratch.get(), "jrandom");
    EXPECT_TRUE(is_word(w)) << w;
    seen.insert(w);
  }
  EXPECT_GT(seen.size(), 1u) << "equal authors must not share one word";
  EXPECT_EQ(apr_hash_count(obf.used_words), 0u) << "texts are not recorded";
  EXPECT_EQ(apr_hash_count(obf.obfuscated_names), 0u);
}

TEST_F(ObfuscateTest, RevealUndoesObfuscation) {
  const char *paths[] = {"trunk/src/main.c", "branches/b 1/src", "trunk", "",
                         "/trunk/src"};
  for (const char *p : paths) {
    const char *o = obfuscate_path(&obf, scratch.get(), p);
    EXPECT_STREQ(obfuscate_reveal_path(&obf, scratch.get(), o), p) << p;
  }
  // Components that are no word of the run pass as they are.
  EXPECT_STREQ(obfuscate_reveal_path(&obf, scratch.get(), "zz/zzz"), "zz/zzz");
}

TEST(RandomWord, LengthAndLetters) {
  vh::Pool pool;
  std::srand(1);
  std::vector<long> count(26);
  std::set<std::size_t> lengths;
  long letters = 0;
  for (int i = 0; i < 100000; ++i) {
    std::string w = random_word(pool.get(), nullptr);
    ASSERT_GE(w.size(), 3u);
    ASSERT_LE(w.size(), 10u);
    lengths.insert(w.size());
    for (char c : w) {
      ASSERT_TRUE(c >= 'a' && c < 'z') << w;
      ++count[c - 'a'];
      ++letters;
    }
  }
  EXPECT_EQ(lengths.size(), 8u) << "every length from 3 to 10 occurs";
  // Shares of the letter table, in thousandths.
  const int share[26] = {82, 15, 28, 32, 127, 22, 20, 61, 70, 2,  8, 40, 24,
                         67, 75, 19, 1,  60,  63, 91, 28, 10, 24, 2, 29, 0};
  for (int i = 0; i < 26; ++i)
    EXPECT_NEAR(1000.0 * count[i] / letters, share[i], 1.5)
        << static_cast<char>('a' + i);
}

TEST(RandomWord, EachRejectedDrawAllowsOneMoreLetter) {
  vh::Pool pool;
  // Seeding anew replays the same draws, so the words drawn so far are
  // rejected one after the other: after k rejections the word has at most
  // 10 + k letters, and the longest lengths do occur.
  const int k_max = 3;
  std::vector<std::size_t> longest(k_max + 1);
  for (unsigned seed = 1; seed <= 400; ++seed) {
    vh::Pool scratch(pool.get());
    apr_hash_t *used = apr_hash_make(scratch.get());
    for (int k = 0; k <= k_max; ++k) {
      std::srand(seed);
      unsigned before = apr_hash_count(used);
      std::string w = random_word(scratch.get(), used);
      ASSERT_EQ(apr_hash_count(used), before + 1) << "word not new: " << w;
      ASSERT_STREQ(static_cast<const char *>(
                       apr_hash_get(used, w.c_str(), APR_HASH_KEY_STRING)),
                   w.c_str());
      ASSERT_LE(w.size(), 10u + k) << "seed " << seed << ", k " << k;
      for (char c : w)
        ASSERT_TRUE(c >= 'a' && c < 'z') << w;
      longest[k] = std::max(longest[k], w.size());
    }
  }
  for (int k = 0; k <= k_max; ++k)
    EXPECT_EQ(longest[k], 10u + k) << "k " << k;
}

} // namespace
