#pragma once
// The run-time binding of libFLAC: the library opened once by soname, with its stream coder entry points.

#include <string>

namespace merolune {

// The soname of the libFLAC the components need (the FLAC 1.4 interface).
inline constexpr char kFLACLibrary[] = "libFLAC.so.12";

// Opens libFLAC now (the program calls this at start); later calls do nothing. Never throws: a
// missing library shows up when a FLAC component is constructed. Safe from any thread.
void LoadFLACLibrary();

// Whether the library opened and exports every entry point the components call.
bool FLACLibraryUsable();

// "libFLAC.so.12 library could not be loaded.", the message of a component whose library is missing.
std::string FLACLibraryMissingMessage();

// Throws EAuException with FLACLibraryMissingMessage() unless FLACLibraryUsable(); for the
// components' constructors.
void RequireFLACLibrary();

}  // namespace merolune

// The entry points themselves, only for the .cpp files that call libFLAC: they include
// <FLAC/stream_decoder.h> and <FLAC/stream_encoder.h> before this header, so that every pointer
// type is taken from libFLAC's own declarations and the public headers stay free of libFLAC's.
#if defined(FLAC__STREAM_DECODER_H) && defined(FLAC__STREAM_ENCODER_H)

namespace merolune {

// One pointer per entry point of the stream decoder and encoder interfaces the components use,
// named as libFLAC names them without the common prefix. A pointer the library does not export
// stays null; FLACLibraryUsable() is false then, so a constructed component never meets one.
struct FLACEntryPoints {
  decltype(&FLAC__stream_decoder_new) decoder_new = nullptr;
  decltype(&FLAC__stream_decoder_delete) decoder_delete = nullptr;
  decltype(&FLAC__stream_decoder_init_stream) decoder_init_stream = nullptr;
  decltype(&FLAC__stream_decoder_finish) decoder_finish = nullptr;
  decltype(&FLAC__stream_decoder_reset) decoder_reset = nullptr;
  decltype(&FLAC__stream_decoder_get_state) decoder_get_state = nullptr;
  decltype(&FLAC__stream_decoder_process_single) decoder_process_single = nullptr;
  decltype(&FLAC__stream_decoder_process_until_end_of_metadata) decoder_process_until_end_of_metadata =
      nullptr;
  decltype(&FLAC__stream_decoder_seek_absolute) decoder_seek_absolute = nullptr;

  decltype(&FLAC__stream_encoder_new) encoder_new = nullptr;
  decltype(&FLAC__stream_encoder_delete) encoder_delete = nullptr;
  decltype(&FLAC__stream_encoder_set_verify) encoder_set_verify = nullptr;
  decltype(&FLAC__stream_encoder_set_channels) encoder_set_channels = nullptr;
  decltype(&FLAC__stream_encoder_set_bits_per_sample) encoder_set_bits_per_sample = nullptr;
  decltype(&FLAC__stream_encoder_set_sample_rate) encoder_set_sample_rate = nullptr;
  decltype(&FLAC__stream_encoder_set_do_mid_side_stereo) encoder_set_do_mid_side_stereo = nullptr;
  decltype(&FLAC__stream_encoder_set_loose_mid_side_stereo) encoder_set_loose_mid_side_stereo = nullptr;
  decltype(&FLAC__stream_encoder_set_blocksize) encoder_set_blocksize = nullptr;
  decltype(&FLAC__stream_encoder_set_compression_level) encoder_set_compression_level = nullptr;
  decltype(&FLAC__stream_encoder_set_max_lpc_order) encoder_set_max_lpc_order = nullptr;
  decltype(&FLAC__stream_encoder_set_qlp_coeff_precision) encoder_set_qlp_coeff_precision = nullptr;
  decltype(&FLAC__stream_encoder_set_do_qlp_coeff_prec_search) encoder_set_do_qlp_coeff_prec_search = nullptr;
  decltype(&FLAC__stream_encoder_set_min_residual_partition_order) encoder_set_min_residual_partition_order =
      nullptr;
  decltype(&FLAC__stream_encoder_set_max_residual_partition_order) encoder_set_max_residual_partition_order =
      nullptr;
  decltype(&FLAC__stream_encoder_set_do_exhaustive_model_search) encoder_set_do_exhaustive_model_search =
      nullptr;
  decltype(&FLAC__stream_encoder_set_total_samples_estimate) encoder_set_total_samples_estimate = nullptr;
  decltype(&FLAC__stream_encoder_init_stream) encoder_init_stream = nullptr;
  decltype(&FLAC__stream_encoder_get_blocksize) encoder_get_blocksize = nullptr;
  decltype(&FLAC__stream_encoder_process_interleaved) encoder_process_interleaved = nullptr;
  decltype(&FLAC__stream_encoder_finish) encoder_finish = nullptr;
};

// The process-wide entry points (loading the library on first use). All null when it did not load.
const FLACEntryPoints& FLACApi();

}  // namespace merolune

#endif
