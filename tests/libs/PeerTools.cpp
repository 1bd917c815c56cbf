// Running the peer tools, reading the WAV files they write, and comparing signals.
#include "PeerTools.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "WavFile.h"

extern char** environ;

namespace merolune::test {

bool ToolAvailable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

namespace {

// A new unnamed file for one capture, read back from the start.
int AnonymousFile() {
  const char* folder = std::getenv("TMPDIR");
  std::string name = std::string(folder && *folder ? folder : "/tmp") + "/merolune-stderr-XXXXXX";
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

}  // namespace

int RunTool(const std::vector<std::string>& argv, std::string* output, std::string* errors) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (output && pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const int errorFile = errors ? AnonymousFile() : -1;
  if (errors && errorFile < 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (errors) {
    posix_spawn_file_actions_adddup2(&actions, errorFile, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) {
    close(pipeFds[1]);
    output->clear();
    char buffer[4096];
    ssize_t n = 0;
    while (spawned == 0 && (n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
      output->append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
  }
  int status = 0;
  const bool waited = spawned == 0 && waitpid(pid, &status, 0) == pid;
  if (errors) {
    *errors = ReadAll(errorFile);
    close(errorFile);
  }
  if (!waited) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CapturedStderr::CapturedStderr() {
  std::fflush(stderr);
  file_ = AnonymousFile();
  saved_ = dup(2);
  if (file_ >= 0 && saved_ >= 0) dup2(file_, 2);
}

CapturedStderr::~CapturedStderr() { Release(); }

std::string CapturedStderr::Release() {
  if (saved_ < 0 && file_ < 0) return {};
  std::fflush(stderr);
  if (saved_ >= 0) {
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  std::string text;
  if (file_ >= 0) {
    text = ReadAll(file_);
    close(file_);
    file_ = -1;
  }
  return text;
}

std::vector<double> PcmAudio::Channel(int channel) const {
  std::vector<double> out;
  if (Channels == 0) return out;
  out.reserve(Frames());
  for (std::size_t i = static_cast<std::size_t>(channel); i < Samples.size(); i += Channels) {
    out.push_back(Samples[i]);
  }
  return out;
}

std::optional<PcmAudio> ReadPcmWav(const std::string& path) {
  std::vector<std::uint8_t> b;
  try {
    b = ReadBytes(path);
  } catch (...) {
    return std::nullopt;
  }
  if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "RIFF" ||
      std::string(b.begin() + 8, b.begin() + 12) != "WAVE") {
    return std::nullopt;
  }
  PcmAudio audio;
  bool haveFormat = false;
  std::size_t at = 12;
  while (at + 8 <= b.size()) {
    const std::string id(b.begin() + static_cast<std::ptrdiff_t>(at),
                         b.begin() + static_cast<std::ptrdiff_t>(at + 4));
    const std::size_t size = U32At(b, at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt " && size >= 16 && body + 16 <= b.size()) {
      const std::uint16_t tag = U16At(b, body);
      // 0xFFFE (extensible) is accepted as long as the samples are 16-bit.
      if ((tag != 1 && tag != 0xFFFE) || U16At(b, body + 14) != 16) return std::nullopt;
      audio.Channels = U16At(b, body + 2);
      audio.SampleRate = U32At(b, body + 4);
      haveFormat = true;
    } else if (id == "data" && haveFormat) {
      // Tools that write to a pipe leave the size open; then the data runs to the end.
      const std::size_t available = b.size() - body;
      const std::size_t bytes = std::min(size, available) / 2 * 2;
      audio.Samples.resize(bytes / 2);
      for (std::size_t i = 0; i < audio.Samples.size(); ++i) {
        audio.Samples[i] = static_cast<std::int16_t>(U16At(b, body + 2 * i));
      }
      if (audio.Channels == 0) return std::nullopt;
      return audio;
    }
    at = body + size + (size % 2);
  }
  return std::nullopt;
}

void WritePcmWav(const std::string& path, const std::vector<std::int16_t>& interleaved, std::uint32_t rate,
                 std::uint16_t channels) {
  WavSpec wav;
  wav.Channels = channels;
  wav.SampleRate = rate;
  wav.Data = SampleBytes(interleaved);
  WriteBytes(path, MakeWav(wav));
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void ExpectOnlyFiles(const std::string& directory, std::vector<std::string> expected) {
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(DirectoryEntries(directory), expected);
}

double CorrelationAt(const std::vector<double>& a, const std::vector<double>& b, std::ptrdiff_t lag,
                     std::size_t start, std::size_t count) {
  double ab = 0;
  double aa = 0;
  double bb = 0;
  const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(std::min(a.size(), start + count));
  for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(start); i < end; ++i) {
    const std::ptrdiff_t j = i + lag;
    if (j < 0 || j >= static_cast<std::ptrdiff_t>(b.size())) continue;
    const double x = a[static_cast<std::size_t>(i)];
    const double y = b[static_cast<std::size_t>(j)];
    ab += x * y;
    aa += x * x;
    bb += y * y;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

std::ptrdiff_t BestLag(const std::vector<double>& a, const std::vector<double>& b, std::ptrdiff_t maxLag,
                       std::size_t start, std::size_t count) {
  std::ptrdiff_t best = 0;
  double bestValue = -2;
  for (std::ptrdiff_t lag = -maxLag; lag <= maxLag; ++lag) {
    const double value = CorrelationAt(a, b, lag, start, count);
    if (value > bestValue) {
      bestValue = value;
      best = lag;
    }
  }
  return best;
}

}  // namespace merolune::test
