// The monitor: see Monitor.h.

#include "Monitor.h"
