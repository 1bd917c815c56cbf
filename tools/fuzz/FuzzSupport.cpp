// What the decoders' fuzz targets share.

#include "FuzzSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ACS_Classes.h"
#include "Exception.h"
#include "LittleEndian.h"
#include "Stream.h"

namespace merolune::fuzz {

namespace {

std::string* workDirectory = nullptr;

void RemoveWorkDirectory() {
  std::error_code error;
  if (workDirectory != nullptr) std::filesystem::remove_all(*workDirectory, error);
}

}  // namespace

void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

void Check(bool condition, const std::string& what) {
  if (!condition) Fail(what);
}

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t size, std::uint64_t hash) {
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001B3ULL;
  return hash;
}

const std::string& WorkDirectory() {
  if (workDirectory == nullptr) {
    const char* env = std::getenv("TMPDIR");
    std::string pattern = std::string(env != nullptr && env[0] != '\0' ? env : "/tmp") + "/merolune-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) Fail("cannot create a directory like " + pattern);
    workDirectory = new std::string(buffer.data());
    std::atexit(RemoveWorkDirectory);
  }
  return *workDirectory;
}

std::string WorkFile(const std::string& name) { return WorkDirectory() + "/" + name; }

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  Check(out.good(), "cannot write " + path);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  Check(in.good(), "cannot read " + path);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  Check(in.good(), "cannot read " + path);
  return bytes;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void CheckOnlyFiles(const std::vector<std::string>& names) {
  for (const auto& entry : std::filesystem::directory_iterator(WorkDirectory())) {
    const std::string name = entry.path().filename().string();
    Check(std::find(names.begin(), names.end(), name) != names.end(), "left behind: " + name);
  }
}

std::uint64_t CheckStereoWav(const std::string& path) {
  const std::vector<std::uint8_t> wav = ReadFile(path);
  Check(wav.size() >= 44, "the WAV file is shorter than its header");
  const std::uint8_t* h = wav.data();
  Check(std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVEfmt ", 8) == 0 &&
            std::memcmp(h + 36, "data", 4) == 0,
        "the WAV file's tags are wrong");
  const std::uint32_t dataSize = LoadU32(h + 40);
  Check(dataSize == wav.size() - 44, "the WAV data size is not the body's size");
  Check(LoadU32(h + 4) == dataSize + 36, "the RIFF size is wrong");
  Check(LoadU32(h + 16) == 16 && LoadU16(h + 20) == 1, "the WAV is not plain PCM");
  Check(LoadU16(h + 22) == 2 && LoadU16(h + 32) == 4 && LoadU16(h + 34) == 16,
        "the WAV is not 16-bit stereo");
  const std::uint32_t rate = LoadU32(h + 24);
  Check(rate > 0, "the WAV's sample rate is 0");
  // Counted in 64 bits: a rate whose byte rate does not fit the field cannot be described at all.
  Check(LoadU32(h + 28) == std::uint64_t{rate} * 4,
        "the WAV's byte rate is not 4 bytes a frame at " + std::to_string(rate) + " Hz");
  Check(dataSize % 4 == 0, "the WAV holds a partial frame");
  return dataSize / 4;
}

