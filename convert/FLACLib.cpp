// The run-time binding of libFLAC: the library opened once by soname, with its stream coder entry points.

#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include "FLACLib.h"

#include "ACS_Classes.h"
#include "DynamicLibrary.h"

namespace merolune {

namespace {

// The library and its entry points, set up once and kept until the program ends.
class FLACBinding {
 public:
  FLACBinding() : library_(kFLACLibrary) {
    if (!library_.Loaded()) return;
    library_.Bind(api_.decoder_new, "FLAC__stream_decoder_new");
    library_.Bind(api_.decoder_delete, "FLAC__stream_decoder_delete");
    library_.Bind(api_.decoder_init_stream, "FLAC__stream_decoder_init_stream");
    library_.Bind(api_.decoder_finish, "FLAC__stream_decoder_finish");
    library_.Bind(api_.decoder_reset, "FLAC__stream_decoder_reset");
    library_.Bind(api_.decoder_get_state, "FLAC__stream_decoder_get_state");
    library_.Bind(api_.decoder_process_single, "FLAC__stream_decoder_process_single");
    library_.Bind(api_.decoder_process_until_end_of_metadata, "FLAC__stream_decoder_process_until_end_of_metadata");
    library_.Bind(api_.decoder_seek_absolute, "FLAC__stream_decoder_seek_absolute");

    library_.Bind(api_.encoder_new, "FLAC__stream_encoder_new");
    library_.Bind(api_.encoder_delete, "FLAC__stream_encoder_delete");
    library_.Bind(api_.encoder_set_verify, "FLAC__stream_encoder_set_verify");
    library_.Bind(api_.encoder_set_channels, "FLAC__stream_encoder_set_channels");
    library_.Bind(api_.encoder_set_bits_per_sample, "FLAC__stream_encoder_set_bits_per_sample");
    library_.Bind(api_.encoder_set_sample_rate, "FLAC__stream_encoder_set_sample_rate");
    library_.Bind(api_.encoder_set_do_mid_side_stereo, "FLAC__stream_encoder_set_do_mid_side_stereo");
    library_.Bind(api_.encoder_set_loose_mid_side_stereo, "FLAC__stream_encoder_set_loose_mid_side_stereo");
    library_.Bind(api_.encoder_set_blocksize, "FLAC__stream_encoder_set_blocksize");
    library_.Bind(api_.encoder_set_compression_level, "FLAC__stream_encoder_set_compression_level");
    library_.Bind(api_.encoder_set_max_lpc_order, "FLAC__stream_encoder_set_max_lpc_order");
    library_.Bind(api_.encoder_set_qlp_coeff_precision, "FLAC__stream_encoder_set_qlp_coeff_precision");
    library_.Bind(api_.encoder_set_do_qlp_coeff_prec_search, "FLAC__stream_encoder_set_do_qlp_coeff_prec_search");
    library_.Bind(api_.encoder_set_min_residual_partition_order,
                  "FLAC__stream_encoder_set_min_residual_partition_order");
    library_.Bind(api_.encoder_set_max_residual_partition_order,
                  "FLAC__stream_encoder_set_max_residual_partition_order");
    library_.Bind(api_.encoder_set_do_exhaustive_model_search, "FLAC__stream_encoder_set_do_exhaustive_model_search");
    library_.Bind(api_.encoder_set_total_samples_estimate, "FLAC__stream_encoder_set_total_samples_estimate");
    library_.Bind(api_.encoder_init_stream, "FLAC__stream_encoder_init_stream");
    library_.Bind(api_.encoder_get_blocksize, "FLAC__stream_encoder_get_blocksize");
    library_.Bind(api_.encoder_process_interleaved, "FLAC__stream_encoder_process_interleaved");
    library_.Bind(api_.encoder_finish, "FLAC__stream_encoder_finish");
  }
  FLACBinding(const FLACBinding&) = delete;
  FLACBinding& operator=(const FLACBinding&) = delete;

  const DynamicLibrary& Library() const { return library_; }
  const FLACEntryPoints& Api() const { return api_; }
  bool Usable() const { return library_.Usable(); }

 private:
  DynamicLibrary library_;
  FLACEntryPoints api_;
};

const FLACBinding& Binding() {
  // Constructed once, by whichever thread comes first; the others wait for it.
  static const FLACBinding binding;
  return binding;
}

}  // namespace

void LoadFLACLibrary() { (void)Binding(); }

bool FLACLibraryUsable() { return Binding().Usable(); }

std::string FLACLibraryMissingMessage() { return Binding().Library().MissingMessage(); }

void RequireFLACLibrary() {
  if (!FLACLibraryUsable()) throw EAuException(FLACLibraryMissingMessage());
}

const FLACEntryPoints& FLACApi() { return Binding().Api(); }

}  // namespace merolune
