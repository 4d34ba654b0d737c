// Byte-exact checks of the dump stream writer, written into a string.
#include "dumpfile/stream.h"

#include "test_support.h"
#include "util/apr_glue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

// Runs `write` on a stream over a string and returns what it wrote; the
// writer must succeed.
std::string
capture(const std::function<svn_error_t *(svn_stream_t *, apr_pool_t *)>
            &write) {
  vh::Pool pool;
  svn_stringbuf_t *buf = svn_stringbuf_create_empty(pool.get());
  svn_stream_t *out = svn_stream_from_stringbuf(buf, pool.get());
  vh::Error err(write(out, pool.get()));
  EXPECT_FALSE(err) << (err ? err.get()->message : "");
  return std::string(buf->data, buf->len);
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
  std::string out;
  dumpfile_append_prop(&out, c.name, v);
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
  std::string out;
  dumpfile_append_prop_delete(&out, "svn:eol-style");
  EXPECT_EQ(out, "D 13\nsvn:eol-style\n");
  EXPECT_EQ(prop_delete_length("svn:eol-style"), out.size());
  EXPECT_EQ(prop_delete_length(nullptr), 0u);
  out.clear();
  dumpfile_append_prop_delete(&out, nullptr);
  EXPECT_EQ(out, "");
}

const svn_string_t abc = {"abc", 3};
const svn_string_t author = {"jrandom", 7};
const svn_string_t date = {"2026-01-02T03:04:05.000000Z", 27};
const svn_string_t empty = {"", 0};
const svn_string_t native = {"native", 6};

struct record_case {
  const char *label;
  std::function<svn_error_t *(svn_stream_t *, apr_pool_t *)> write;
  std::string expected;
};

class Record : public testing::TestWithParam<record_case> {};

TEST_P(Record, Bytes) {
  EXPECT_EQ(capture(GetParam().write), GetParam().expected);
}

