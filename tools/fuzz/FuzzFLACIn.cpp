// Fuzz target: TFLACIn on arbitrary bytes, over the system's libFLAC.so.12 opened by soname.
//
// Each input is assigned as a stream and read through as an output would, with the contract checked
// (see FuzzSupport.h). A stream that comes up short of its STREAMINFO's count fails, so a known Size
// is exactly what a successful reading delivers, also for a range.

#include <cstddef>
#include <cstdint>

#include "ACS_FLAC.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  merolune::TFLACIn input;
  merolune::fuzz::FuzzInput(input, data, size, {.ExactSize = true, .ExactRanges = false});
  return 0;
}
