// The dump driver: settles the revision range, writes the stream head and
// loops over the revisions, writing revision and padding records and having
// the server drive the delta editor for each one.
#pragma once

#include "dumpfile/dump_options.h"
#include "repos/session.h"
#include "util/apr_glue.h"

// Runs the whole dump to standard output. Fails with the error of the step
// that failed; nothing here reports it.
vh::Error dump_repository(session *sess, dump_options *opts);
