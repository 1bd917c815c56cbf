#pragma once
// The run-time binding of libmacdll.so (Monkey's Audio): every entry point the library exports.
//
// Declares the entry points with the library's own prototypes (macdll.h); include it from .cpp files
// only (ACS_MAC.h does not).

#include "DynamicLibrary.h"
#include "macdll.h"

// All of libmacdll's exports, looked up by name when a Monkey's Audio component is made.
#define MEROLUNE_MACDLL_ENTRY_POINTS(X) \
  X(c_APECompress_Create)               \
  X(FillWaveFormatEx)                   \
  X(c_APECompress_Start)                \
  X(c_APECompress_LockBuffer)           \
  X(c_APECompress_UnlockBuffer)         \
  X(c_APECompress_Finish)               \
  X(c_APECompress_Destroy)              \
  X(c_APEDecompress_CreateW)            \
  X(c_APEDecompress_GetInfo)            \
  X(c_APEDecompress_GetData)            \
  X(c_APEDecompress_Seek)               \
  X(c_APEDecompress_Destroy)

namespace merolune {

MEROLUNE_ENTRY_POINTS(MacDllEntryPoints, "libmacdll.so", MEROLUNE_MACDLL_ENTRY_POINTS);

// libmacdll, opened when the object is made; each Monkey's Audio component owns one. Require() throws
// "libmacdll.so library could not be loaded." when the library is missing or lacks an entry point.
// Once loaded it stays: FFmpeg beneath it keeps process-wide state of its own.
class MacDllLib : public LibraryBinding<MacDllEntryPoints> {
 public:
  MacDllLib() : LibraryBinding(MacDllEntryPoints::kSoName, DynamicLibrary::Unloading::Never) {}
};

}  // namespace merolune
