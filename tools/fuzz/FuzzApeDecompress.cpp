// Fuzz target: libmacdll's decompressor on an arbitrary source file, driven as a caller drives it.
//
// Each input is written to "in.ape" in the process's work directory and opened with
// c_APEDecompress_CreateW. A refused file must come back as a null handle with one of the codes
// the header names. An opened one must describe itself consistently through every GetInfo field
// (one or two channels of 8, 16 or 24 bits, the sizes and lengths derived from them), deliver no
// more blocks than asked or than it holds, count its position, end with exactly its stated length
// or an error that stays until a seek, and, after a seek into the middle, deliver the same blocks
// as the first reading did there. At most kMaxBlocks blocks are read per input: a short file may
// state hours of silence, which would only slow the fuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "macdll.h"

using namespace merolune::fuzz;

namespace {

constexpr std::int64_t kMaxBlocks = 1 << 16;
// Blocks asked per GetData: a few sizes, so that calls end inside and across FFmpeg's pieces.
constexpr std::int32_t kAsked[] = {1, 777, 4608, 20000};
// Bytes past the asked-for blocks that GetData must leave alone.
constexpr std::size_t kGuardBytes = 16;
constexpr std::uint8_t kGuard = 0xA5;

std::intptr_t Info(APE_DECOMPRESS_HANDLE decompressor, std::int32_t field) {
  return c_APEDecompress_GetInfo(decompressor, field, 0, 0);
}

// One GetData call into a guarded buffer; appends what it gave to `pcm`.
std::int32_t GetData(APE_DECOMPRESS_HANDLE decompressor, std::int32_t blocks, std::size_t align,
                     std::vector<std::uint8_t>& pcm, std::int32_t& retrieved) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(blocks) * align + kGuardBytes, kGuard);
  retrieved = -1;
  const std::int32_t result =
      c_APEDecompress_GetData(decompressor, reinterpret_cast<char*>(buffer.data()), blocks, &retrieved);
  Check(retrieved >= 0 && retrieved <= blocks,
        "GetData gave " + std::to_string(retrieved) + " blocks to " + std::to_string(blocks) + " asked");
  const std::size_t bytes = static_cast<std::size_t>(retrieved) * align;
  Check(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(blocks) * align),
                    buffer.end(), [](std::uint8_t b) { return b == kGuard; }),
        "GetData wrote past the blocks asked for");
  pcm.insert(pcm.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(bytes));
  return result;
}

