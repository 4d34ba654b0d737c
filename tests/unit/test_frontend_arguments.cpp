// The revision-range forms, the argument scan and removal of the temporary
// directory.
#include "util/diagnostics.h"
#include "frontend/arguments.h"
#include "repos/session.h"

#include "test_support.h"
#include "vornhald_config.h"

#include <gtest/gtest.h>

#include <svn_pools.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct range_case {
  const char *text;
  bool invalid;
  svn_revnum_t start, end;
};

const range_case range_cases[] = {
    {"5", false, 4, 5},
    {"1", false, 0, 1},
    {"3:3", false, 3, 3},
    {"0:7", false, 0, 7},
    {"3:HEAD", false, 3, -1},
    {"0:head", false, 0, -1},
    {"head", false, -1, -1},
    {"HEAD", false, -1, -1},
    {"HEAD:head", false, -1, -1},
    {"0", true, 0, 0},
    {"-3", true, 0, 0},
    // No blanks and no signs.
    {" 5", true, 0, 0},
    {"+5", true, 0, 0},
    {"3:+5", true, 0, 0},
    {"3: 5", true, 0, 0},
    {"3 :5", true, 0, 0},
    {"5:3", true, 0, 0},
    {"-1:3", true, 0, 0},
    {"-1:HEAD", true, 0, 0},
    {"3x", true, 0, 0},
    {"3:4x", true, 0, 0},
    {"3:", true, 0, 0},
    {":3", true, 0, 0},
    {"HEAD:3", true, 0, 0},
    {"HEADS", true, 0, 0},
    {"HEAD:HEADS", true, 0, 0},
    {"HEA", true, 0, 0},
    {"", true, 0, 0},
    {"x", true, 0, 0},
    {"9223372036854775807", false, 9223372036854775806, 9223372036854775807},
    {"99999999999999999999", true, 0, 0},
    {"1:99999999999999999999", true, 0, 0},
    {"-99999999999999999999:HEAD", true, 0, 0},
};

void
PrintTo(const range_case &c, std::ostream *os) {
  *os << '"' << c.text << '"';
}

class RevisionRange : public testing::TestWithParam<range_case> {};

TEST_P(RevisionRange, ParsesOrRejects) {
  const range_case &c = GetParam();
  svn_revnum_t start = 100, end = 100;
  EXPECT_EQ(parse_revision_range(c.text, &start, &end), c.invalid);
  if (c.invalid) {
    EXPECT_EQ(start, 100);
    EXPECT_EQ(end, 100);
  } else {
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(end, c.end);
  }
}

