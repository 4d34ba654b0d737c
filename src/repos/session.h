// The repository session: the open repository-access handle, the URL forms,
// the dumped subtree's path inside the repository, the credentials from the
// command line and the obfuscation tables. One instance for the whole run,
// initialised by the front end and shared by pointer.
#pragma once

#include "obfuscate/obfuscate.h"
#include "util/apr_glue.h"

#include <apr_hash.h>
#include <apr_pools.h>
#include <svn_client.h>
#include <svn_ra.h>

#include <cstdint>

enum : std::uint32_t {
  SF_NON_INTERACTIVE = 0x2,
  SF_NO_AUTH_CACHE = 0x4,
  // --trust-server-cert-failures: the certificate failures of an https://
  // server that are accepted (with SF_NON_INTERACTIVE only, as in svn).
  SF_TRUST_UNKNOWN_CA = 0x10,
  SF_TRUST_CN_MISMATCH = 0x20,
  SF_TRUST_EXPIRED = 0x40,
  SF_TRUST_NOT_YET_VALID = 0x80,
  SF_TRUST_OTHER_FAILURE = 0x100,
};

// One --config-option FILE:SECTION:OPTION=VALUE: a setting that overrides
// the configuration file FILE ("config" or "servers") for this run.
struct session_config_option {
  const char *file = nullptr;
  const char *section = nullptr;
  const char *option = nullptr;
  const char *value = nullptr;
};

struct session {
  svn_ra_session_t *ra = nullptr;
  apr_pool_t *pool = nullptr;        // root pool of the run
  const char *url = nullptr;         // as typed, for messages
  const char *encoded_url = nullptr; // canonical and URI-encoded
  const char *root = nullptr;        // repository root URL
  const char *repos_path = nullptr;  // subtree below root, no leading slash
  const char *username = nullptr;
  const char *password = nullptr;
  const char *config_dir = nullptr;
  // session_config_option records in command-line order; null for none.
  apr_array_header_t *config_options = nullptr;
  std::uint32_t flags = 0;                // SF_*
  int timeout = 600; // seconds of silence after which a server is given up
  obfuscator obf; // --obfuscate and its tables
  svn_client_ctx_t *ctx = nullptr; // the client context sessions open with
  // A second session on the same URL for the questions that come up while
  // the first one is driving an editor (null until asked for).
  svn_ra_session_t *aux = nullptr;
  // The session's own `ra` is driving an editor now.
  bool driving = false;
};

// The dumped subtree's path inside the repository, "" for the whole
// repository.
inline const char *
session_subtree(const session *sess) {
  return sess->repos_path ? sess->repos_path : "";
}

// Parses `text` as FILE:SECTION:OPTION=VALUE (FILE "config" or "servers",
// SECTION and OPTION not empty, VALUE possibly empty) and appends it to
// sess->config_options, copied into sess->pool. Returns true, and records
// nothing, when `text` does not have that form.
bool session_add_config_option(session *sess, const char *text);

// Opens the session: configuration, authentication, RA session, repository
// root and repos_path. Fails with the libraries' error chain.
vh::Error session_open(session *sess);

// Fails when the session's own path is a file at `rev` ("'%s' refers to a
// file.", naming the session's URL) or the check fails; succeeds otherwise,
// also when nothing exists there.
vh::Error session_check_dir(session *sess, svn_revnum_t rev);

// Sets *ra to a session for a question asked while an editor is driven:
// the session's own one when it is not the one driving (a recorded drive is
// being replayed), else the auxiliary session (opened on the first call, in
// the session's pool). A run whose other connections are all taken then
// never needs one more.
svn_error_t *session_aux(session *sess, svn_ra_session_t **ra);

// Opens another session on the session's URL, for a helper thread: with a
// client context of its own in `pool` (no prompts; the command line's
// credentials and the cache, which it reads but never writes), so that the
// session and everything it touches belong to the one thread that uses
// `pool`.
svn_error_t *session_open_helper(const session *sess, svn_ra_session_t **ra,
                                 apr_pool_t *pool);

// Stores the repository UUID in *uuid (valid while sess->pool lives).
vh::Error session_get_uuid(session *sess, const char **uuid);
