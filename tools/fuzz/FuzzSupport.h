#pragma once
// What the decoders' fuzz targets share: failing so that libFuzzer keeps the input, a work directory
// of the process's own, reading an input component through as an output would, and checking the
// WAV files that the codec libraries write.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace merolune {
class TAuFileIn;
}

namespace merolune::fuzz {

// Prints the reason on stderr and aborts: libFuzzer then keeps the input as a crash.
[[noreturn]] void Fail(const std::string& what);
void Check(bool condition, const std::string& what);

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t size, std::uint64_t hash = 0xCBF29CE484222325ULL);

// A directory made for this process under $TMPDIR (else /tmp) on first use and removed when the
// process exits normally. run.sh points $TMPDIR into its own work directory, so whatever a crash
// leaves behind goes with it.
const std::string& WorkDirectory();
// The path of `name` in the work directory.
std::string WorkFile(const std::string& name);
void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size);
std::vector<std::uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Fails unless the work directory holds exactly the files `names` (in any order): a library that
// failed, or was stopped, must not leave a temporary file behind.
void CheckOnlyFiles(const std::vector<std::string>& names);
// Fails unless `path` is what the codec libraries promise: a canonical 44-byte header for 16-bit
// stereo PCM at a rate above 0, its sizes matching the file, whole frames. Returns the frames.
std::uint64_t CheckStereoWav(const std::string& path);

// How ReadThrough reads.
struct ReadOptions {
  // Ask the format before BeginRead, as the conversion service does (that opens the source).
  bool AskFormatFirst = false;
  // Bytes asked for per ReadBlock; at least one frame is always asked.
  std::int32_t BlockBytes = 4096;
  // A known Size is exactly what comes; otherwise it is only an upper bound.
  bool ExactSize = true;
  std::int64_t StartSample = 0;
  std::int64_t EndSample = -1;
};

// What reading an input through gave. Equal outcomes mean equal bytes.
struct ReadOutcome {
  bool Failed = false;
  std::string Message;  // the exception's text when Failed
  std::int32_t Channels = 0;
  std::int32_t BitsPerSample = 0;
  std::int32_t SampleRate = 0;
  std::int64_t Size = 0;    // as BeginRead announced it
  std::uint64_t Bytes = 0;  // handed out in all
  std::uint64_t Hash = 0;   // of all bytes handed out
  // The bytes themselves, as long as they stay below kKeptPcmBytes.
  std::vector<std::uint8_t> Pcm;
  bool PcmComplete = true;

  bool operator==(const ReadOutcome&) const = default;
};

inline constexpr std::size_t kKeptPcmBytes = 16 << 20;

// Reads `input` as an output's steps would: BeginRead, ReadBlock until it answers 0 bytes (or
// throws), EndRead. A merolune::Exception is a normal outcome (Failed, with its message); anything
// else escapes and counts as a crash. Fails when the input breaks its contract: Busy not set or not
// cleared, a format outside 8/16/24/32 bits, at least one channel and a rate above 0, a block
// larger than asked or not of whole frames, a null buffer with bytes, Position not counting what
// was handed out, more bytes than the Size announced (or, with ExactSize, fewer without an error).
ReadOutcome ReadThrough(TAuFileIn& input, const ReadOptions& options);

// What an input component promises beyond its contract.
struct InputPromises {
  // A known Size is exactly what a successful reading delivers (WAV, FLAC); Vorbis only promises
  // no more.
  bool ExactSize = true;
  // A range (StartSample, EndSample) delivers exactly those bytes of the whole reading (WAV).
  bool ExactRanges = false;
};

// The checks every input component's target makes on the bytes `data`, assigned as a stream:
// ReadThrough from the start twice, once after the format queries and once without, with block
// sizes drawn from the bytes' hash: both outcomes must be equal, so nothing of one reading stays
// behind for the next. Then, when that succeeded, once more over a range drawn from the hash.
void FuzzInput(TAuFileIn& input, const std::uint8_t* data, std::size_t size, const InputPromises& promises);

}  // namespace merolune::fuzz