// Test names from the case text: "3:HEAD" is case_N_3_HEAD.
std::string
range_case_name(const testing::TestParamInfo<range_case> &info) {
  std::string name = "case_" + std::to_string(info.index) + "_";
  for (const char *p = info.param.text; *p; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Forms, RevisionRange, testing::ValuesIn(range_cases),
                         range_case_name);

// --stop passes one variable for both bounds.
TEST(RevisionRange, SameVariableForBothBounds) {
  const struct {
    const char *text;
    svn_revnum_t end;
  } cases[] = {{"7", 6}, {"1", 0}, {"2:9", 9}, {"HEAD", -1}, {"4:HEAD", -1}};
  for (const auto &c : cases) {
    svn_revnum_t rev = 100;
    EXPECT_FALSE(parse_revision_range(c.text, &rev, &rev)) << c.text;
    EXPECT_EQ(rev, c.end) << c.text;
  }
  svn_revnum_t rev = 100;
  EXPECT_TRUE(parse_revision_range("0", &rev, &rev));
}

// Ranges with dates are kept as typed until the repository answers them.
TEST(RevisionRange, Dates) {
  apr_pool_t *pool = svn_pool_create(nullptr);
  const struct {
    const char *text;
    bool invalid, single, start_date, end_date;
    svn_revnum_t start, end; // the numbers that are not dates
  } cases[] = {
      {"{2020-01-01}", false, true, true, true, 0, 0},
      {"{2020-01-01}:HEAD", false, false, true, false, 0, -1},
      {"{2020-01-01}:{2021-06-30 12:00}", false, false, true, true, 0, 0},
      {"3:{2020-01-01}", false, false, false, true, 3, 0},
      {"{2020-01-01}:7", false, false, true, false, 0, 7},
      {"{2020-01-01}:PREV", true, false, false, false, 0, 0},
      {"BASE:{2020-01-01}", true, false, false, false, 0, 0},
      {"HEAD:{2020-01-01}", true, false, false, false, 0, 0},
      {"{2020-01-01}:", true, false, false, false, 0, 0},
      {"{yesterday-ish}", true, false, false, false, 0, 0},
      {"{2020-01-01", true, false, false, false, 0, 0},
  };
  for (const auto &c : cases) {
    svn_revnum_t start = 100, end = 100;
    revision_request req;
    EXPECT_EQ(parse_revision_argument(c.text, &start, &end, &req, pool),
              c.invalid)
        << c.text;
    // Nothing is settled before the repository is asked.
    EXPECT_EQ(start, 100) << c.text;
    EXPECT_EQ(end, 100) << c.text;
    if (c.invalid) {
      EXPECT_EQ(req.text, nullptr) << c.text;
      continue;
    }
    EXPECT_STREQ(req.text, c.text);
    EXPECT_EQ(req.single, c.single) << c.text;
    EXPECT_EQ(req.start.is_date, c.start_date) << c.text;
    EXPECT_EQ(req.end.is_date, c.end_date) << c.text;
    if (!c.start_date) {
      EXPECT_EQ(req.start.number, c.start) << c.text;
    }
    if (!c.end_date) {
      EXPECT_EQ(req.end.number, c.end) << c.text;
    }
  }
  // A later form without dates replaces one with them.
  svn_revnum_t start = 0, end = 0;
  revision_request req;
  ASSERT_FALSE(parse_revision_argument("{2020-01-01}", &start, &end, &req,
                                       pool));
  ASSERT_FALSE(parse_revision_argument("4:5", &start, &end, &req, pool));
  EXPECT_EQ(req.text, nullptr);
  EXPECT_EQ(start, 4);
  EXPECT_EQ(end, 5);
  svn_pool_destroy(pool);
}

// One scan of a command line, with what it wrote.
struct scan_run {
  scan_result result;
  session sess;
  dump_options opts;
  command_line cl;
  std::string out, err;
  std::vector<std::string> argv_after;
};

class Scan : public testing::Test {
protected:
  void
  SetUp() override {
    pool_ = svn_pool_create(nullptr);
  }
  void
  TearDown() override {
    svn_pool_destroy(pool_);
    verbosity = 0;
  }

  scan_run
  scan(std::vector<std::string> words) {
    words.insert(words.begin(), "vornhald");
    std::vector<char *> argv;
    for (auto &w : words)
      argv.push_back(w.data());
    argv.push_back(nullptr);
    scan_run r;
    r.sess.pool = pool_;
    verbosity = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.result = scan_arguments(static_cast<int>(words.size()), argv.data(),
                              &r.sess, &r.opts, &r.cl);
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    r.argv_after = words;
    return r;
  }

  apr_pool_t *pool_ = nullptr;
};

const char hint[] = "Please run with --help for usage information.\n";
const char url[] = "svn://127.0.0.1/repo";

TEST_F(Scan, HelpAndVersionStopTheScan) {
  for (const char *word : {"-h", "--help"}) {
    scan_run r = scan({url, word, "--bogus"});
    EXPECT_EQ(r.result, SCAN_EXIT_SUCCESS);
    EXPECT_EQ(r.out.rfind("vornhald " VORNHALD_VERSION "\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("USAGE: vornhald [options] <url>\n"),
              std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  scan_run r = scan({"--version", "--bogus"});
  EXPECT_EQ(r.result, SCAN_EXIT_SUCCESS);
  EXPECT_EQ(r.out.rfind("vornhald " VORNHALD_VERSION "\n", 0), 0u);
  EXPECT_EQ(r.out.find("USAGE"), std::string::npos);
  // An error before --help ends the scan there.
  r = scan({"bogus", "--help"});
  EXPECT_EQ(r.result, SCAN_EXIT_FAILURE);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            std::string("ERROR: Unknown argument or malformed url 'bogus'.\n") +
                hint);
}

TEST_F(Scan, Errors) {
  const struct {
    std::vector<std::string> words;
    std::string err;
  } cases[] = {
      {{url, "-x"},
       std::string("ERROR: Unknown argument or malformed url "
                   "'-x'.\n") +
           hint},
      {{url, "--revision"},
       std::string("ERROR: Missing argument for option: --revision\n") +
           hint},
      {{url, "-vr"},
       std::string("ERROR: Missing argument for option: -r\n") + hint},
      {{url, "-qx"},
       std::string("ERROR: Unknown argument or malformed url '-qx'.\n") +
           hint},
      {{url, "-"},
       std::string("ERROR: Unknown argument or malformed url '-'.\n") + hint},
      {{url, "--revisions=5"},
       std::string("ERROR: Unknown argument or "
                   "malformed url '--revisions=5'.\n") +
           hint},
      {{url, "--quiet=yes"},
       std::string("ERROR: the option '--quiet' takes no argument.\n") + hint},
      {{"--", "-q"},
       std::string("ERROR: Unknown argument or malformed url '-q'.\n") + hint},
      {{"-r", "{2020-01-01}:BASE", url},
       "ERROR: invalid revision range '{2020-01-01}:BASE'.\n"},
      {{"-r", "{not a date}", url},
       "ERROR: invalid revision range '{not a date}'.\n"},
      {{"-r", "HEAD:{2020-01-01}", url},
       "ERROR: invalid revision range 'HEAD:{2020-01-01}'.\n"},
      {{"--trust-server-cert-failures", "expired,bogus", url},
       "ERROR: invalid value 'expired,bogus' for --trust-server-cert-failures "
       "(a comma-separated list of unknown-ca, cn-mismatch, expired, "
       "not-yet-valid and other).\n"},
      {{"--trust-server-cert-failures", "expired", url},
       std::string("ERROR: --trust-server-cert-failures requires "
                   "--non-interactive.\n") +
           hint},
      {{"-p", "x", "--password-from-stdin", url},
       std::string("ERROR: --password and --password-from-stdin are mutually "
                   "exclusive.\n") +
           hint},
      {{"--non-interactive", "--force-interactive", url},
       std::string("ERROR: --non-interactive and --force-interactive are "
                   "mutually exclusive.\n") +
           hint},
      {{url, "svn://127.0.0.1/other"},
       std::string("ERROR: multiple URLs detected.\n") + hint},
      {{url, "-r"},
       std::string("ERROR: Missing argument for option: -r\n") + hint},
      {{"--prefix"},
       std::string("ERROR: Missing argument for option: --prefix\n") + hint},
      {{"-p"}, std::string("ERROR: Missing argument for option: -p\n") + hint},
      {{"-r", "5:3", url}, "ERROR: invalid revision range '5:3'.\n"},
      {{"--revision", "0", url}, "ERROR: invalid revision range '0'.\n"},
  };
  for (const auto &c : cases) {
    scan_run r = scan(c.words);
    EXPECT_EQ(r.result, SCAN_EXIT_FAILURE) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Scan, OptionsAndArguments) {
  scan_run r = scan(
      {"-n", "--obfuscate", "--no-auth-cache", "--non-interactive",
       "--keep-revnums", "--no-incremental-header", "--deltas", "--incremental",
       "-r", "3:HEAD", "--config-dir", "/etc/cfg", "--prefix", "-r", url});
  ASSERT_EQ(r.result, SCAN_CONTINUE) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.opts.flags, DF_DRY_RUN | DF_KEEP_REVNUMS |
                              DF_NO_INCREMENTAL_HEADER | DF_USE_DELTAS |
                              DF_INCREMENTAL);
  EXPECT_EQ(r.sess.flags, SF_NO_AUTH_CACHE | SF_NON_INTERACTIVE);
  EXPECT_TRUE(r.sess.obf.enabled);
  EXPECT_EQ(r.opts.start, 3);
  EXPECT_EQ(r.opts.end, -1);
  EXPECT_STREQ(r.sess.config_dir, "/etc/cfg");
  EXPECT_STREQ(r.opts.prefix, "-r"); // the next word, whatever it looks like
  EXPECT_STREQ(r.sess.url, url);
  EXPECT_EQ(r.opts.temp_dir, nullptr);

  r = scan({});
  EXPECT_EQ(r.result, SCAN_CONTINUE);
  EXPECT_EQ(r.sess.url, nullptr);
  EXPECT_EQ(r.opts.start, 0);
  EXPECT_EQ(r.opts.end, -1);
  EXPECT_EQ(r.opts.format_version, 2);
}

// The forms that apr_getopt_long gives every option: "--opt=ARG", "-rARG",
// clusters of short options, "--" before operands.
TEST_F(Scan, OptionForms) {
  const struct {
    std::vector<std::string> words;
    svn_revnum_t start, end;
    const char *prefix;
    int verbosity;
  } cases[] = {
      {{"--revision=5", url}, 4, 5, nullptr, 0},
      {{"-r5:9", url}, 5, 9, nullptr, 0},
      {{"-vr", "3:HEAD", url}, 3, -1, nullptr, 1},
      {{"-vv", url}, 0, -1, nullptr, 2},
      {{"-qv", url}, 0, -1, nullptr, 1},
      {{"--prefix=a/b", url}, 0, -1, "a/b", 0},
      {{"--prefix=", url}, 0, -1, "", 0},
      {{"--prefix", "--", url}, 0, -1, "--", 0},
      {{"-v", "--", url}, 0, -1, nullptr, 1},
  };
  for (const auto &c : cases) {
    scan_run r = scan(c.words);
    const std::string what = testing::PrintToString(c.words);
    ASSERT_EQ(r.result, SCAN_CONTINUE) << what << r.err;
    EXPECT_EQ(r.err, "") << what;
    EXPECT_STREQ(r.sess.url, url) << what;
    EXPECT_EQ(r.opts.start, c.start) << what;
    EXPECT_EQ(r.opts.end, c.end) << what;
    if (c.prefix) {
      EXPECT_STREQ(r.opts.prefix, c.prefix) << what;
    } else {
      EXPECT_EQ(r.opts.prefix, nullptr) << what;
    }
    EXPECT_EQ(verbosity, c.verbosity) << what;
  }
}

TEST_F(Scan, NewOptions) {
  scan_run r = scan({"-F", "out.dump", "--password-from-stdin",
                     "--force-interactive", "--config-option",
                     "servers:global:http-timeout=7", "--config-option=config:"
                     "auth:password-stores=", url});
  ASSERT_EQ(r.result, SCAN_CONTINUE) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_STREQ(r.cl.output_file, "out.dump");
  EXPECT_TRUE(r.cl.password_from_stdin);
  EXPECT_TRUE(r.cl.force_interactive);
  ASSERT_NE(r.sess.config_options, nullptr);
  ASSERT_EQ(r.sess.config_options->nelts, 2);
  const auto &first =
      APR_ARRAY_IDX(r.sess.config_options, 0, session_config_option);
  EXPECT_STREQ(first.file, "servers");
  EXPECT_STREQ(first.section, "global");
  EXPECT_STREQ(first.option, "http-timeout");
  EXPECT_STREQ(first.value, "7");
  const auto &second =
      APR_ARRAY_IDX(r.sess.config_options, 1, session_config_option);
  EXPECT_STREQ(second.file, "config");
  EXPECT_STREQ(second.option, "password-stores");
  EXPECT_STREQ(second.value, "");

  const struct {
    const char *arg;
    std::uint32_t flags;
  } trust[] = {
      {"unknown-ca", SF_TRUST_UNKNOWN_CA},
      {"cn-mismatch,expired", SF_TRUST_CN_MISMATCH | SF_TRUST_EXPIRED},
      {"not-yet-valid,other,unknown-ca",
       SF_TRUST_NOT_YET_VALID | SF_TRUST_OTHER_FAILURE | SF_TRUST_UNKNOWN_CA},
  };
  for (const auto &t : trust) {
    r = scan({"--non-interactive", "--trust-server-cert-failures", t.arg, url});
    ASSERT_EQ(r.result, SCAN_CONTINUE) << r.err;
    EXPECT_EQ(r.sess.flags, SF_NON_INTERACTIVE | t.flags) << t.arg;
  }
}

TEST_F(Scan, ConfigOptionForms) {
  for (const char *bad :
       {"servers:global", "servers:global:x", "other:global:x=1",
        ":global:x=1", "servers::x=1", "servers:global:=1", "config"}) {
    scan_run r = scan({"--config-option", bad, url});
    EXPECT_EQ(r.result, SCAN_EXIT_FAILURE) << bad;
    EXPECT_EQ(r.err, std::string("ERROR: invalid argument '") + bad +
                         "' for --config-option (it takes "
                         "FILE:SECTION:OPTION=[VALUE], FILE being config or "
                         "servers).\n");
  }
  // The value may hold colons and equals signs of its own.
  scan_run r = scan({"--config-option", "config:tunnels:ssh=a=b:c", url});
  ASSERT_EQ(r.result, SCAN_CONTINUE) << r.err;
  const auto &o = APR_ARRAY_IDX(r.sess.config_options, 0, session_config_option);
  EXPECT_STREQ(o.section, "tunnels");
  EXPECT_STREQ(o.option, "ssh");
  EXPECT_STREQ(o.value, "a=b:c");
}

TEST_F(Scan, Verbosity) {
  const struct {
    std::vector<std::string> words;
    int verbosity;
  } cases[] = {
      {{}, 0},
      {{"-q"}, -1},
      {{"-q", "-v"}, 1},
      {{"-v", "-q"}, -1},
      {{"-v", "--verbose", "-v"}, 3},
      {{"--quiet", "-v", "-v"}, 2},
  };
  for (const auto &c : cases) {
    scan_run r = scan(c.words);
    EXPECT_EQ(r.result, SCAN_CONTINUE);
    EXPECT_EQ(verbosity, c.verbosity) << testing::PrintToString(c.words);
  }
}

TEST_F(Scan, CredentialsAreBlankedInArgv) {
  scan_run r = scan({"-u", "alice", "--password", "s3cr3t!", url});
  ASSERT_EQ(r.result, SCAN_CONTINUE);
  EXPECT_STREQ(r.sess.username, "alice");
  EXPECT_STREQ(r.sess.password, "s3cr3t!");
  EXPECT_EQ(r.argv_after[2], "     ");
  EXPECT_EQ(r.argv_after[4], "       ");
  EXPECT_EQ(r.argv_after[5], url);
  // Inline arguments: only the argument part of the word is blanked.
  r = scan({"-ubob", "--password=pw", url});
  ASSERT_EQ(r.result, SCAN_CONTINUE);
  EXPECT_STREQ(r.sess.username, "bob");
  EXPECT_STREQ(r.sess.password, "pw");
  EXPECT_EQ(r.argv_after[1], "-u   ");
  EXPECT_EQ(r.argv_after[2], "--password=  ");
}

TEST_F(Scan, Stop) {
  scan_run r = scan({"-r", "3:9", "--stop", "7", url});
  ASSERT_EQ(r.result, SCAN_CONTINUE);
  EXPECT_EQ(r.opts.start, 0);
  EXPECT_EQ(r.opts.end, 6);
  EXPECT_EQ(r.err,
            "WARNING: the '--stop' option is deprecated. Please use "
            "'--revision'.\n"
            "         The resulting dump WILL DIFFER from the one obtained "
            "with\n"
            "         previous versions of the program if you are dumping a "
            "subdirectory.\n");

  r = scan({"--stop", "0", url});
  EXPECT_EQ(r.result, SCAN_EXIT_FAILURE);
  EXPECT_NE(r.err.find("ERROR: invalid revision number '0'.\n"),
            std::string::npos);
  EXPECT_EQ(r.err.find(hint), std::string::npos);
}

TEST_F(Scan, DeprecatedOptions) {
  const struct {
    std::vector<std::string> words;
    const char *warning;
  } cases[] = {
      {{"--online", url}, "WARNING: the '--online' option is deprecated.\n"},
      {{"--dump-uuid", url},
       "WARNING: the '--dump-uuid' option is deprecated.\n"},
      {{"-d", "-bogus", url}, "WARNING: the '-d' option is deprecated.\n"},
      {{url, "--download-dir"},
       "WARNING: the '--download-dir' option is deprecated.\n"},
      {{"--no-check-certificate", url},
       "WARNING: the '--no-check-certificate' option is deprecated and will "
       "be IGNORED!\n"},
      {{"-o", "out.dump", url},
       "WARNING: the '-o' option is deprecated and will be IGNORED!\n"},
      {{url, "--outfile"},
       "WARNING: the '--outfile' option is deprecated and will be "
       "IGNORED!\n"},
      {{"--outfile=x", url},
       "WARNING: the '--outfile' option is deprecated and will be "
       "IGNORED!\n"},
      {{"-qd", "x", url}, "WARNING: the '-d' option is deprecated.\n"},
  };
  for (const auto &c : cases) {
    scan_run r = scan(c.words);
    EXPECT_EQ(r.result, SCAN_CONTINUE) << r.err;
    EXPECT_EQ(r.err, c.warning);
    EXPECT_STREQ(r.sess.url, url);
  }
}


} // namespace
