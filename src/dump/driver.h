// The dump driver: settles the revision range, writes the stream head and
// loops over the revisions, writing revision and padding records and having
// the server drive the delta editor for each one.
#pragma once

#include "dumpfile/dump_options.h"
#include "repos/session.h"

// Runs the whole dump to standard output. Returns false on success, true on
// failure after the failure has been reported.
bool dump_repository(session *sess, dump_options *opts);
