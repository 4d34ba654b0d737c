// Scaffolding shared by the unit test programs: APR set up once for the whole
// program, and temporary directories that remove themselves.
//
// Including this header is enough to have APR initialised before the first
// test of the program and terminated after the last. APR is never terminated
// and initialised again in between: the file-system and repository-access
// layers keep process-wide state in it, set up by the first test that opens
// a session. Terminating it at the end frees that state before the leak
// check of the sanitizer build runs.
#pragma once

#include "util/apr_glue.h"
#include "util/diagnostics.h"

#include <apr_general.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace vh_test {

class AprEnvironment : public testing::Environment {
public:
  void
  SetUp() override {
    apr_initialize();
  }
  void
  TearDown() override {
    apr_terminate();
  }
};

// Registered once per test program, however many of its files include this
// header; GoogleTest owns the environment.
inline testing::Environment *const apr_environment =
    testing::AddGlobalTestEnvironment(new AprEnvironment);

// A fresh directory "/tmp/<prefix>XXXXXX", removed with everything in it
// when the owner goes. The constructor throws std::runtime_error when the
// directory cannot be made (GoogleTest reports it as the test's failure).
class TempDir {
public:
  explicit TempDir(const std::string &prefix = "vh_unit_") {
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    if (!mkdtemp(tmpl.data()))
      throw std::runtime_error("cannot make a directory like " + tmpl);
    path_ = tmpl;
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string &
  path() const {
    return path_;
  }
  // The path of `name` inside the directory.
  std::string
  operator/(const std::string &name) const {
    return path_ + "/" + name;
  }

private:
  std::string path_;
};

// A test with a fresh temporary directory `tmp_` of its own. The directory
// goes after the members of the derived fixture, so pools whose clean-ups
// remove files in it are gone first.
class TempDirTest : public testing::Test {
protected:
  explicit TempDirTest(const std::string &prefix = "vh_unit_") : tmp_(prefix) {}

  TempDir tmp_;
};

// What the user sees of `err`: the text that report_error writes for it to
// standard error ("" for success). The chain is cleared.
inline std::string
reported(vh::Error &&err) {
  testing::internal::CaptureStderr();
  report_error(std::move(err));
  return testing::internal::GetCapturedStderr();
}

} // namespace vh_test
