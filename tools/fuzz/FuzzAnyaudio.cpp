// Fuzz target: libanyaudio's AnyAudioToWav on an arbitrary file, read by its content.
//
// Each input is written to "in.bin" in the process's work directory and decoded to "out.wav" there.
// A success leaves "out.wav" as a complete 16-bit stereo WAV file of the frames it reports; any
// failure leaves nothing, and no pending file stays behind either way. FFmpeg's log is silenced by
// the library itself.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "anyaudio.h"

using namespace merolune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string source = WorkFile("in.bin");
  static const std::string destination = WorkFile("out.wav");
  WriteFile(source, data, size);
  anyaudio_result result{};
  const std::int32_t status = AnyAudioToWav(source.c_str(), destination.c_str(), nullptr, nullptr, &result);
  Check(status >= ANYAUDIO_OK && status <= ANYAUDIO_STOPPED, "an unknown status");
  if (status == ANYAUDIO_OK) {
    Check(CheckStereoWav(destination) == result.frames, "the WAV file holds other frames than reported");
    ::unlink(destination.c_str());
  } else {
    Check(!FileExists(destination), "a failed decoding left its WAV file");
  }
  CheckOnlyFiles({"in.bin"});
  return 0;
}
