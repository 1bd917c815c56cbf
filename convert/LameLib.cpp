// The run-time binding of the LAME MP3 encoder library (libmp3lame.so.0): the library and its entry points.

// Before LameLib.h, which declares the entry points only after it.
#include <lame/lame.h>

#include "LameLib.h"

namespace merolune {

namespace {

constexpr char kLameSoName[] = "libmp3lame.so.0";

}  // namespace

const LameLib& LameLib::Instance() {
  static const LameLib instance;
  return instance;
}

LameLib::LameLib() : library_(kLameSoName), functions_(std::make_unique<Functions>()) {
  if (!library_.Loaded()) return;
  const auto bind = [this](auto& pointer, const char* name) { library_.Bind(pointer, name); };
  Functions& f = *functions_;
  bind(f.lame_init, "lame_init");
  bind(f.lame_close, "lame_close");
  bind(f.lame_set_errorf, "lame_set_errorf");
  bind(f.lame_set_debugf, "lame_set_debugf");
  bind(f.lame_set_msgf, "lame_set_msgf");
  bind(f.lame_set_num_samples, "lame_set_num_samples");
  bind(f.lame_set_in_samplerate, "lame_set_in_samplerate");
  bind(f.lame_set_num_channels, "lame_set_num_channels");
  bind(f.lame_set_out_samplerate, "lame_set_out_samplerate");
  bind(f.lame_get_out_samplerate, "lame_get_out_samplerate");
  bind(f.lame_set_mode, "lame_set_mode");
  bind(f.lame_set_copyright, "lame_set_copyright");
  bind(f.lame_set_original, "lame_set_original");
  bind(f.lame_set_error_protection, "lame_set_error_protection");
  bind(f.lame_set_bWriteVbrTag, "lame_set_bWriteVbrTag");
  bind(f.lame_set_VBR, "lame_set_VBR");
  bind(f.lame_set_VBR_q, "lame_set_VBR_q");
  bind(f.lame_set_VBR_min_bitrate_kbps, "lame_set_VBR_min_bitrate_kbps");
  bind(f.lame_set_VBR_max_bitrate_kbps, "lame_set_VBR_max_bitrate_kbps");
  bind(f.lame_set_brate, "lame_set_brate");
  bind(f.lame_set_quality, "lame_set_quality");
  bind(f.lame_init_params, "lame_init_params");
  bind(f.lame_encode_buffer_interleaved, "lame_encode_buffer_interleaved");
  bind(f.lame_encode_flush, "lame_encode_flush");
  bind(f.lame_get_lametag_frame, "lame_get_lametag_frame");
  bind(f.id3tag_init, "id3tag_init");
  bind(f.id3tag_set_title, "id3tag_set_title");
  bind(f.id3tag_set_artist, "id3tag_set_artist");
  bind(f.id3tag_set_album, "id3tag_set_album");
  bind(f.id3tag_set_year, "id3tag_set_year");
  bind(f.id3tag_set_track, "id3tag_set_track");
  bind(f.id3tag_set_comment, "id3tag_set_comment");
  bind(f.id3tag_set_genre, "id3tag_set_genre");
  loaded_ = library_.Usable();
}

LameLib::~LameLib() = default;

}  // namespace merolune
