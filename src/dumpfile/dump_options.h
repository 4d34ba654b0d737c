// The options of one dump run and the dump flags: what the command line asks
// of the stream (range, prefix, deltas, numbering). One instance for the run,
// filled by the argument scan; the driver settles the range and the prefix,
// and the editor and the node dumper read it through a pointer.
#pragma once

#include <svn_types.h>

#include <cstdint>

enum : std::uint32_t {
  DF_USE_DELTAS = 0x01,
  DF_KEEP_REVNUMS = 0x02,
  DF_INCREMENTAL = 0x04,
  DF_NO_INCREMENTAL_HEADER = 0x10,
  DF_DRY_RUN = 0x20,
};

struct dump_options {
  const char *temp_dir = nullptr; // the private temporary directory
  const char *prefix = nullptr;   // --prefix; normalised by the driver
  svn_revnum_t start = 0;         // -1 is HEAD
  svn_revnum_t end = -1;
  std::uint32_t flags = 0; // DF_*
  int format_version = 2;  // raised to 3 with DF_USE_DELTAS
  // --sessions: the connections to the server, the run's own one and those
  // that fetch revisions ahead; 1 fetches each revision over the run's own
  // one as it is written; 0 lets the driver choose by protocol.
  int sessions = 0;
};
