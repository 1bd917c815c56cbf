#pragma once
// The run-time binding of the LAME MP3 encoder library (libmp3lame.so.0): the library and its entry points.

#include <memory>
#include <string>

#include "DynamicLibrary.h"

namespace merolune {

// The LAME library, opened once for the whole process the first time Instance() is called (the
// first TMP3Out), and kept open until the program ends. Every entry point the encoder calls is looked
// up by name when the library opens; the library counts as loaded only when all of them were found,
// so no caller ever calls through a null pointer.
//
// Instance() is thread-safe; the object is immutable afterwards, so Loaded() and Api() may be read from
// any thread. The entry points themselves follow LAME's rules: one thread at a time per handle.
class LameLib {
 public:
  // One pointer per entry point, typed after <lame/lame.h>. Its members are visible only in .cpp files
  // that include <lame/lame.h> before this header (codec headers stay out of headers).
  struct Functions;

  // The process-wide binding, opening the library on the first call.
  static const LameLib& Instance();

  ~LameLib();
  LameLib(const LameLib&) = delete;
  LameLib& operator=(const LameLib&) = delete;

  // The library opened and exports every entry point in Functions.
  bool Loaded() const { return loaded_; }
  // "libmp3lame.so.0 library could not be loaded."
  std::string MissingMessage() const { return library_.MissingMessage(); }
  // The entry points; only meaningful when Loaded().
  const Functions& Api() const { return *functions_; }

 private:
  LameLib();

  DynamicLibrary library_;
  std::unique_ptr<Functions> functions_;
  bool loaded_ = false;
};

}  // namespace merolune

#ifdef LAME_LAME_H
namespace merolune {

struct LameLib::Functions {
  decltype(&::lame_init) lame_init = nullptr;
  decltype(&::lame_close) lame_close = nullptr;
  decltype(&::lame_set_errorf) lame_set_errorf = nullptr;
  decltype(&::lame_set_debugf) lame_set_debugf = nullptr;
  decltype(&::lame_set_msgf) lame_set_msgf = nullptr;
  decltype(&::lame_set_num_samples) lame_set_num_samples = nullptr;
  decltype(&::lame_set_in_samplerate) lame_set_in_samplerate = nullptr;
  decltype(&::lame_set_num_channels) lame_set_num_channels = nullptr;
  decltype(&::lame_set_out_samplerate) lame_set_out_samplerate = nullptr;
  decltype(&::lame_get_out_samplerate) lame_get_out_samplerate = nullptr;
  decltype(&::lame_set_mode) lame_set_mode = nullptr;
  decltype(&::lame_set_copyright) lame_set_copyright = nullptr;
  decltype(&::lame_set_original) lame_set_original = nullptr;
  decltype(&::lame_set_error_protection) lame_set_error_protection = nullptr;
  decltype(&::lame_set_bWriteVbrTag) lame_set_bWriteVbrTag = nullptr;
  decltype(&::lame_set_VBR) lame_set_VBR = nullptr;
  decltype(&::lame_set_VBR_q) lame_set_VBR_q = nullptr;
  decltype(&::lame_set_VBR_min_bitrate_kbps) lame_set_VBR_min_bitrate_kbps = nullptr;
  decltype(&::lame_set_VBR_max_bitrate_kbps) lame_set_VBR_max_bitrate_kbps = nullptr;
  decltype(&::lame_set_brate) lame_set_brate = nullptr;
  decltype(&::lame_set_quality) lame_set_quality = nullptr;
  decltype(&::lame_init_params) lame_init_params = nullptr;
  decltype(&::lame_encode_buffer_interleaved) lame_encode_buffer_interleaved = nullptr;
  decltype(&::lame_encode_flush) lame_encode_flush = nullptr;
  decltype(&::lame_get_lametag_frame) lame_get_lametag_frame = nullptr;
  decltype(&::id3tag_init) id3tag_init = nullptr;
  decltype(&::id3tag_set_title) id3tag_set_title = nullptr;
  decltype(&::id3tag_set_artist) id3tag_set_artist = nullptr;
  decltype(&::id3tag_set_album) id3tag_set_album = nullptr;
  decltype(&::id3tag_set_year) id3tag_set_year = nullptr;
  decltype(&::id3tag_set_track) id3tag_set_track = nullptr;
  decltype(&::id3tag_set_comment) id3tag_set_comment = nullptr;
  decltype(&::id3tag_set_genre) id3tag_set_genre = nullptr;
};

}  // namespace merolune
#endif
