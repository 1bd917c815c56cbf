// Fuzz target: CheckApeHead, libmacdll's check of a Monkey's Audio file's start, on arbitrary bytes.
//
// The input is taken as a whole file: its first kApeHeadBytes bytes (copied to a buffer of exactly
// that length, so AddressSanitizer sees any read past them) with the input's size as the file size.
// Besides crashes and undefined behaviour it checks what the decompressor relies on: the answer
// depends on those bytes only, and a file that is usable stays usable when it is longer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <vector>

#include "ApeHeader.h"

namespace {

using merolune::ApeHead;
using merolune::CheckApeHead;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "FuzzApeHeader: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> head(data, data + std::min(size, merolune::kApeHeadBytes));
  const ApeHead answer = CheckApeHead(head, size);
  Check(CheckApeHead(std::span(data, size), size) == answer, "bytes past the head changed the answer");
  if (answer == ApeHead::Usable) {
    Check(CheckApeHead(head, size + 1) == ApeHead::Usable, "a longer file is no longer usable");
    Check(CheckApeHead(head, std::numeric_limits<std::uint64_t>::max()) == ApeHead::Usable,
          "the longest file is no longer usable");
  }
  if (answer == ApeHead::NotMonkeysAudio) {
    // Whether a file is Monkey's Audio does not depend on its length.
    Check(CheckApeHead(head, 0) == answer && CheckApeHead(head, std::numeric_limits<std::uint64_t>::max()) == answer,
          "the file's length decided whether it is Monkey's Audio");
  }
  return 0;
}
