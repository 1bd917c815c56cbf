// Fuzz target: a whole reduction job on an arbitrary source file.
//
// Each input is written to "in.wav" in a directory of this process's own, which is also $TMPDIR,
// so the job's temporary files land there too; the job writes "out.wav" beside it, with the
// smallest blocks (precision 0) to keep runs fast. Every question is answered yes.
//
// A refused source (merolune::Exception) is a normal outcome. Any other exception escapes and
// counts as a crash. After every run the target checks that
//   - once DeleteLastOutput() ran, nothing but in.wav and out.wav is left in the directory (no
//     "cc*.wav" temporary, no partial destination);
//   - a job that failed left the destination as it was;
//   - a completed job's destination is the 44-byte header WriteWaveHeader writes for the source
//     followed by one 16-bit stereo frame per whole source frame.
// The settings vary with a hash of the input, so that the key change, the enhancer and the other
// modes are exercised too while the input stays a plain WAV file. Set MEROLUNE_FUZZ_VERBOSE=1
// to see each run's settings and outcome (to replay a saved input with merolune-cli).

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Exception.h"
#include "ReductionJob.h"
#include "ReductionSettings.h"
#include "Stream.h"
#include "WaveHeader.h"

namespace {

using namespace merolune;
namespace fs = std::filesystem;

constexpr int kPrecision = 0;
const std::vector<std::uint8_t> kOldDestination{'n', 'o', 't', ' ', 'y', 'e', 't'};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "FuzzJob: %s\n", what.c_str());
  std::abort();
}

void Check(bool condition, const std::string& what) {
  if (!condition) Fail(what);
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Check(in.good(), "cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  Check(out.good(), "cannot write " + path);
}

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ULL;
  return h;
}

// The per-process directory, made once and removed when the process exits normally.
struct Workspace {
  std::string Dir;
  std::string Source;
  std::string Destination;
  bool Verbose = false;
};

Workspace* workspace = nullptr;

void RemoveWorkspace() {
  std::error_code error;
  if (workspace) fs::remove_all(workspace->Dir, error);
}

// Every question answered yes; the last error message kept.
class FuzzQuestions final : public JobQuestions {
 public:
  void ShowError(const std::string& message) override { error = message; }
  bool ConfirmOverwrite(const std::string&) override { return true; }

  std::string error;
};

// Half the inputs run with the program's defaults; the rest with controls drawn from the hash,
// turned into settings the way the window does, so that only reachable settings occur.
JobRequest ChooseRequest(std::uint64_t h) {
  JobRequest request;
  request.BlockSize = BlockSizeForPrecision(kPrecision);
  if ((h & 1U) == 0) return request;
  h >>= 1;
  auto bits = [&h](unsigned count) {
    const auto v = static_cast<int>(h & ((1U << count) - 1U));
    h >>= count;
    return v;
  };
  // The range boxes hold any text; these are the integers worth trying besides ordinary ones.
  static constexpr const char* kOddHz[] = {"-2147483648", "-1",    "0",      "1",
                                           "22050",       "22051", "100000", "2147483647"};
  auto hz = [&bits]() -> std::string {
    if (bits(2) == 0) return kOddHz[bits(3)];
    return std::to_string(bits(8) * 100);
  };
  TuningControls c;
  ReductionToggles t;
  t.Inverse = bits(1) != 0;
  t.SubtractionBypass = bits(3) == 0;
  t.Enhancer = bits(1) != 0;
  t.BypassAll = bits(4) == 0;
  c.Synthetic = bits(1) != 0;
  c.PPosition = bits(4) * kPPositionMax / 15;
  c.APosition = bits(4) * kAPositionMax / 15;
  c.RangeIndex = bits(1) != 0 ? 0 : kRangeCustom;
  c.LowText = hz();
  c.HighText = hz();
  c.KeyPosition = bits(4) % (kKeyMax - kKeyMin + 1) + kKeyMin;
  request.Settings = MakeSettings(c, t);
  request.BypassAll = t.BypassAll;
  return request;
}

// The size of the whole frames of the source's audio, counted as the job counts them: the data
// chunk as stored, cut at the end of the file when its size is 0 or runs past it.
std::uint64_t SourceFrames(const WaveFormatInfo& f, std::uint64_t fileSize) {
  if (f.DataStart == 0 || f.DataStart > fileSize) return 0;
  std::uint64_t end = std::uint64_t{f.DataStart} + f.DataSize;
  if (f.DataSize == 0 || end > fileSize) end = fileSize;
  return (end - f.DataStart) / (f.BitsPerSample / 4U);
}

