// The dump driver: settles the revision range, writes the stream head and
// loops over the revisions, writing revision and padding records and having
// the server drive the delta editor for each one.
#pragma once

#include "frontend/options.h"
#include "repos/log.h"
#include "repos/session.h"

#include <apr_tables.h>

struct path_repo;        // history/path_repo.h
struct property_storage; // props/property_storage.h

// What the delta editor factory needs, in this order.
struct dump_context {
  session *sess = nullptr;
  dump_options *opts = nullptr;
  path_repo *prepo = nullptr;
  property_storage *props = nullptr;
  // log_revision in dump order; for a subdirectory dump element 0 is a
  // placeholder for revision 0. Only `revision` of earlier entries is read.
  apr_array_header_t *logs = nullptr;
};

// Runs the whole dump to standard output. Returns false on success, true on
// failure after the failure has been reported.
bool dump_repository(session *sess, dump_options *opts);