ReadOutcome ReadThrough(TAuFileIn& input, const ReadOptions& options) {
  ReadOutcome outcome;
  input.SetStartSample(options.StartSample);
  input.SetEndSample(options.EndSample);
  try {
    if (options.AskFormatFirst) {
      input.Channels();
      input.BitsPerSample();
      input.SampleRate();
      input.TotalSeconds();
    }
    input.BeginRead();
  } catch (const Exception& e) {
    Check(!input.Busy(), "a failed BeginRead left the input busy");
    outcome.Failed = true;
    outcome.Message = e.what();
    // The next reading starts from scratch, whatever the format queries opened.
    input.EndRead();
    return outcome;
  }
  Check(input.Busy(), "BeginRead did not set Busy");
  Check(input.Position() == 0, "BeginRead did not reset Position");
  outcome.Channels = input.Channels();
  outcome.BitsPerSample = input.BitsPerSample();
  outcome.SampleRate = input.SampleRate();
  outcome.Size = input.Size();
  const std::int32_t bits = outcome.BitsPerSample;
  Check(bits == 8 || bits == 16 || bits == 24 || bits == 32,
        "BitsPerSample is " + std::to_string(bits) + " after BeginRead");
  Check(outcome.Channels >= 1, "Channels is " + std::to_string(outcome.Channels) + " after BeginRead");
  Check(outcome.SampleRate >= 1, "SampleRate is " + std::to_string(outcome.SampleRate) + " after BeginRead");
  const std::int64_t frameBytes = std::int64_t{outcome.Channels} * (bits / 8);
  Check(frameBytes <= INT32_MAX, "a frame is wider than a block can be");
  Check(outcome.Size < 0 || outcome.Size % frameBytes == 0, "Size is not whole frames");

  outcome.Hash = Fnv1a(nullptr, 0);
  try {
    for (;;) {
      const auto asked = static_cast<std::int32_t>(std::max<std::int64_t>(options.BlockBytes, frameBytes));
      const std::uint8_t* data = nullptr;
      std::int32_t bytes = asked;
      input.ReadBlock(data, bytes);
      // The messages are made only on failure: this loop runs for every block.
      if (bytes < 0 || bytes > asked) {
        Fail("ReadBlock answered " + std::to_string(bytes) + " bytes to " + std::to_string(asked) + " asked");
      }
      if (bytes == 0) break;
      if (data == nullptr) Fail("ReadBlock answered bytes without a buffer");
      if (bytes % frameBytes != 0) Fail("ReadBlock answered a partial frame");
      outcome.Hash = Fnv1a(data, static_cast<std::size_t>(bytes), outcome.Hash);
      if (outcome.PcmComplete && outcome.Pcm.size() + static_cast<std::size_t>(bytes) <= kKeptPcmBytes) {
        outcome.Pcm.insert(outcome.Pcm.end(), data, data + bytes);
      } else {
        outcome.PcmComplete = false;
        std::vector<std::uint8_t>().swap(outcome.Pcm);
      }
      outcome.Bytes += static_cast<std::uint64_t>(bytes);
      if (input.Position() != static_cast<std::int64_t>(outcome.Bytes)) Fail("Position is not what was handed out");
      if (outcome.Size >= 0 && outcome.Bytes > static_cast<std::uint64_t>(outcome.Size)) {
        Fail("more bytes came than Size announced (" + std::to_string(outcome.Size) + ")");
      }
    }
  } catch (const Exception& e) {
    outcome.Failed = true;
    outcome.Message = e.what();
  }
  input.EndRead();
  Check(!input.Busy(), "EndRead did not clear Busy");
  if (!outcome.Failed && options.ExactSize && outcome.Size >= 0) {
    Check(outcome.Bytes == static_cast<std::uint64_t>(outcome.Size),
          std::to_string(outcome.Bytes) + " bytes came where Size announced " + std::to_string(outcome.Size));
  }
  return outcome;
}

void FuzzInput(TAuFileIn& input, const std::uint8_t* data, std::size_t size, const InputPromises& promises) {
  MemoryStream stream(std::vector<std::uint8_t>(data, data + size));
  input.AssignStream(&stream);
  std::uint64_t h = Fnv1a(data, size);
  auto bits = [&h](unsigned count) {
    const std::uint64_t v = h & ((1ULL << count) - 1U);
    h >>= count;
    return v;
  };
  static constexpr std::int32_t kBlocks[] = {1, 4, 1000, 4096, 16384, 65536, 1 << 20, 6};

  ReadOptions options;
  options.ExactSize = promises.ExactSize;
  options.AskFormatFirst = true;
  options.BlockBytes = kBlocks[bits(3)];
  const ReadOutcome first = ReadThrough(input, options);
  options.AskFormatFirst = false;
  options.BlockBytes = kBlocks[bits(3)];
  const ReadOutcome second = ReadThrough(input, options);
  Check(second == first, "a second reading differs from the first (" + std::to_string(first.Bytes) + " bytes, " +
                             (first.Failed ? first.Message : "ok") + "; then " + std::to_string(second.Bytes) +
                             " bytes, " + (second.Failed ? second.Message : "ok") + ")");

  if (!first.Failed && first.Bytes > 0) {
    const auto frameBytes = static_cast<std::uint64_t>(first.Channels) * static_cast<std::uint64_t>(first.BitsPerSample / 8);
    const std::uint64_t frames = first.Bytes / frameBytes;
    const std::uint64_t start = bits(24) % (frames + 1);
    const bool toTheEnd = bits(1) != 0;
    const std::uint64_t end = toTheEnd ? frames : start + bits(24) % (frames - start + 1);
    options.StartSample = static_cast<std::int64_t>(start);
    options.EndSample = toTheEnd ? -1 : static_cast<std::int64_t>(end);
    const ReadOutcome range = ReadThrough(input, options);
    if (promises.ExactRanges && !range.Failed && first.PcmComplete) {
      Check(range.Pcm.size() == (end - start) * frameBytes &&
                std::equal(range.Pcm.begin(), range.Pcm.end(),
                           first.Pcm.begin() + static_cast<std::ptrdiff_t>(start * frameBytes)),
            "the range " + std::to_string(start) + ".." + std::to_string(end) +
                " is not those frames of the whole reading");
    }
    // The range settings are reset by EndRead.
    Check(input.StartSample() == 0 && input.EndSample() == -1, "EndRead kept the range");
  }
  input.AssignStream(nullptr);
}

}  // namespace merolune::fuzz