void CheckDestination(const std::vector<std::uint8_t>& source, bool bypassAll) {
  MemoryStream in(source);
  WaveFormatInfo f{};
  ReadWaveHeader(in, f);
  const std::vector<std::uint8_t> out = ReadAll(workspace->Destination);

  if (bypassAll) {
    // A bypassed job passes the source through as it is.
    Check(out == source, "a bypassed job's destination differs from its source");
    return;
  }
  Check(out.size() >= kWaveHeaderSize, "the destination is shorter than a WAV header");
  const std::uint8_t* h = out.data();
  const std::uint32_t dataSize = LoadU32(h + 40);
  Check(std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVEfmt ", 8) == 0 &&
            std::memcmp(h + 36, "data", 4) == 0,
        "the destination's header tags are wrong");
  Check(dataSize == out.size() - kWaveHeaderSize, "the destination's data size is not its body's size");
  Check(LoadU32(h + 4) == dataSize + 36, "the destination's RIFF size is wrong");
  Check(dataSize % 4 == 0, "the destination's data size is not a multiple of 4");
  Check(LoadU32(h + 16) == 16 && LoadU16(h + 22) == 2 && LoadU16(h + 32) == 4 && LoadU16(h + 34) == 16,
        "the destination is not described as 16-bit stereo");
  // An extensible source's result is plain PCM: its sub-format does not fit a 16-byte fmt chunk.
  const std::uint16_t tag = f.FormatTag == 0xFFFE ? 1 : f.FormatTag;
  Check(LoadU16(h + 20) == tag && LoadU32(h + 24) == f.SampleRate &&
            LoadU32(h + 28) == f.SampleRate * 4U,
        "the destination's format tag or rates are not the source's");
  Check(dataSize / 4 == SourceFrames(f, source.size()),
        "the destination holds " + std::to_string(dataSize / 4) + " frames, the source " +
            std::to_string(SourceFrames(f, source.size())));
}

// After the last output is deleted, only the source and the destination may remain.
void CheckLeftovers() {
  for (const fs::directory_entry& entry : fs::directory_iterator(workspace->Dir)) {
    const std::string name = entry.path().filename().string();
    Check(name == "in.wav" || name == "out.wav", "left behind after the job: " + name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* env = std::getenv("TMPDIR");
  std::string pattern =
      std::string(env != nullptr && env[0] != '\0' ? env : "/tmp") + "/merolune-fuzz-job-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) Fail("cannot create a directory like " + pattern);
  workspace =
      new Workspace{buffer.data(), std::string(buffer.data()) + "/in.wav",
                    std::string(buffer.data()) + "/out.wav", std::getenv("MEROLUNE_FUZZ_VERBOSE") != nullptr};
  ::setenv("TMPDIR", workspace->Dir.c_str(), 1);
  std::atexit(RemoveWorkspace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One job object for the whole process, as the program keeps one for all its jobs.
  static JobProgress progress;
  static FuzzQuestions questions;
  static JobMonitor monitor;
  static ReductionJob job(progress, questions, monitor);

  const std::vector<std::uint8_t> source(data, data + size);
  WriteAll(workspace->Source, data, size);
  WriteAll(workspace->Destination, kOldDestination.data(), kOldDestination.size());
  const JobRequest request = ChooseRequest(Fnv1a(data, size));
  questions.error.clear();

  bool completed = false;
  std::string outcome;
  try {
    const JobResult result = job.DoReduce(workspace->Source, workspace->Destination, request);
    // The source exists, both names end in .wav and every question is answered yes: the job
    // cannot end early without an exception.
    Check(result == JobResult::Completed, "the job ended without completing or throwing: " + questions.error);
    completed = true;
    outcome = "completed";
  } catch (const Exception& e) {
    outcome = std::string("refused: ") + e.what();
  }
  if (workspace->Verbose) {
    const ReductionSettings& s = request.Settings;
    std::fprintf(
        stderr,
        "FuzzJob: %zu bytes; inverse=%d bypass=%d enhancer=%d synthetic=%d p=%g range=%d %d..%d key=%d "
        "bypass_all=%d; %s\n",
        size, s.Inverse, s.SubtractionBypass, s.Enhancer, s.Synthetic, s.PThreshold, s.RangeRestricted,
        s.LowHz, s.HighHz, s.KeySemitones, request.BypassAll, outcome.c_str());
  }

  if (completed) {
    CheckDestination(source, request.BypassAll);
  } else {
    Check(ReadAll(workspace->Destination) == kOldDestination, "a job that failed changed the destination");
  }
  Check(job.DeleteLastOutput(), "the last output could not be deleted");
  CheckLeftovers();
  return 0;
}
