// merolune-cli's batch: the plan (which files, where to), the shares, and the children that run it.

#include "Batch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "Formats.h"

extern char** environ;

namespace merolune {

namespace fs = std::filesystem;

namespace {

// A format of the table or one of the other sources the program reads.
bool IsAudioName(const std::string& name) {
  if (FormatFromExtension(name) != FileFormat::Unknown) return true;
  const std::string extension = LowerExtension(name);
  return std::any_of(kOtherSourceExtensions.begin(), kOtherSourceExtensions.end(),
                     [&](const char* other) { return extension == other; });
}

// NAME_cc.EXT (or NAME_vocals.EXT) for the source's file name: the destinations' format, else the
// source's own (as it is spelt) when we write it, else WAV.
std::string DestinationName(const std::string& sourceName, const std::string& suffix, const std::string& format) {
  const std::string extension = sourceName.substr(sourceName.size() - LowerExtension(sourceName).size());
  std::string chosen = format;
  if (chosen.empty()) chosen = FormatFromExtension(sourceName) != FileFormat::Unknown ? extension : ".wav";
  std::string name = sourceName.substr(0, sourceName.size() - extension.size());
  name += suffix;
  name += chosen;
  return name;
}

class Planner {
 public:
  explicit Planner(const BatchOptions& options) : options_(options) {
    std::error_code error;
    output_ = fs::weakly_canonical(options.OutputDir, error);
  }

  void Add(const std::string& argument) {
    std::error_code error;
    const fs::file_status status = fs::status(argument, error);
    if (error) return Fail(argument, fs::path(argument).filename().string(), error.message());
    if (!fs::is_directory(status)) return AddFile(argument, fs::path(argument).filename());
    // A folder keeps its own name under the output folder, as cp -r would, written with a final
    // "/" or not; "." and the like give their contents.
    fs::path folder = fs::path(argument).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    const fs::path name = folder.filename();
    const bool named = !name.empty() && name != "." && name != "..";
    Walk(argument, named ? name : fs::path());
  }

  std::vector<BatchItem> Take() {
    std::sort(items_.begin(), items_.end(), [](const BatchItem& a, const BatchItem& b) {
      return a.Relative != b.Relative ? a.Relative < b.Relative : a.Source < b.Source;
    });
    // Two sources with one destination (song.mp3 and song.flac to WAV): the first keeps it.
    std::map<std::string, const BatchItem*> taken;
    for (BatchItem& item : items_) {
      if (!item.Problem.empty()) continue;
      for (const std::string* destination : {&item.Destination, &item.Vocals}) {
        if (destination->empty()) continue;
        const auto [at, fresh] = taken.emplace(*destination, &item);
        if (!fresh && item.Problem.empty()) item.Problem = "has the same destination as " + at->second->Source;
      }
    }
    return std::move(items_);
  }

 private:
  void Walk(const fs::path& folder, const fs::path& under) {
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error), end;
    if (error) return Fail(folder.string(), under.string(), error.message());
    for (; it != end; it.increment(error)) {
      if (error) {
        Fail(it->path().string(), (under / it->path().lexically_relative(folder)).string(), error.message());
        error.clear();
        continue;
      }
      const fs::directory_entry& entry = *it;
      const fs::path relative = under / entry.path().lexically_relative(folder);
      std::error_code statusError;
      const bool isFolder = entry.is_directory(statusError);
      if (isFolder) {
        // Never the batch's own results again.
        std::error_code same;
        if (fs::equivalent(entry.path(), output_, same)) {
          it.disable_recursion_pending();
          continue;
        }
        if (IsAudioName(entry.path().filename().string())) Fail(entry.path().string(), relative.string(), "is a folder");
        continue;
      }
      if (IsAudioName(entry.path().filename().string())) AddFile(entry.path().string(), relative);
    }
  }

  void AddFile(const std::string& source, const fs::path& relative) {
    BatchItem item;
    item.Source = source;
    const std::string name = relative.filename().string();
    item.Relative = (relative.parent_path() / DestinationName(name, "_cc", options_.Extension)).string();
    item.Destination = (fs::path(options_.OutputDir) / item.Relative).string();
    if (options_.Stems)
      item.Vocals =
          (fs::path(options_.OutputDir) / relative.parent_path() / DestinationName(name, "_vocals", options_.Extension))
              .string();
    items_.push_back(std::move(item));
  }

  void Fail(const std::string& source, const std::string& relative, const std::string& problem) {
    BatchItem item;
    item.Source = source;
    item.Relative = relative;
    item.Problem = problem;
    items_.push_back(std::move(item));
  }

