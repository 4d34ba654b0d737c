// Session setup: configuration, authentication, the RA session, the
// repository root and the dumped subtree's path; the two session queries.
#include "repos/session.h"

#include "util/diagnostics.h"
#include "obfuscate/obfuscate.h"
#include "util/cancel.h"

#include <apr_hash.h>
#include <apr_strings.h>
#include <svn_client.h>
#include <svn_cmdline.h>
#include <svn_config.h>
#include <svn_dirent_uri.h>
#include <svn_fs.h>
#include <svn_io.h>
#include <svn_path.h>
#include <svn_pools.h>
#include <svn_ra.h>
#include <svn_utf.h>

#include <apr_strings.h>

#include <cstdio>
#include <cstring>

namespace {

// The subtree below `root` that `url` names: "" for the root itself, the
// rest after the separating slash otherwise (URI escapes kept), null when
// `url` does not lie inside `root`.
const char *
path_below_root(const char *root, const char *url) {
  std::size_t len = std::strlen(root);
  if (std::strncmp(root, url, len) != 0)
    return nullptr;
  if (url[len] == '\0')
    return "";
  if (url[len] != '/')
    return nullptr;
  return url + len + 1;
}

// Sets every --config-option in the configuration that the client context
// is made from, so that it overrides the files as svn's own option does.
void
apply_config_options(const session *sess, apr_hash_t *cfg_hash) {
  if (!sess->config_options)
    return;
  for (int i = 0; i < sess->config_options->nelts; ++i) {
    const auto &o =
        APR_ARRAY_IDX(sess->config_options, i, session_config_option);
    auto *cfg = static_cast<svn_config_t *>(
        apr_hash_get(cfg_hash, o.file, APR_HASH_KEY_STRING));
    if (cfg)
      svn_config_set(cfg, o.section, o.option, o.value);
  }
}

// Opens an RA session on `url` with `ctx`, in `pool`.
svn_error_t *
open_ra(svn_ra_session_t **ra, const char *url, svn_client_ctx_t *ctx,
        apr_pool_t *pool) {
  apr_pool_t *scratch = svn_pool_create(pool);
  svn_error_t *err =
      svn_client_open_ra_session2(ra, url, nullptr, ctx, pool, scratch);
  svn_pool_destroy(scratch);
  return err;
}

// Makes a client context in `pool` as the command line asks: the
// configuration with every --config-option, the timeout, the cancellation
// and progress hooks and the credentials. A context for a helper session
// (`helper`) never prompts and leaves the configuration directory and the
// credential cache as they are: the run's own session has set them up and
// cached what it was given.
svn_error_t *
client_context(const session *sess, bool helper, svn_client_ctx_t **result,
               apr_pool_t *pool) {
  const char *config_dir = nullptr;
  if (sess->config_dir) {
    SVN_ERR(svn_utf_cstring_to_utf8(&config_dir, sess->config_dir, pool));
    config_dir = svn_dirent_canonicalize(config_dir, pool);
  }
  if (config_dir && !helper) {
    // The credential cache lives in the directory's auth/ area, which the
    // authentication layer writes into but does not create: without it a
    // fresh directory would silently cache nothing.
    SVN_ERR(svn_config_ensure(config_dir, pool));
    // svn_config_ensure gives up silently where it cannot make the area;
    // credentials would then be lost without a word.
    const char *auth = svn_dirent_join(config_dir, "auth",
                                       pool);
    svn_node_kind_t kind = svn_node_none;
    SVN_ERR(svn_io_check_path(auth, &kind, pool));
    if (kind != svn_node_dir)
      return svn_error_createf(
          SVN_ERR_BAD_CONFIG_VALUE, nullptr,
          _("Can't set up the configuration directory '%s'"),
          svn_dirent_local_style(config_dir, pool));
  }
  apr_hash_t *cfg_hash = nullptr;
  // The configuration files of --config-dir, as for svn itself.
  SVN_ERR(svn_config_get_config(&cfg_hash, config_dir, pool));
  apply_config_options(sess, cfg_hash);
  if (auto *servers = static_cast<svn_config_t *>(apr_hash_get(
          cfg_hash, SVN_CONFIG_CATEGORY_SERVERS, APR_HASH_KEY_STRING))) {
    // A silent server gives up after the same time on every protocol, a
    // little later than the watchdog, which names the reason.
    if (cancel_timeout() > 0)
      svn_config_set(servers, SVN_CONFIG_SECTION_GLOBAL,
                     SVN_CONFIG_OPTION_HTTP_TIMEOUT,
                     apr_psprintf(pool, "%d", cancel_timeout() + 5));
    // Over http:// a revision then comes in one response, texts inline,
    // instead of a request for every file; a setting of the user's holds.
    const char *bulk = nullptr;
    svn_config_get(servers, &bulk, SVN_CONFIG_SECTION_GLOBAL,
                   SVN_CONFIG_OPTION_HTTP_BULK_UPDATES, nullptr);
    if (!bulk)
      svn_config_set(servers, SVN_CONFIG_SECTION_GLOBAL,
                     SVN_CONFIG_OPTION_HTTP_BULK_UPDATES, "yes");
  }
  svn_client_ctx_t *ctx = nullptr;
  SVN_ERR(svn_client_create_context2(&ctx, cfg_hash, pool));
  // Signals and a silent server cancel the run through the libraries; the
  // libraries' word of traffic keeps the watchdog quiet.
  ctx->cancel_func = cancel_check;
  ctx->progress_func = [](apr_off_t, apr_off_t, void *,
                          apr_pool_t *) noexcept {
    cancel_activity();
  };

  auto *cfg = static_cast<svn_config_t *>(apr_hash_get(
      ctx->config, SVN_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING));

  SVN_ERR(svn_cmdline_create_auth_baton2(
      &ctx->auth_baton, helper || (sess->flags & SF_NON_INTERACTIVE) != 0,
      sess->username, sess->password, config_dir,
      helper || (sess->flags & SF_NO_AUTH_CACHE) != 0,
      (sess->flags & SF_TRUST_UNKNOWN_CA) != 0,
      (sess->flags & SF_TRUST_CN_MISMATCH) != 0,
      (sess->flags & SF_TRUST_EXPIRED) != 0,
      (sess->flags & SF_TRUST_NOT_YET_VALID) != 0,
      (sess->flags & SF_TRUST_OTHER_FAILURE) != 0, cfg, cancel_check,
      nullptr, pool));

  *result = ctx;
  return SVN_NO_ERROR;
}

svn_error_t *
open_session(session *sess) {
  apr_pool_t *pool = sess->pool;

  // The canonical form of a URL is already URI-encoded (blanks and other
  // unsafe bytes escaped, existing escapes normalised); encoding it once more
  // would escape the '%' of every escape and name a different path.
  sess->encoded_url = svn_uri_canonicalize(sess->url, pool);
  // The repository layer would resolve ".." below the root and leave a
  // subtree path that no changed path ever matches; Subversion's own
  // client refuses such URLs as well.
  if (svn_path_is_backpath_present(sess->encoded_url))
    return svn_error_createf(SVN_ERR_BAD_URL, nullptr,
                             _("URL '%s' contains a '..' element"), sess->url);

  SVN_ERR(svn_fs_initialize(pool));
  SVN_ERR(svn_ra_initialize(pool));
  SVN_ERR(svn_config_ensure(nullptr, pool));

  svn_client_ctx_t *ctx = nullptr;
  SVN_ERR(client_context(sess, false, &ctx, pool));
  sess->ctx = ctx;
  SVN_ERR(open_ra(&sess->ra, sess->encoded_url, ctx, pool));

  // A server may redirect the session (HTTP): the subtree is then worked
  // out from, and the messages name, the URL the session really is on.
  const char *session_url = nullptr;
  SVN_ERR(svn_ra_get_session_url(sess->ra, &session_url, pool));
  sess->encoded_url = session_url;

  SVN_ERR(svn_ra_get_repos_root2(sess->ra, &sess->root, pool));
  const char *path = path_below_root(sess->root, sess->encoded_url);
  if (!path)
    return svn_error_createf(SVN_ERR_RA_ILLEGAL_URL, nullptr,
                             _("URL '%s' lies outside the repository root "
                               "'%s'"),
                             sess->encoded_url, sess->root);
  // Changed paths and copy sources from the log come decoded; the subtree
  // is compared with them, so it is kept decoded too.
  sess->repos_path =
      obfuscate_path(&sess->obf, pool, svn_path_uri_decode(path, pool));
  print_debug("session_open(): encoded_url = %s, root = %s, "
              "repos_path = %s\n",
              sess->encoded_url, sess->root, sess->repos_path);
  return SVN_NO_ERROR;
}

} // namespace

