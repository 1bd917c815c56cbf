#pragma once
// WMA to WAV and WAV to WMA conversion, linked by the program at load time as libwmafile.so.

#include <stdint.h>

#if defined(MEROLUNE_WMAFILE_BUILD)
#define MEROLUNE_WMAFILE_API __attribute__((visibility("default")))
#else
#define MEROLUNE_WMAFILE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Decodes the WMA (ASF) file `source` into the WAV file `destination`: 16-bit stereo PCM at the
   source's rate, a mono source on both channels. Returns when the WAV file is complete; on any
   failure no file of that name is created (an existing one is left as it was). */
MEROLUNE_WMAFILE_API void WMA2WAV(const char* source, const char* destination);
/* Encodes the WAV file `source` as Windows Media Audio 2 in an ASF file `destination` at `kbps`
   kbit/s. Returns when the WMA file is complete; on any failure, including a bit rate the encoder
   cannot deliver (below 24 kbit/s), no file of that name is created. */
MEROLUNE_WMAFILE_API void WAV2WMA(const char* source, const char* destination, int32_t kbps);

#ifdef __cplusplus
}
#endif
