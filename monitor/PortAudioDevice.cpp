// The PortAudio output device: see SoundDevice.h.

#include "SoundDevice.h"