bool
session_add_config_option(session *sess, const char *text) {
  const char *colon1 = std::strchr(text, ':');
  if (!colon1)
    return true;
  const char *colon2 = std::strchr(colon1 + 1, ':');
  if (!colon2)
    return true;
  const char *equals = std::strchr(colon2 + 1, '=');
  if (!equals)
    return true;
  apr_pool_t *pool = sess->pool;
  session_config_option o;
  o.file = apr_pstrndup(pool, text, colon1 - text);
  o.section = apr_pstrndup(pool, colon1 + 1, colon2 - colon1 - 1);
  o.option = apr_pstrndup(pool, colon2 + 1, equals - colon2 - 1);
  o.value = apr_pstrdup(pool, equals + 1);
  if (std::strcmp(o.file, SVN_CONFIG_CATEGORY_CONFIG) != 0 &&
      std::strcmp(o.file, SVN_CONFIG_CATEGORY_SERVERS) != 0)
    return true;
  if (!*o.section || !*o.option)
    return true;
  if (!sess->config_options)
    sess->config_options =
        apr_array_make(pool, 4, sizeof(session_config_option));
  APR_ARRAY_PUSH(sess->config_options, session_config_option) = o;
  return false;
}

vh::Error
session_open(session *sess) {
  return vh::Error(open_session(sess));
}

