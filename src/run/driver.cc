// Placeholder until the run driver lands.
#include "run/driver.h"

int run_corvalist(int, char**) { return 0; }
