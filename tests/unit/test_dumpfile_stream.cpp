// Byte-exact checks of the dump stream writers, captured from standard
// output.
#include "dumpfile/stream.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

std::string
capture(const std::function<void()> &write) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  write();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

svn_string_t
counted(const char *data, std::size_t len) {
  return svn_string_t{data, len};
}

struct entry_case {
  const char *label;
  const char *name;
  bool has_value;
  std::string value;
  std::string expected;
};

class PropEntry : public testing::TestWithParam<entry_case> {};

TEST_P(PropEntry, LengthMatchesBytesWritten) {
  const entry_case &c = GetParam();
  svn_string_t value = counted(c.value.data(), c.value.size());
  const svn_string_t *v = c.has_value ? &value : nullptr;
  std::string out = capture([&] { write_prop_entry(c.name, v); });
  EXPECT_EQ(out, c.expected);
  EXPECT_EQ(prop_entry_length(c.name, v), c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, PropEntry,
    testing::Values(
        entry_case{"empty", "svn:log", true, "", "K 7\nsvn:log\nV 0\n\n"},
        entry_case{"abc", "svn:log", true, "abc", "K 7\nsvn:log\nV 3\nabc\n"},
        entry_case{"novalue", "svn:log", false, "", "K 7\nsvn:log\nV 0\n\n"},
        entry_case{"nul", "bin", true, std::string("a\0b", 3),
                   std::string("K 3\nbin\nV 3\na\0b\n", 16)},
        entry_case{"tenbytes", "p", true, "0123456789",
                   "K 1\np\nV 10\n0123456789\n"},
        entry_case{"noname", nullptr, true, "x", ""}),
    [](const testing::TestParamInfo<entry_case> &p) {
      return std::string(p.param.label);
    });

TEST(PropEntry, KnownLengths) {
  svn_string_t abc = counted("abc", 3);
  svn_string_t empty = counted("", 0);
  EXPECT_EQ(prop_entry_length("svn:log", &empty), 17u);
  EXPECT_EQ(prop_entry_length("svn:log", &abc), 20u);
}

TEST(PropDelete, LengthMatchesBytesWritten) {
  std::string out = capture([] { write_prop_delete("svn:eol-style"); });
  EXPECT_EQ(out, "D 13\nsvn:eol-style\n");
  EXPECT_EQ(prop_delete_length("svn:eol-style"), out.size());
  EXPECT_EQ(prop_delete_length(nullptr), 0u);
  EXPECT_EQ(capture([] { write_prop_delete(nullptr); }), "");
}

struct record_case {
  const char *label;
  std::function<void()> write;
  std::string expected;
};

class Record : public testing::TestWithParam<record_case> {};

TEST_P(Record, Bytes) {
  EXPECT_EQ(capture(GetParam().write), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Record,
    testing::Values(
        record_case{"header2", [] { write_stream_header(2); },
                    "SVN-fs-dump-format-version: 2\n\n"},
        record_case{"header3", [] { write_stream_header(3); },
                    "SVN-fs-dump-format-version: 3\n\n"},
        record_case{"uuid", [] { write_uuid_record("1234-ab"); },
                    "UUID: 1234-ab\n\n"},
        record_case{"noprops",
                    [] { write_revision_record(4, nullptr, nullptr, nullptr); },
                    "Revision-number: 4\nProp-content-length: 0\n"
                    "Content-length: 0\n\n"},
        record_case{"emptylog",
                    [] { write_revision_record(0, "", nullptr, nullptr); },
                    "Revision-number: 0\nProp-content-length: 27\n"
                    "Content-length: 27\n\nK 7\nsvn:log\nV 0\n\nPROPS-END\n"
                    "\n"},
        record_case{"full",
                    [] {
                      write_revision_record(12, "abc", "jrandom",
                                            "2026-01-02T03:04:05.000000Z");
                    },
                    "Revision-number: 12\nProp-content-length: 104\n"
                    "Content-length: 104\n\n"
                    "K 7\nsvn:log\nV 3\nabc\n"
                    "K 10\nsvn:author\nV 7\njrandom\n"
                    "K 8\nsvn:date\nV 27\n2026-01-02T03:04:05.000000Z\n"
                    "PROPS-END\n\n"},
        record_case{"padding", [] { write_padding_record(7); },
                    "Revision-number: 7\nProp-content-length: 66\n"
                    "Content-length: 66\n\n"
                    "K 7\nsvn:log\nV 38\n"
                    "This is an empty revision for padding.\n"
                    "PROPS-END\n\n"},
        record_case{"prefixdir", [] { write_prefix_dir_record("a/b"); },
                    "Node-path: a/b\nNode-kind: dir\nNode-action: add\n\n"}),
    [](const testing::TestParamInfo<record_case> &p) {
      return std::string(p.param.label);
    });

TEST(StreamCopy, TextFollowsBufferedHeaders) {
  char name[] = "/tmp/vh_stream_testXXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const char text[] = "file\0text";
  ASSERT_EQ(write(fd, text, sizeof(text) - 1),
            static_cast<ssize_t>(sizeof(text) - 1));
  close(fd);

  apr_pool_t *pool = nullptr;
  apr_pool_create(&pool, nullptr);
  svn_error_t *err = SVN_NO_ERROR;
  std::string out = capture([&] {
    std::fputs("Text-content-length: 9\n\n", stdout);
    err = stream_copy_file(name, pool);
    std::fputs("\n\n", stdout);
  });
  EXPECT_EQ(err, nullptr);
  svn_error_clear(err);
  EXPECT_EQ(out, std::string("Text-content-length: 9\n\nfile\0text\n\n", 35));

  err = stream_copy_file("/nonexistent/vh_stream", pool);
  EXPECT_NE(err, nullptr);
  svn_error_clear(err);
  apr_pool_destroy(pool);
  unlink(name);
}

} // namespace
