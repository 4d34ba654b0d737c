// The private temporary directory of a run; see temp_dir.h.
#include "util/temp_dir.h"

#include "util/diagnostics.h"

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>
#include <svn_dirent_uri.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

vh::Error
temp_dir_make(apr_pool_t *pool, std::string *made) {
  made->clear();
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, pool);
  const char *tmpdir = std::getenv("TMPDIR");
  const char *tmpl = tmpdir ? apr_psprintf(scratch, "%s/vornhaldXXXXXX", tmpdir)
                            : "/tmp/vornhaldXXXXXX";
  std::string path = svn_dirent_canonicalize(tmpl, scratch);
  apr_pool_destroy(scratch);
  if (!mkdtemp(path.data()))
    return vh::Error::createf(APR_FROM_OS_ERROR(errno), "%s",
                              _("Unable to create temporary directory."));
  *made = std::move(path);
  return {};
}

void
remove_tree(apr_pool_t *pool, const char *path, bool remove_self) {
  apr_pool_t *scratch = nullptr;
  apr_pool_create(&scratch, pool);
  apr_dir_t *dir = nullptr;
  if (apr_dir_open(&dir, path, scratch) == APR_SUCCESS) {
    apr_pool_t *iterpool = nullptr;
    apr_pool_create(&iterpool, scratch);
    apr_finfo_t entry;
    for (;;) {
      // APR_INCOMPLETE: the type came from the directory entry but some
      // other field did not; name and type are what we asked for.
      apr_status_t rc =
          apr_dir_read(&entry, APR_FINFO_NAME | APR_FINFO_TYPE, dir);
      if (rc != APR_SUCCESS && rc != APR_INCOMPLETE)
        break;
      apr_pool_clear(iterpool);
      if (std::strcmp(entry.name, ".") == 0 ||
          std::strcmp(entry.name, "..") == 0)
        continue;
      const char *child = apr_psprintf(iterpool, "%s/%s", path, entry.name);
      // A symbolic link is removed, never followed.
      if (entry.filetype == APR_DIR)
        remove_tree(iterpool, child, true);
      else
        apr_file_remove(child, iterpool);
    }
    apr_dir_close(dir);
    if (remove_self)
      apr_dir_remove(path, scratch);
  }
  apr_pool_destroy(scratch);
}
