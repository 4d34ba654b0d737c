// Placeholder until the editor lands: a do-nothing editor, so that a dump
// holds revision records only.
#include "delta/editor.h"

svn_error_t *
delta_get_editor(const svn_delta_editor_t **editor, void **edit_baton,
                 dump_context *, log_revision *, svn_revnum_t,
                 apr_pool_t *pool)
{
  *editor = svn_delta_default_editor(pool);
  *edit_baton = nullptr;
  return SVN_NO_ERROR;
}

void
delta_cleanup()
{
}
