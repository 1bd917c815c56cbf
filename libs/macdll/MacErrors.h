#pragma once
// The texts of libmacdll's error codes, for messages that name what went wrong.

#include <cstdint>
#include <string>

#include "macdll.h"

namespace merolune {

// The text for `code`, one of the MAC_ERROR_* values; "undefined (<code>)" for any other number.
inline std::string MacErrorText(std::int32_t code) {
  struct Entry {
    std::int32_t Code;
    const char* Text;
  };
  static constexpr Entry kTexts[] = {
      {MAC_ERROR_SUCCESS, "OK"},
      {MAC_ERROR_IO_READ, "I/O read error"},
      {MAC_ERROR_IO_WRITE, "I/O write error"},
      {MAC_ERROR_INVALID_INPUT_FILE, "invalid input file"},
      {MAC_ERROR_INVALID_OUTPUT_FILE, "invalid output file"},
      {MAC_ERROR_INPUT_FILE_TOO_LARGE, "input file file too large"},
      {MAC_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH, "input file unsupported bit depth"},
      {MAC_ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE, "input file unsupported sample rate"},
      {MAC_ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT, "input file unsupported channel count"},
      {MAC_ERROR_INPUT_FILE_TOO_SMALL, "input file too small"},
      {MAC_ERROR_INVALID_CHECKSUM, "invalid checksum"},
      {MAC_ERROR_DECOMPRESSING_FRAME, "decompressing frame"},
      {MAC_ERROR_INITIALIZING_UNMAC, "initializing unmac"},
      {MAC_ERROR_INVALID_FUNCTION_PARAMETER, "invalid function parameter"},
      {MAC_ERROR_UNSUPPORTED_FILE_TYPE, "unsupported file type"},
      {MAC_ERROR_INSUFFICIENT_MEMORY, "insufficient memory"},
      {MAC_ERROR_LOADING_APE_DLL, "loading MAC.dll"},
      {MAC_ERROR_LOADING_APE_INFO_DLL, "loading MACinfo.dll"},
      {MAC_ERROR_LOADING_UNMAC_DLL, "loading UnMAC.dll"},
      {MAC_ERROR_USER_STOPPED_PROCESSING, "user stopped processing"},
      {MAC_ERROR_SKIPPED, "skipped..."},
      {MAC_ERROR_BAD_PARAMETER, "bad parameter"},
      {MAC_ERROR_APE_COMPRESS_TOO_MUCH_DATA, "APE compress too much data"},
  };
  for (const Entry& entry : kTexts) {
    if (entry.Code == code) return entry.Text;
  }
  return "undefined (" + std::to_string(code) + ")";
}

}  // namespace merolune
