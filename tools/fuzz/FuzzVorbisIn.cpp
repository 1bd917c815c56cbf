// Fuzz target: TVorbisIn on arbitrary bytes, over the system's libvorbisfile opened by soname.
//
// Each input is assigned as a stream and read through as an output would, with the contract checked
// (see FuzzSupport.h). vorbisfile trims to the granule positions but a damaged stream may deliver
// less than it states, so a known Size is only an upper bound here.

#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ACS_Vorbis.h"
#include "FuzzSupport.h"

// The leak suppressions (lsan.supp) name libvorbisfile. The bindings close the libraries when the
// process exits, before the last leak check, whose report could then no longer name the module of
// an allocation; opened once more here and never unloaded, they stay nameable.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (const char* name : {"libogg.so.0", "libvorbis.so.0", "libvorbisfile.so.3"}) {
    if (::dlopen(name, RTLD_NOW | RTLD_NODELETE) == nullptr) merolune::fuzz::Fail(std::string("cannot open ") + name);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  merolune::TVorbisIn input;
  merolune::fuzz::FuzzInput(input, data, size, {.ExactSize = false, .ExactRanges = false});
  return 0;
}
