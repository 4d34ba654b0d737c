// The level printers, the display of error chains, the constructors of
// vh::Error chains and the one report of a failure.
#include "util/diagnostics.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <svn_error.h>
#include <svn_error_codes.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace {

TEST(Printers, WriteOnlyAtTheirLevel) {
  // Expected output at verbosity -1, 0, 1, 2, 3, 4.
  const char *expected[] = {"", "N", "NV", "NVP", "NVPD", "NVPD"};
  for (int v = -1; v <= 4; ++v) {
    verbosity = v;
    testing::internal::CaptureStderr();
    print_normal("%s", "N");
    print_verbose("%c", 'V');
    print_progress("%s", "P");
    print_debug("%d", 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::string want = expected[v + 1];
    if (v >= 3)
      want.back() = '0';
    EXPECT_EQ(err, want) << "verbosity " << v;
  }
  verbosity = 0;
}

// The counter lines of -v -v: rewritten on a terminal, left out elsewhere,
// so that a log holds only the finished lines.
TEST(Printers, CounterLinesOnlyOnATerminal) {
  const struct {
    int verbosity;
    bool terminal;
    const char *expected;
  } cases[] = {
      {1, false, "Label: done\n"},
      {1, true, "Label: done\n"},
      {2, false, "Label: done\n"},
      {2, true, "Label: \r\x1b[0KLabel: 1\r\x1b[0KLabel: 2\r\x1b[0KLabel: "
                "done\n"},
      {3, false, "Label: done\n"},
      {3, true, "Label: \r\x1b[0KLabel: 1\r\x1b[0KLabel: 2done\n"},
  };
  for (const auto &c : cases) {
    verbosity = c.verbosity;
    diagnostics_set_terminal(c.terminal);
    testing::internal::CaptureStderr();
    print_verbose("%s", "Label: ");
    for (int i = 1; i <= 2; ++i)
      print_progress_update("%s%d", "Label: ", i);
    print_progress_finish("Label: ", "done\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected)
        << "verbosity " << c.verbosity << ", terminal " << c.terminal;
  }
  verbosity = 0;
  diagnostics_set_terminal(false);
}

TEST(Status, OnATerminalBelowTheLines) {
  verbosity = 0;
  diagnostics_set_terminal(true);
  testing::internal::CaptureStderr();
  progress_begin(2);
  print_normal("* Dumped revision %d.\n", 1);
  progress_revision_done();
  print_normal("* Dumped revision %d.\n", 2);
  progress_revision_done();
  progress_end();
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string clear = "\r\x1b[0K";
  const std::string start = clear + "0 of 2 revisions\r" + clear +
                            "* Dumped revision 1.\n" + clear +
                            "1 of 2 revisions, ";
  EXPECT_EQ(err.substr(0, start.size()), start) << err;
  EXPECT_NE(err.find(clear + "* Dumped revision 2.\n" + clear +
                     "2 of 2 revisions, "),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(" per second, expected end at "), std::string::npos);
  EXPECT_EQ(err.substr(err.size() - clear.size() - 1), "\r" + clear);
  diagnostics_set_terminal(false);
}

TEST(Status, NothingButTheLinesElsewhereOrAtOtherVerbosities) {
  const struct {
    int verbosity;
    bool terminal;
    const char *expected;
  } cases[] = {
      {0, false, "* line\n"},
      {1, true, "* line\n"},
      {-1, true, ""},
  };
  for (const auto &c : cases) {
    verbosity = c.verbosity;
    diagnostics_set_terminal(c.terminal);
    testing::internal::CaptureStderr();
    progress_begin(3);
    print_normal("%s", "* line\n");
    progress_revision_done();
    progress_end();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected)
        << "verbosity " << c.verbosity;
  }
  verbosity = 0;
  diagnostics_set_terminal(false);
}

class HandleError : public testing::Test {
protected:
  static std::string
  shown(svn_error_t *err) {
    testing::internal::CaptureStderr();
    handle_error(err, "ERROR: ");
    std::string out = testing::internal::GetCapturedStderr();
    svn_error_clear(err);
    return out;
  }
};

TEST_F(HandleError, OneLinePerMessage) {
  svn_error_t *err = svn_error_create(SVN_ERR_RA_ILLEGAL_URL, nullptr, "inner");
  err = svn_error_create(SVN_ERR_RA_ILLEGAL_URL, err, "outer");
  EXPECT_EQ(shown(err), "ERROR: outer\nERROR: inner\n");
}

TEST_F(HandleError, EveryLineOfAMessageIsPrefixed) {
  svn_error_t *err = svn_error_create(SVN_ERR_AUTHN_FAILED, nullptr,
                                      "No more credentials\nAuthentication "
                                      "failed\n");
  EXPECT_EQ(shown(err),
            "ERROR: No more credentials\nERROR: Authentication failed\n");
}

TEST_F(HandleError, ACodeWithoutMessageIsShownOnce) {
  svn_error_t *err = svn_error_create(SVN_ERR_FS_NOT_FOUND, nullptr, nullptr);
  err = svn_error_create(SVN_ERR_FS_NOT_FOUND, err, nullptr);
  err = svn_error_create(SVN_ERR_FS_NOT_FOUND, err, "with text");
  char buf[256];
  std::string generic = svn_strerror(SVN_ERR_FS_NOT_FOUND, buf, sizeof(buf));
  EXPECT_EQ(shown(err), "ERROR: with text\nERROR: " + generic + "\n");
}

TEST_F(HandleError, OperatingSystemCodes) {
  svn_error_t *err = svn_error_create(ENOENT, nullptr, nullptr);
  EXPECT_EQ(shown(err), std::string("ERROR: ") + std::strerror(ENOENT) + "\n");
}

TEST_F(HandleError, NoErrorWritesNothing) {
  EXPECT_EQ(shown(SVN_NO_ERROR), "");
}

// The program's own failures: one link with its code and message, wrapped
// links outermost first, system errors with the system's reason.
TEST(ErrorChains, CreateWrapAndSystemErrors) {
  vh::Error one = vh::Error::createf(vh::FAILURE, "no %s for %ld", "tree", 7L);
  ASSERT_TRUE(one);
  EXPECT_EQ(one.get()->apr_err, vh::FAILURE);
  EXPECT_STREQ(one.message(), "no tree for 7");
  EXPECT_EQ(one.get()->child, nullptr);

  vh::Error sys = vh::Error::from_errno(ENOSPC, "Can't write to '%s'", "f");
  EXPECT_EQ(sys.get()->apr_err, APR_FROM_OS_ERROR(ENOSPC));
  EXPECT_EQ(std::string(sys.message()),
            std::string("Can't write to 'f': ") + std::strerror(ENOSPC));

  vh::Error wrapped = vh::Error::wrapf(
      std::move(sys), "Error storing paths for revision %d", 3);
  EXPECT_FALSE(sys);
  EXPECT_EQ(wrapped.get()->apr_err, APR_FROM_OS_ERROR(ENOSPC));
  EXPECT_EQ(vh_test::reported(std::move(wrapped)),
            std::string("ERROR: Error storing paths for revision 3\n"
                        "ERROR: Can't write to 'f': ") +
                std::strerror(ENOSPC) + "\n");

  vh::Error alone = vh::Error::wrapf(vh::Error(), "%s", "alone");
  EXPECT_EQ(alone.get()->apr_err, vh::FAILURE);
  EXPECT_EQ(alone.get()->child, nullptr);
  EXPECT_EQ(vh_test::reported(std::move(alone)), "ERROR: alone\n");
}

TEST(ReportError, WritesTheChainOnceAndTakesIt) {
  vh::Error err = vh::Error::createf(vh::FAILURE, "%s", "gone");
  EXPECT_EQ(vh_test::reported(std::move(err)), "ERROR: gone\n");
  EXPECT_FALSE(err); // taken and cleared
  EXPECT_EQ(vh_test::reported(std::move(err)), "");
  EXPECT_EQ(vh_test::reported(vh::Error()), "");
}

} // namespace
