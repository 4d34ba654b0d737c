// The dump driver: settles the revision range, writes the stream head and
// loops over the revisions, writing revision and padding records and having
// the server drive the delta editor for each one.
#pragma once

#include "dumpfile/dump_options.h"
#include "repos/session.h"
#include "util/apr_glue.h"

// How far a dump got: whether the stream's head was written, and the last
// revision written completely, in the repository's and the dump's numbering
// (-1 when none was).
struct dump_outcome {
  bool started = false; // the range was settled and the output opened
  bool header = false;
  svn_revnum_t last_repos_rev = -1;
  svn_revnum_t last_local_rev = -1;
};

// Runs the whole dump to standard output and says in `outcome` how far it
// got. Fails with the error of the step that failed; nothing here reports
// it. Standard output then ends with the last complete revision when it is
// a regular file.
vh::Error dump_repository(session *sess, dump_options *opts,
                          dump_outcome *outcome);