vh::Error
session_check_dir(session *sess, svn_revnum_t rev) {
  apr_pool_t *scratch = svn_pool_create(sess->pool);
  svn_node_kind_t kind = svn_node_none;
  vh::Error err(svn_ra_check_path(sess->ra, "", rev, &kind, scratch));
  svn_pool_destroy(scratch);
  if (err)
    return err;
  if (kind == svn_node_file)
    return vh::Error::createf(SVN_ERR_NODE_UNEXPECTED_KIND,
                              _("'%s' refers to a file."), sess->encoded_url);
  return {};
}

svn_error_t *
session_aux(session *sess, svn_ra_session_t **ra) {
  if (!sess->driving) {
    *ra = sess->ra;
    return SVN_NO_ERROR;
  }
  if (!sess->aux)
    SVN_ERR(open_ra(&sess->aux, sess->encoded_url, sess->ctx, sess->pool));
  *ra = sess->aux;
  return SVN_NO_ERROR;
}

svn_error_t *
session_open_helper(const session *sess, svn_ra_session_t **ra,
                    apr_pool_t *pool) {
  svn_client_ctx_t *ctx = nullptr;
  SVN_ERR(client_context(sess, true, &ctx, pool));
  return open_ra(ra, sess->encoded_url, ctx, pool);
}

vh::Error
session_get_uuid(session *sess, const char **uuid) {
  return vh::Error(svn_ra_get_uuid2(sess->ra, uuid, sess->pool));
}
