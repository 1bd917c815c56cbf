#pragma once
// The run-time binding of the LAME MP3 encoder library (libmp3lame.so.0): the entry points TMP3Out calls.
//
// Declares the entry points with LAME's own prototypes, so it includes <lame/lame.h>; include it from
// .cpp files only (ACS_LAME.h does not).

#include <lame/lame.h>

#include "DynamicLibrary.h"

#define MEROLUNE_LAME_ENTRY_POINTS(X) \
  X(lame_init)                        \
  X(lame_close)                       \
  X(lame_set_errorf)                  \
  X(lame_set_debugf)                  \
  X(lame_set_msgf)                    \
  X(lame_set_num_samples)             \
  X(lame_set_in_samplerate)           \
  X(lame_set_num_channels)            \
  X(lame_set_out_samplerate)          \
  X(lame_get_out_samplerate)          \
  X(lame_set_mode)                    \
  X(lame_set_copyright)               \
  X(lame_set_original)                \
  X(lame_set_error_protection)        \
  X(lame_set_bWriteVbrTag)            \
  X(lame_set_VBR)                     \
  X(lame_set_VBR_q)                   \
  X(lame_set_VBR_min_bitrate_kbps)    \
  X(lame_set_VBR_max_bitrate_kbps)    \
  X(lame_set_brate)                   \
  X(lame_set_quality)                 \
  X(lame_init_params)                 \
  X(lame_encode_buffer_interleaved)   \
  X(lame_encode_flush)                \
  X(lame_get_lametag_frame)           \
  X(id3tag_init)                      \
  X(id3tag_set_title)                 \
  X(id3tag_set_artist)                \
  X(id3tag_set_album)                 \
  X(id3tag_set_year)                  \
  X(id3tag_set_track)                 \
  X(id3tag_set_comment)               \
  X(id3tag_set_genre)

namespace merolune {

MEROLUNE_ENTRY_POINTS(LameEntryPoints, "libmp3lame.so.0", MEROLUNE_LAME_ENTRY_POINTS);

// LAME, opened when the object is made; each TMP3Out owns one. Require() throws "libmp3lame.so.0
// library could not be loaded." when the library is missing or lacks an entry point. The entry points
// themselves follow LAME's rules: one thread at a time per handle.
class LameLib : public LibraryBinding<LameEntryPoints> {};

}  // namespace merolune
