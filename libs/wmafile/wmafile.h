#pragma once
// WMA to WAV and WAV to WMA conversion (libwmafile.so): linked by merolune, opened by merolune-cli.

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
   failure, including a file of which nothing decodes, no file of that name is created (an existing
   one is left as it was). */
MEROLUNE_WMAFILE_API void WMA2WAV(const char* source, const char* destination);
/* Encodes the WAV file `source` as Windows Media Audio 2 in an ASF file `destination` at `kbps`
   kbit/s (5 to 10000). From 24 kbit/s the file keeps the source's rate (at most 48 kHz) in stereo;
   below, the audio is resampled to a rate and channel count that suit the bit rate:
   5, 6 and 10 kbit/s 11025 Hz mono; 8 kbit/s 8000 Hz mono; 12 and 16 kbit/s 16000 Hz mono;
   20 kbit/s 16000 Hz stereo; 22 kbit/s 22050 Hz mono (a rate in between takes the profile of the
   next lower one). The file holds round(source frames x written rate / source rate) sample frames,
   halves rounded up, and WMA2WAV gives exactly that many. Returns when the WMA file is complete; on
   any failure no file of that name is created. */
MEROLUNE_WMAFILE_API void WAV2WMA(const char* source, const char* destination, int32_t kbps);

/* Progress of a conversion: `permille` is the position in thousandths (0 to 1000, from the part of
   the source read so far, never decreasing). Called on the converting thread, once with 0 at the
   start, then every few packets and at least about every 50 ms of work, and with 1000 when the
   result is complete but not yet in place. A non-zero return stops the conversion within a fraction
   of a second; then no destination is created (an existing one is left as it was). */
typedef int32_t (*wmafile_progress)(void* user, int32_t permille);

/* WMA2WAV with progress and cancelling: `progress` (may be null) is called with `user`. */
MEROLUNE_WMAFILE_API void WMA2WAVEx(const char* source, const char* destination, wmafile_progress progress,
                                    void* user);
/* WAV2WMA with progress and cancelling: `progress` (may be null) is called with `user`. */
MEROLUNE_WMAFILE_API void WAV2WMAEx(const char* source, const char* destination, int32_t kbps,
                                    wmafile_progress progress, void* user);

/* The system error (an errno value, such as ENOSPC for a full disk) that made the calling thread's
   last conversion fail; 0 after a success, and after a failure without a system cause (a file that
   is not WMA, a stop asked for by the progress callback). */
MEROLUNE_WMAFILE_API int32_t WMAGetLastError(void);
/* The sample rate in Hz that WAV2WMA writes for `kbps` and a source of `sourceRate` Hz (the
   source's own from 24 kbit/s, a lower one below); 0 for a bit rate it refuses. */
MEROLUNE_WMAFILE_API int32_t WAV2WMASampleRate(int32_t kbps, int32_t sourceRate);

#ifdef __cplusplus
}
#endif
