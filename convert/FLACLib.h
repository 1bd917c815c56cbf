#pragma once
// The run-time binding of libFLAC (libFLAC.so.12, FLAC 1.4): the stream decoder and encoder entry points.
//
// Declares the entry points with libFLAC's own prototypes, so it includes libFLAC's headers; include it
// from .cpp files only (ACS_FLAC.h does not).

#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include "DynamicLibrary.h"

// Every entry point of the stream decoder and encoder interfaces that the FLAC components call.
#define MEROLUNE_FLAC_ENTRY_POINTS(X)                      \
  X(FLAC__stream_decoder_new)                              \
  X(FLAC__stream_decoder_delete)                           \
  X(FLAC__stream_decoder_init_stream)                      \
  X(FLAC__stream_decoder_finish)                           \
  X(FLAC__stream_decoder_reset)                            \
  X(FLAC__stream_decoder_get_state)                        \
  X(FLAC__stream_decoder_process_single)                   \
  X(FLAC__stream_decoder_process_until_end_of_metadata)    \
  X(FLAC__stream_decoder_seek_absolute)                    \
  X(FLAC__stream_encoder_new)                              \
  X(FLAC__stream_encoder_delete)                           \
  X(FLAC__stream_encoder_set_verify)                       \
  X(FLAC__stream_encoder_set_channels)                     \
  X(FLAC__stream_encoder_set_bits_per_sample)              \
  X(FLAC__stream_encoder_set_sample_rate)                  \
  X(FLAC__stream_encoder_set_do_mid_side_stereo)           \
  X(FLAC__stream_encoder_set_loose_mid_side_stereo)        \
  X(FLAC__stream_encoder_set_blocksize)                    \
  X(FLAC__stream_encoder_set_compression_level)            \
  X(FLAC__stream_encoder_set_max_lpc_order)                \
  X(FLAC__stream_encoder_set_qlp_coeff_precision)          \
  X(FLAC__stream_encoder_set_do_qlp_coeff_prec_search)     \
  X(FLAC__stream_encoder_set_min_residual_partition_order) \
  X(FLAC__stream_encoder_set_max_residual_partition_order) \
  X(FLAC__stream_encoder_set_do_exhaustive_model_search)   \
  X(FLAC__stream_encoder_set_total_samples_estimate)       \
  X(FLAC__stream_encoder_init_stream)                      \
  X(FLAC__stream_encoder_get_blocksize)                    \
  X(FLAC__stream_encoder_process_interleaved)              \
  X(FLAC__stream_encoder_finish)

namespace merolune {

MEROLUNE_ENTRY_POINTS(FLACEntryPoints, "libFLAC.so.12", MEROLUNE_FLAC_ENTRY_POINTS);

// libFLAC, opened when the object is made; each FLAC component owns one. Require() throws
// "libFLAC.so.12 library could not be loaded." when the library is missing or lacks an entry point.
class FLACLib : public LibraryBinding<FLACEntryPoints> {};

}  // namespace merolune
