#pragma once
/* The tags of a song copied into its karaoke track, over TagLib (libtagcopy.so, opened by name). */

#include <stdint.h>

#if defined(MEROLUNE_TAGCOPY_BUILD)
#define MEROLUNE_TAGCOPY_API __attribute__((visibility("default")))
#else
#define MEROLUNE_TAGCOPY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The destination's kind; the destination's name need not have its extension (a work file). */
enum {
  TAGCOPY_WAV = 0,  /* a RIFF LIST INFO chunk after the data chunk; no cover */
  TAGCOPY_MP3 = 1,  /* ID3v2.4 */
  TAGCOPY_OGG = 2,  /* Ogg Vorbis comments, the cover as a FLAC picture block */
  TAGCOPY_OPUS = 3, /* Opus comments, likewise */
  TAGCOPY_FLAC = 4, /* Vorbis comments and a FLAC picture block */
  TAGCOPY_APE = 5,  /* APEv2 */
  TAGCOPY_WMA = 6,  /* ASF attributes */
  TAGCOPY_M4A = 7   /* MP4 atoms */
};

/* What TagCopy returns. */
enum {
  TAGCOPY_COPIED = 0,      /* the destination holds the source's tags */
  TAGCOPY_NOTHING = 1,     /* the source holds none of the tags kept (or none TagLib reads); the
                              destination was not touched */
  TAGCOPY_UNREADABLE = 2,  /* the destination could not be opened as its kind */
  TAGCOPY_SAVE_FAILED = 3, /* the destination could not be rewritten */
  TAGCOPY_BAD_KIND = 4     /* `destination_kind` is none of the above */
};

/* Copies title, artist, album, album artist, track and disc numbers, date, genre and comment, and the
   front cover (or, without one marked so, the first picture), from `source` (any file TagLib reads,
   chosen by its extension or, failing that, its content) into `destination`, a file of
   `destination_kind` written by our encoders. A field the source lacks stays absent; the
   destination's other tags (its encoder's name, say) stay as they are; values the destination's
   format cannot hold (a WAV file's album artist, disc number and cover) are left out. */
MEROLUNE_TAGCOPY_API int32_t TagCopy(const char* source, const char* destination, int32_t destination_kind);

#ifdef __cplusplus
}
#endif
