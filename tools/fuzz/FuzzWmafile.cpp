// Fuzz target: libwmafile's WMA2WAV on an arbitrary source file.
//
// Each input is written to "in.wma" in the process's work directory and decoded to "out.wav" there.
// Afterwards "out.wav" is either absent or a complete 16-bit stereo WAV file whose sizes match, and
// nothing but "in.wma" and "out.wav" is in the directory: a failed decoding leaves no pending file.
// FFmpeg's log is silenced, as its complaints about damaged packets would only slow the fuzzer.

extern "C" {
#include <libavutil/log.h>
}

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "wmafile.h"

using namespace merolune::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string source = WorkFile("in.wma");
  static const std::string destination = WorkFile("out.wav");
  WriteFile(source, data, size);
  WMA2WAV(source.c_str(), destination.c_str());
  if (FileExists(destination)) {
    CheckStereoWav(destination);
    ::unlink(destination.c_str());
  }
  CheckOnlyFiles({"in.wma"});
  return 0;
}
