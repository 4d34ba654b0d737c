// Placeholder until the dump loop lands: the run fails with a clear error.
#include "dump/driver.h"

#include "frontend/diagnostics.h"

#include <cstdio>

bool
dump_repository(session *, dump_options *)
{
  std::fprintf(stderr, "%s", _("ERROR: dumping is not available yet.\n"));
  return true;
}
