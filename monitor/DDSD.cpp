// The sound module: see DDSD.h.

#include "DDSD.h"
