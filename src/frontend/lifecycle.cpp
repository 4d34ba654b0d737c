// Placeholder until the command line lands.
#include "frontend/options.h"

int
vornhald_main(int, char **)
{
  return 1;
}