node_record
record(const char *path, char action, svn_node_kind_t kind) {
  node_record rec;
  rec.path = path;
  rec.action = action;
  rec.kind = kind;
  return rec;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Record,
    testing::Values(
        record_case{"header2",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_header(o, 2);
                    },
                    "SVN-fs-dump-format-version: 2\n\n"},
        record_case{"header3",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_header(o, 3);
                    },
                    "SVN-fs-dump-format-version: 3\n\n"},
        record_case{"uuid",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_uuid(o, "1234-ab");
                    },
                    "UUID: 1234-ab\n\n"},
        record_case{"noprops",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_revision(o, 4, {});
                    },
                    "Revision-number: 4\nProp-content-length: 0\n"
                    "Content-length: 0\n\n"},
        record_case{"emptylog",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_revision(o, 0,
                                                     {{"svn:log", &empty}});
                    },
                    "Revision-number: 0\nProp-content-length: 27\n"
                    "Content-length: 27\n\nK 7\nsvn:log\nV 0\n\nPROPS-END\n"
                    "\n"},
        record_case{"full",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_revision(
                          o, 12,
                          {{"svn:log", &abc},
                           {"svn:author", &author},
                           {"svn:date", &date}});
                    },
                    "Revision-number: 12\nProp-content-length: 104\n"
                    "Content-length: 104\n\n"
                    "K 7\nsvn:log\nV 3\nabc\n"
                    "K 10\nsvn:author\nV 7\njrandom\n"
                    "K 8\nsvn:date\nV 27\n2026-01-02T03:04:05.000000Z\n"
                    "PROPS-END\n\n"},
        record_case{"padding",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_padding(o, 7);
                    },
                    "Revision-number: 7\nProp-content-length: 66\n"
                    "Content-length: 66\n\n"
                    "K 7\nsvn:log\nV 38\n"
                    "This is an empty revision for padding.\n"
                    "PROPS-END\n\n"},
        record_case{"prefixdir",
                    [](svn_stream_t *o, apr_pool_t *) {
                      return dumpfile_write_prefix_dir(o, "a/b");
                    },
                    "Node-path: a/b\nNode-kind: dir\nNode-action: add\n\n"},
        record_case{"deletion",
                    [](svn_stream_t *o, apr_pool_t *p) {
                      return dumpfile_write_node(
                          o, record("x/a", 'D', svn_node_none), p);
                    },
                    "Node-path: x/a\nNode-action: delete\n\n\n"},
        record_case{"directory without properties",
                    [](svn_stream_t *o, apr_pool_t *p) {
                      node_record rec = record("d", 'A', svn_node_dir);
                      rec.with_props = true;
                      return dumpfile_write_node(o, rec, p);
                    },
                    "Node-path: d\nNode-kind: dir\nNode-action: add\n"
                    "Prop-content-length: 10\nContent-length: 10\n\n"
                    "PROPS-END\n\n\n"},
        record_case{"copy without block",
                    [](svn_stream_t *o, apr_pool_t *p) {
                      node_record rec = record("b", 'A', svn_node_dir);
                      rec.copyfrom_path = "trunk";
                      rec.copyfrom_rev = 3;
                      return dumpfile_write_node(o, rec, p);
                    },
                    "Node-path: b\nNode-kind: dir\nNode-action: add\n"
                    "Node-copyfrom-rev: 3\nNode-copyfrom-path: trunk\n"
                    "Content-length: 0\n\n\n\n"},
        record_case{"property difference",
                    [](svn_stream_t *o, apr_pool_t *p) {
                      node_record rec = record("f", 'M', svn_node_file);
                      rec.with_props = true;
                      rec.prop_delta = true;
                      rec.props = {{"svn:eol-style", &native}};
                      rec.prop_deletions = {"x"};
                      return dumpfile_write_node(o, rec, p);
                    },
                    "Node-path: f\nNode-kind: file\nNode-action: change\n"
                    "Prop-delta: true\nProp-content-length: 46\n"
                    "Content-length: 46\n\n"
                    "K 13\nsvn:eol-style\nV 6\nnative\nD 1\nx\nPROPS-END\n"
                    "\n\n"}),
    [](const testing::TestParamInfo<record_case> &p) {
      std::string name;
      for (const char *c = p.param.label; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST(NodeRecord, TextFollowsHeadersWithItsLengthAndDigest) {
  vh_test::TempDir tmp;
  std::string name = tmp / "text";
  const char text[] = "file\0text";
  std::FILE *f = std::fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(text, 1, sizeof(text) - 1, f);
  std::fclose(f);

  node_record rec = record("f", 'A', svn_node_file);
  rec.with_props = true;
  rec.text_file = name.c_str();
  rec.text_delta = true;
  rec.has_md5 = true;
  for (int i = 0; i < 16; ++i)
    rec.md5[i] = static_cast<unsigned char>(i);
  std::string out = capture([&](svn_stream_t *o, apr_pool_t *p) {
    return dumpfile_write_node(o, rec, p);
  });
  EXPECT_EQ(out,
            std::string("Node-path: f\nNode-kind: file\nNode-action: add\n"
                        "Prop-content-length: 10\nText-delta: true\n"
                        "Text-content-length: 9\n"
                        "Text-content-md5: 000102030405060708090a0b0c0d0e0f\n"
                        "Content-length: 19\n\nPROPS-END\nfile\0text\n\n",
                        202));
}

TEST(NodeRecord, MissingTextFailsBeforeAnythingIsWritten) {
  vh::Pool pool;
  svn_stringbuf_t *buf = svn_stringbuf_create_empty(pool.get());
  svn_stream_t *out = svn_stream_from_stringbuf(buf, pool.get());
  node_record rec = record("f", 'A', svn_node_file);
  rec.text_file = "/nonexistent/vh_stream";
  vh::Error err(dumpfile_write_node(out, rec, pool.get()));
  EXPECT_TRUE(err);
  EXPECT_EQ(buf->len, 0u);
}

} // namespace
