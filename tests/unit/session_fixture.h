// Scaffolding of the repository-access tests: a session record made afresh
// for every test, as the front end makes it for a run.
#pragma once

#include "repos/session.h"

#include <gtest/gtest.h>

#include <apr_hash.h>
#include <svn_pools.h>

namespace vh_test {

// A test with an unopened session `sess_`: a root pool of its own
// (destroyed after the test, with the session), empty obfuscation tables and
// no prompts.
class SessionTest : public testing::Test {
protected:
  void
  SetUp() override {
    sess_.pool = svn_pool_create(nullptr);
    obfuscator_init(&sess_.obf, sess_.pool);
    sess_.flags = SF_NON_INTERACTIVE;
  }
  void
  TearDown() override {
    svn_pool_destroy(sess_.pool);
  }

  session sess_;
};

} // namespace vh_test