  const BatchOptions& options_;
  fs::path output_;
  std::vector<BatchItem> items_;
};

// ---------------------------------------------------------------------------------------- running

std::string Clock(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

struct Running {
  std::size_t Index = 0;
  pid_t Pid = -1;
  int Pipe = -1;
  std::string Pending;               // the child's stderr up to its next line end
  std::vector<std::string> Messages;  // what it said, less the progress lines
  double Fraction = 0;
};

class BatchRun {
 public:
  BatchRun(const std::vector<BatchItem>& batch, const BatchOptions& options, std::string program,
           const std::vector<std::string>& jobArguments, const std::atomic<int>& stopSignal)
      : batch_(batch),
        options_(options),
        program_(std::move(program)),
        arguments_(jobArguments),
        stop_(stopSignal),
        display_(!options.Quiet && ::isatty(STDERR_FILENO)),
        start_(std::chrono::steady_clock::now()) {
    jobs_ = options.Jobs > 0 ? options.Jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    sizes_.resize(batch.size(), 0.0);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      std::error_code error;
      if (batch[i].Problem.empty()) sizes_[i] = static_cast<double>(fs::file_size(batch[i].Source, error));
      if (error) sizes_[i] = 0;
      total_ += sizes_[i];
    }
  }

  int Run() {
    std::size_t next = 0;
    while (next < batch_.size() || !running_.empty()) {
      if (stop_.load() != 0 && !forwarded_) Forward();
      while (!forwarded_ && next < batch_.size() && static_cast<int>(running_.size()) < jobs_) Start(next++);
      if (forwarded_) {
        notStarted_ += batch_.size() - next;
        next = batch_.size();
      }
      if (!running_.empty()) Wait();
      Draw(false);
    }
    Draw(true);
    return Summary();
  }

 private:
  void Start(std::size_t index) {
    const BatchItem& item = batch_[index];
    if (!item.Problem.empty()) return Failed(index, item.Problem);
    std::error_code error;
    for (const std::string* destination : {&item.Destination, &item.Vocals}) {
      if (options_.Overwrite || destination->empty() || !fs::exists(fs::symlink_status(*destination, error))) continue;
      ++skipped_;
      done_ += sizes_[index];
      return Say(item.Source + ": skipped, " + *destination + " exists (--overwrite replaces it)");
    }
    fs::create_directories(fs::path(item.Destination).parent_path(), error);
    if (error) return Failed(index, "cannot make the folder " + fs::path(item.Destination).parent_path().string() + ": " + error.message());

    std::vector<std::string> args{program_};
    args.insert(args.end(), arguments_.begin(), arguments_.end());
    args.emplace_back("--report-progress");
    if (!item.Vocals.empty()) {
      args.emplace_back("--vocals");
      args.push_back(item.Vocals);
    }
    args.emplace_back("--");
    args.push_back(item.Source);
    args.push_back(item.Destination);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Failed(index, std::string("cannot start a job: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
      ::close(fds[0]);
      return Failed(index, std::string("cannot start a job: ") + std::strerror(spawned));
    }
    Running job;
    job.Index = index;
    job.Pid = pid;
    job.Pipe = fds[0];
    running_.push_back(std::move(job));
  }

  // Reads what the children said until one ends or a fifth of a second passes.
  void Wait() {
    std::vector<pollfd> polls;
    for (const Running& job : running_) polls.push_back({job.Pipe, POLLIN, 0});
    const int ready = ::poll(polls.data(), polls.size(), 200);
    if (ready <= 0) return;  // the time, or a signal
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if (polls[i].revents == 0) continue;
      Running& job = running_[i];
      char buffer[4096];
      const ssize_t got = ::read(job.Pipe, buffer, sizeof buffer);
      if (got > 0) {
        Take(job, std::string_view(buffer, static_cast<std::size_t>(got)));
      } else if (got == 0 || errno != EINTR) {
        ::close(job.Pipe);
        job.Pipe = -1;
      }
    }
    for (auto it = running_.begin(); it != running_.end();) {
      if (it->Pipe >= 0) {
        ++it;
        continue;
      }
      Finish(*it);
      it = running_.erase(it);
    }
  }

  void Take(Running& job, std::string_view text) {
    job.Pending += text;
    for (std::size_t end; (end = job.Pending.find('\n')) != std::string::npos;) {
      const std::string line = job.Pending.substr(0, end);
      job.Pending.erase(0, end + 1);
      if (line.rfind("progress ", 0) == 0) {
        job.Fraction = std::clamp(std::max(job.Fraction, std::atof(line.c_str() + 9)), 0.0, 1.0);
        continue;
      }
      std::string said = line.rfind("merolune-cli: ", 0) == 0 ? line.substr(14) : line;
      if (said.rfind("note: ", 0) == 0) {
        Say(batch_[job.Index].Source + ": " + said);
        continue;
      }
      job.Messages.push_back(std::move(said));
    }
  }

  void Finish(Running& job) {
    if (!job.Pending.empty()) Take(job, "\n");
    int raw = 0;
    while (::waitpid(job.Pid, &raw, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(raw) && WEXITSTATUS(raw) == 0) {
      ++converted_;
      done_ += sizes_[job.Index];
      return;
    }
    std::string reason;
    for (const std::string& message : job.Messages) {
      // The child's own report of the signal that the batch has already.
      if (stop_.load() != 0 && message.rfind("stopped by SIG", 0) == 0) continue;
      if (!reason.empty()) reason += "; ";
      reason += message;
    }
    if (WIFSIGNALED(raw)) {
      if (!reason.empty()) reason += "; ";
      reason += "ended by SIG";
      reason += sigabbrev_np(WTERMSIG(raw)) ? sigabbrev_np(WTERMSIG(raw)) : "?";
    }
    if (reason.empty()) reason = stop_.load() != 0 ? "cancelled" : "failed";
    Failed(job.Index, reason);
  }

  void Failed(std::size_t index, const std::string& reason) {
    failures_.emplace_back(batch_[index].Source, reason);
    done_ += sizes_[index];
    Say(batch_[index].Source + ": " + reason);
  }

  void Forward() {
    forwarded_ = true;
    for (const Running& job : running_) ::kill(job.Pid, stop_.load());
  }

  void Say(const std::string& text) {
    Clear();
    std::fprintf(stderr, "merolune-cli: %s\n", text.c_str());
  }

  void Clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

  // "12/40 done, 31%, 2:05 left | a.mp3 37% | b.wav 80%", at most ten times a second and never
  // wider than the terminal.
  void Draw(bool last) {
    if (!display_) return;
    if (last) return Clear();
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - drawn_ < std::chrono::milliseconds(100)) return;
    double done = done_;
    for (const Running& job : running_) done += sizes_[job.Index] * job.Fraction;
    const double fraction = total_ > 0 ? done / total_ : 0.0;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::string line = std::to_string(converted_ + skipped_ + failures_.size()) + "/" + std::to_string(batch_.size());
    line += " done, ";
    line += std::to_string(static_cast<int>(100 * fraction));
    line += "%";
    if (fraction > 0.01 && elapsed > 1) {
      line += ", ";
      line += Clock(elapsed / fraction * (1 - fraction));
      line += " left";
    }
    for (const Running& job : running_) {
      line += " | ";
      line += fs::path(batch_[job.Index].Source).filename().string();
      line += ' ';
      line += std::to_string(static_cast<int>(100 * job.Fraction));
      line += '%';
    }
    winsize size{};
    const std::size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 79;
    if (line.size() > width) {
      // Never half a character of a file's name: drop the cut one whole.
      line.resize(width);
      while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80) line.pop_back();
      if (!line.empty() && (static_cast<unsigned char>(line.back()) & 0x80) != 0) line.pop_back();
    }
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    shown_ = true;
    drawn_ = now;
  }

