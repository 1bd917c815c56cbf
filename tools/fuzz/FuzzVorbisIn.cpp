// Fuzz target: TVorbisIn on arbitrary bytes, over the system's libvorbisfile opened by soname.
//
// Each input is assigned as a stream and read through as an output would, with the contract checked
// (see FuzzSupport.h). vorbisfile trims to the granule positions but a damaged stream may deliver
// less than it states, so a known Size is only an upper bound here.

#include <cstddef>
#include <cstdint>

#include "ACS_Vorbis.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  merolune::TVorbisIn input;
  merolune::fuzz::FuzzInput(input, data, size, {.ExactSize = false, .ExactRanges = false});
  return 0;
}
