#pragma once
// Texts for an anyaudio_result: bounded copies into its fields, and FFmpeg's error codes in words.

extern "C" {
#include <libavutil/error.h>
}

#include <cstdio>
#include <string>

namespace merolune {

// Copies `text` into a fixed field, cut to fit and always terminated.
template <std::size_t N>
void CopyText(char (&target)[N], const std::string& text) {
  std::snprintf(target, N, "%s", text.c_str());
}

inline std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace merolune