void CheckInfo(APE_DECOMPRESS_HANDLE decompressor) {
  const std::intptr_t channels = Info(decompressor, MAC_INFO_CHANNELS);
  const std::intptr_t bits = Info(decompressor, MAC_INFO_BITS_PER_SAMPLE);
  const std::intptr_t rate = Info(decompressor, MAC_INFO_SAMPLE_RATE);
  const std::intptr_t blocks = Info(decompressor, MAC_INFO_TOTAL_BLOCKS);
  Check(channels == 1 || channels == 2, "channels " + std::to_string(channels));
  Check(bits == 8 || bits == 16 || bits == 24, "bits per sample " + std::to_string(bits));
  Check(rate > 0, "sample rate " + std::to_string(rate));
  Check(blocks > 0, "total blocks " + std::to_string(blocks));
  Check(Info(decompressor, MAC_INFO_BYTES_PER_SAMPLE) == bits / 8, "bytes per sample");
  const std::intptr_t align = channels * bits / 8;
  Check(Info(decompressor, MAC_INFO_BLOCK_ALIGN) == align, "block align");
  Check(Info(decompressor, MAC_INFO_WAV_DATA_BYTES) == blocks * align, "WAV data bytes");
  Check(Info(decompressor, MAC_INFO_WAV_TOTAL_BYTES) == blocks * align, "WAV total bytes");
  Check(Info(decompressor, MAC_DECOMPRESS_TOTAL_BLOCKS) == blocks, "decompress total blocks");
  const std::intptr_t ms = static_cast<std::intptr_t>(static_cast<std::int64_t>(blocks) * 1000 / rate);
  Check(Info(decompressor, MAC_INFO_LENGTH_MS) == ms && Info(decompressor, MAC_DECOMPRESS_LENGTH_MS) == ms,
        "length in milliseconds");
  Check(Info(decompressor, MAC_DECOMPRESS_CURRENT_BLOCK) == 0 && Info(decompressor, MAC_DECOMPRESS_CURRENT_MS) == 0,
        "a fresh decompressor is not at the start");
  const std::intptr_t version = Info(decompressor, MAC_INFO_FILE_VERSION);
  Check(version >= 3800 && version <= 3990, "file version " + std::to_string(version));
  const std::intptr_t level = Info(decompressor, MAC_INFO_COMPRESSION_LEVEL);
  Check(level >= 1000 && level <= 5000 && level % 1000 == 0, "compression level " + std::to_string(level));
  Info(decompressor, MAC_INFO_FORMAT_FLAGS);
  Check(Info(decompressor, MAC_INFO_TOTAL_FRAMES) >= 1, "total frames");
  Check(Info(decompressor, MAC_INFO_BLOCKS_PER_FRAME) >= 1, "blocks per frame");
  Info(decompressor, MAC_INFO_FINAL_FRAME_BLOCKS);
  Check(Info(decompressor, 4242) == -1, "an unknown field has a value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string source = WorkFile("in.ape");
  static const std::wstring wide(source.begin(), source.end());
  WriteFile(source, data, size);
  const std::uint64_t hash = Fnv1a(data, size);
  const std::int32_t asked = kAsked[hash % std::size(kAsked)];

  std::int32_t error = -1;
  APE_DECOMPRESS_HANDLE decompressor = c_APEDecompress_CreateW(wide.c_str(), &error);
  if (!decompressor) {
    Check(error == MAC_ERROR_INVALID_INPUT_FILE || error == MAC_ERROR_UNSUPPORTED_FILE_TYPE,
          "CreateW failed with " + std::to_string(error));
    return 0;
  }
  Check(error == MAC_ERROR_SUCCESS, "a handle came with error " + std::to_string(error));
  CheckInfo(decompressor);
  const auto align = static_cast<std::size_t>(Info(decompressor, MAC_INFO_BLOCK_ALIGN));
  const std::int64_t total = Info(decompressor, MAC_INFO_TOTAL_BLOCKS);

  // From the start until the end, an error or kMaxBlocks.
  std::vector<std::uint8_t> pcm;
  std::int32_t result = MAC_ERROR_SUCCESS;
  std::int32_t retrieved = 0;
  do {
    result = GetData(decompressor, asked, align, pcm, retrieved);
    const auto delivered = static_cast<std::int64_t>(pcm.size() / align);
    Check(Info(decompressor, MAC_DECOMPRESS_CURRENT_BLOCK) == delivered, "the position is not what was delivered");
    Check(delivered <= total, "more blocks than the file holds");
  } while (result == MAC_ERROR_SUCCESS && retrieved > 0 && static_cast<std::int64_t>(pcm.size() / align) < kMaxBlocks);
  const auto delivered = static_cast<std::int64_t>(pcm.size() / align);
  if (result == MAC_ERROR_SUCCESS && retrieved == 0) {
    Check(delivered == total,
          "the audio ended after " + std::to_string(delivered) + " of " + std::to_string(total) + " blocks");
  }
  if (result != MAC_ERROR_SUCCESS) {
    Check(result == MAC_ERROR_DECOMPRESSING_FRAME, "GetData failed with " + std::to_string(result));
    std::vector<std::uint8_t> more;
    Check(GetData(decompressor, asked, align, more, retrieved) == result && retrieved == 0,
          "a failed decompressor delivered again without a seek");
  }

  // Into the middle, and the same blocks again.
  const std::int64_t middle = total / 2;
  Check(c_APEDecompress_Seek(decompressor, static_cast<std::int32_t>(middle)) == MAC_ERROR_SUCCESS, "Seek failed");
  Check(Info(decompressor, MAC_DECOMPRESS_CURRENT_BLOCK) == middle, "Seek did not move the position");
  std::vector<std::uint8_t> again;
  const std::int32_t seeked = GetData(decompressor, asked, align, again, retrieved);
  // The decoder is the same from a frame's start, so blocks the first reading delivered come again,
  // even from a frame that turned out damaged further on.
  if (middle + asked <= delivered) {
    Check(seeked == MAC_ERROR_SUCCESS && retrieved == asked, "after a seek GetData failed where it had not");
    Check(std::memcmp(again.data(), pcm.data() + static_cast<std::size_t>(middle) * align, again.size()) == 0,
          "after a seek GetData gave other blocks than the first reading");
  }
  Check(c_APEDecompress_Seek(decompressor, static_cast<std::int32_t>(total + 1)) == MAC_ERROR_BAD_PARAMETER,
        "Seek past the end was accepted");
  c_APEDecompress_Destroy(decompressor);
  return 0;
}
