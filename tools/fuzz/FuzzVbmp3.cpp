// Fuzz target: libvbmp3's C entry points on an arbitrary source file, driven as the conversion
// service drives them.
//
// Each input is written to "in.mp3" in the process's work directory. vbmp3_open reads it and fills
// the information record (a buffer of exactly VBMP3_INFO_SIZE bytes, so AddressSanitizer sees any
// write past it), vbmp3_decodeWave decodes it into "out.wav" on the library's own thread, and the
// target polls vbmp3_getState until that has ended. One input in four (by its hash) is closed right
// after the start instead, which stops the decoding and must discard its output.
//
// Afterwards "out.wav" is either absent or a complete 16-bit stereo WAV file whose sizes match
// (progress then 100), and nothing but "in.mp3" and "out.wav" is in the directory: no pending file
// may outlive a failed or stopped decoding.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "vbmp3.h"

using namespace merolune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string source = WorkFile("in.mp3");
  static const std::string destination = WorkFile("out.wav");
  WriteFile(source, data, size);
  const bool stopEarly = (Fnv1a(data, size) & 3U) == 0;

  vbmp3_init();
  std::vector<std::uint8_t> info(VBMP3_INFO_SIZE, 0xA5);
  vbmp3_open(source.c_str(), info.data());
  vbmp3_decodeWave(destination.c_str());
  std::int32_t progress = -1;
  if (stopEarly) {
    vbmp3_close();
    Check(vbmp3_getState(&progress) == 0, "still busy after vbmp3_close");
  } else {
    while (vbmp3_getState(&progress) == 1) std::this_thread::yield();
    vbmp3_close();
  }
  Check(progress >= 0 && progress <= 100, "progress " + std::to_string(progress) + " is no percentage");

  if (FileExists(destination)) {
    CheckStereoWav(destination);
    Check(progress == 100, "the WAV file is there, but progress says " + std::to_string(progress));
    ::unlink(destination.c_str());
  }
  CheckOnlyFiles({"in.mp3"});
  return 0;
}
