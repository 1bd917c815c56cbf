// Fuzz target: TWaveIn on arbitrary bytes: PCM, IMA and Microsoft ADPCM, and MPEG layer 3 inside a
// WAV file (format tag 85, converted with libmpg123 when the source is opened).
//
// Each input is assigned as a stream and read through as an output would, with the contract and
// the component's promises checked (see FuzzSupport.h): a known Size is exactly what comes, and a
// range of frames is exactly those frames of the whole reading.

#include <cstddef>
#include <cstdint>

#include "ACS_Wave.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  merolune::TWaveIn input;
  merolune::fuzz::FuzzInput(input, data, size, {.ExactSize = true, .ExactRanges = true});
  return 0;
}
