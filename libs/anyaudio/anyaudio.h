#pragma once
/* Any audio file FFmpeg's libraries read, to a 16-bit stereo WAV, and a WAV file to AAC in an M4A file
   (libanyaudio.so, opened by name). */

#include <stdint.h>

#if defined(MEROLUNE_ANYAUDIO_BUILD)
#define MEROLUNE_ANYAUDIO_API __attribute__((visibility("default")))
#else
#define MEROLUNE_ANYAUDIO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What AnyAudioToWav returns. */
enum {
  ANYAUDIO_OK = 0,
  ANYAUDIO_UNRECOGNISED = 1, /* no container or stream format FFmpeg reads (and we accept) */
  ANYAUDIO_NO_AUDIO = 2,     /* a media file without an audio stream (a silent video) */
  ANYAUDIO_NO_DECODER = 3,   /* an audio stream in a coding FFmpeg cannot decode; `codec` names it */
  ANYAUDIO_CHANNELS = 4,     /* not two channels; `channels` holds the count */
  ANYAUDIO_DAMAGED = 5,      /* the file is damaged or cut short; `detail` says where */
  ANYAUDIO_WRITE_FAILED = 6, /* the WAV file could not be written; `system_error` holds errno */
  ANYAUDIO_STOPPED = 7,      /* the progress function asked to stop */
  ANYAUDIO_ENCODING_FAILED = 8 /* the AAC encoding failed; `detail` says why */
};

/* The AAC bit rates AnyAudioWavToM4a takes, kbit/s. */
enum { ANYAUDIO_AAC_MIN_KBPS = 64, ANYAUDIO_AAC_MAX_KBPS = 320 };

/* What a decoding found; filled as far as it got, also on failure. */
typedef struct anyaudio_result {
  int32_t channels;     /* of the audio stream */
  int32_t sample_rate;  /* Hz, kept in the WAV file */
  int32_t source_bits;  /* bits per decoded sample: 16, 24, 32 (integer) or 32/64 with is_float */
  int32_t is_float;
  uint64_t frames;      /* sample frames written */
  uint64_t overs;       /* float samples beyond full scale, clipped */
  int32_t system_error; /* errno of a failed write, else 0 */
  char codec[32];       /* FFmpeg's name of the audio coding ("aac", "alac", ...) */
  char container[32];   /* FFmpeg's name of the demuxer that read the file ("mov,mp4,m4a,3gp,3g2,mj2" shortened) */
  char detail[160];     /* for ANYAUDIO_DAMAGED: what went wrong, in English */
} anyaudio_result;

/* Progress in thousandths of the file read (never decreasing), called on the converting thread every
   few packets; a non-zero answer stops the conversion (ANYAUDIO_STOPPED). */
typedef int32_t (*anyaudio_progress)(void* user, int32_t permille);

/* Decodes the first audio stream of `source` into the WAV file `destination`: 16-bit stereo PCM at
   the stream's own rate. 8- and 16-bit samples are kept exactly (8-bit widened); wider integer and
   floating-point samples are narrowed with triangular dither, floats beyond full scale clipped and
   counted. The file is chosen by its content among the audio containers (MP4/M4A, ADTS AAC, Ogg,
   Matroska/WebM, WavPack, AIFF, AC-3, CAF, WAV, FLAC, MP3, ...); playlists and other files that
   would make FFmpeg open further files are refused. The WAV file appears under its name only when
   complete: on any failure nothing of that name is created (an existing one is left as it was).
   `progress` may be null; `result` must not be. */
MEROLUNE_ANYAUDIO_API int32_t AnyAudioToWav(const char* source, const char* destination,
                                            anyaudio_progress progress, void* user, anyaudio_result* result);

/* Encodes the WAV file `source` (16-bit PCM, mono or stereo, as the job writes it) as AAC-LC at `kbps`
   kbit/s (ANYAUDIO_AAC_MIN_KBPS to ANYAUDIO_AAC_MAX_KBPS) in stereo, in an MPEG-4 audio file
   `destination` (the M4A brand), with FFmpeg's own AAC encoder. The file keeps the source's sample
   rate when AAC has it (7350 to 96000 Hz in 13 steps), else the next higher one, resampled;
   `result->sample_rate` is the rate written and `result->frames` the sample frames encoded. The
   encoder's priming (1024 sample frames of delay) and the padding of the last frame are stated in the
   file's edit list, whose time scale is the sample rate: readers that follow edit lists start at the
   first sample. The file appears under its name only when complete: on any failure nothing of that
   name is created (an existing one is left as it was). Statuses: ANYAUDIO_OK, ANYAUDIO_DAMAGED (the WAV
   file cannot be read), ANYAUDIO_CHANNELS, ANYAUDIO_WRITE_FAILED, ANYAUDIO_STOPPED,
   ANYAUDIO_ENCODING_FAILED. */
MEROLUNE_ANYAUDIO_API int32_t AnyAudioWavToM4a(const char* source, const char* destination, int32_t kbps,
                                               anyaudio_progress progress, void* user, anyaudio_result* result);

#ifdef __cplusplus
}
#endif
