#pragma once
// MP3 to WAV decoding in the background, loaded at run time by the conversion service as libvbmp3.so.

#include <stdint.h>

#if defined(MEROLUNE_VBMP3_BUILD)
#define MEROLUNE_VBMP3_API __attribute__((visibility("default")))
#else
#define MEROLUNE_VBMP3_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the information record that vbmp3_open fills. */
#define VBMP3_INFO_SIZE 272

/* Prepares the decoder library; harmless to call again. */
MEROLUNE_VBMP3_API void vbmp3_init(void);
/* Stops any decoding (its output is discarded) and releases the open source. */
MEROLUNE_VBMP3_API void vbmp3_free(void);
/* Opens `source` for decoding and fills the VBMP3_INFO_SIZE bytes at `info` (when not null) with
   facts about it; a source that is not MP3 is remembered as unusable. Ends a previous decoding. */
MEROLUNE_VBMP3_API void vbmp3_open(const char* source, void* info);
/* Starts decoding the open source into the WAV file `destination` (16-bit stereo PCM at the MP3's
   rate) on a thread of its own and returns at once. The destination appears, complete, only when
   decoding succeeds; a failure leaves the name untouched. */
MEROLUNE_VBMP3_API void vbmp3_decodeWave(const char* destination);
/* 1 while decoding goes on, 0 once it has ended (successfully or not). `value` (when not null)
   receives the progress in percent. */
MEROLUNE_VBMP3_API int32_t vbmp3_getState(int32_t* value);
/* Waits for the decoding to end (stopping it first if it still runs, which discards its output)
   and releases the source. */
MEROLUNE_VBMP3_API void vbmp3_close(void);

#ifdef __cplusplus
}
#endif
