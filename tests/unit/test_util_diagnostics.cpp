// The level printers and the display of error chains.
#include "util/diagnostics.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <svn_error.h>
#include <svn_error_codes.h>

#include <cerrno>
#include <cstring>
#include <string>

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

} // namespace