  int Summary() {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string summary = std::to_string(converted_) + " done, " + std::to_string(skipped_) + " skipped, " +
                          std::to_string(failures_.size()) + " failed";
    if (notStarted_ > 0) {
      summary += ", ";
      summary += std::to_string(notStarted_);
      summary += " not started";
    }
    summary += " in ";
    summary += Clock(elapsed);
    if (!failures_.empty()) summary += "; failed:";
    std::fprintf(stderr, "merolune-cli: %s\n", summary.c_str());
    for (const auto& [source, reason] : failures_) std::fprintf(stderr, "  %s: %s\n", source.c_str(), reason.c_str());
    return failures_.empty() && notStarted_ == 0 && stop_.load() == 0 ? 0 : 1;
  }

  const std::vector<BatchItem>& batch_;
  const BatchOptions& options_;
  std::string program_;
  const std::vector<std::string>& arguments_;
  const std::atomic<int>& stop_;
  int jobs_ = 1;
  bool display_;
  bool shown_ = false;
  bool forwarded_ = false;
  std::chrono::steady_clock::time_point start_, drawn_;
  std::vector<double> sizes_;
  double total_ = 0, done_ = 0;
  std::vector<Running> running_;
  std::size_t converted_ = 0, skipped_ = 0, notStarted_ = 0;
  std::vector<std::pair<std::string, std::string>> failures_;
};

}  // namespace

std::vector<BatchItem> PlanBatch(const std::vector<std::string>& sources, const BatchOptions& options) {
  Planner planner(options);
  for (const std::string& source : sources) planner.Add(source);
  return planner.Take();
}

std::vector<BatchItem> ShareOf(const std::vector<BatchItem>& batch, int k, int n) {
  std::vector<BatchItem> share;
  for (std::size_t i = static_cast<std::size_t>(k - 1); i < batch.size(); i += static_cast<std::size_t>(n))
    share.push_back(batch[i]);
  return share;
}

int RunBatch(const std::vector<BatchItem>& batch, const BatchOptions& options, const std::string& program,
             const std::vector<std::string>& jobArguments, const std::atomic<int>& stopSignal) {
  if (options.DryRun) {
    for (const BatchItem& item : batch) {
      if (item.Problem.empty())
        std::printf("%s\t%s\n", item.Source.c_str(), item.Destination.c_str());
      else
        std::printf("%s\t(%s)\n", item.Source.c_str(), item.Problem.c_str());
    }
    return 0;
  }
  return BatchRun(batch, options, program, jobArguments, stopSignal).Run();
}

}  // namespace merolune
