#pragma once
// The run-time binding of libopusenc (libopusenc.so.0): the Ogg Opus encoder TOpusOut calls.
//
// Declares the entry points with libopusenc's own prototypes, so it includes <opus/opusenc.h>;
// include it from .cpp files only (ACS_Opus.h does not).

#include <opus/opusenc.h>

#include "DynamicLibrary.h"

#define MEROLUNE_OPUSENC_ENTRY_POINTS(X) \
  X(ope_comments_create)                 \
  X(ope_comments_destroy)                \
  X(ope_encoder_create_callbacks)        \
  X(ope_encoder_ctl)                     \
  X(ope_encoder_write_float)             \
  X(ope_encoder_drain)                   \
  X(ope_encoder_destroy)                 \
  X(ope_strerror)

namespace merolune {

MEROLUNE_ENTRY_POINTS(OpusEncEntryPoints, "libopusenc.so.0", MEROLUNE_OPUSENC_ENTRY_POINTS);

// libopusenc, opened when the object is made. Require() throws "libopusenc.so.0 library could not be
// loaded." when the library is missing or lacks an entry point.
class OpusEncLib : public LibraryBinding<OpusEncEntryPoints> {};

}  // namespace merolune
