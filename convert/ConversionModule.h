#pragma once
// The conversion service as a module that a program opens only when a job converts: libmerolune-
// conversion.so holds the pipeline, the codec components and the Qt event loop they need, so that a
// program without them (merolune-cli on a WAV job) starts without loading Qt at all.
//
// The module exports one C entry point, merolune_open_conversion, looked up like a codec library's:
//
//   LibraryBinding<ConversionModuleEntryPoints> module(DynamicLibrary::Unloading::Never);
//   std::string error;
//   std::unique_ptr<ConversionModule> converter(module.Api().merolune_open_conversion(&error));

#include <string>

#include "DynamicLibrary.h"
#include "ReductionJob.h"

namespace merolune {

// The soname, found through the program's run path (the build's library folder, lib/merolune once
// installed).
inline constexpr char kConversionModuleLibrary[] = "libmerolune-conversion.so";

// The job's converter, with the event loop it runs on. Use and destroy on the thread that opened it.
class ConversionModule : public FormatConverter {
 public:
  // Delivers the conversion components' pending notices; the job's PumpMessages calls it.
  virtual void PumpMessages() = 0;
};

}  // namespace merolune

extern "C" {
// A new converter with its event loop (a QCoreApplication, unless the program already has one), for
// the caller to delete. Null when a codec library is missing, with the reason ("libFLAC.so.12 library
// could not be loaded.") in *error.
[[gnu::visibility("default")]] merolune::ConversionModule* merolune_open_conversion(std::string* error);
}

#define MEROLUNE_CONVERSION_MODULE_ENTRY_POINTS(X) X(merolune_open_conversion)
MEROLUNE_ENTRY_POINTS(ConversionModuleEntryPoints, ::merolune::kConversionModuleLibrary,
                      MEROLUNE_CONVERSION_MODULE_ENTRY_POINTS);
