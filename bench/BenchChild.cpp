// What the benchmarks share: running another program and measuring it, and the median of their figures.

#include "BenchChild.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace merolune::bench {

bool ChildRun::Succeeded() const { return WIFEXITED(Status) && WEXITSTATUS(Status) == 0; }

std::string ChildRun::Describe() const {
  if (WIFEXITED(Status)) return "exit status " + std::to_string(WEXITSTATUS(Status));
  if (WIFSIGNALED(Status)) return "signal " + std::to_string(WTERMSIG(Status));
  return "status " + std::to_string(Status);
}

ChildRun RunChild(const std::vector<std::string>& argv, ChildOutput output) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output == ChildOutput::Discarded) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  }
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot run " + argv[0]);
  ChildRun run;
  rusage usage{};
  pid_t waited = -1;
  do {
    waited = wait4(pid, &run.Status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid) throw std::runtime_error("wait4 failed for " + argv[0]);
  run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec);
  };
  run.CpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  // Linux reports ru_maxrss in KiB.
  run.PeakRssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

ChildRun RunChildChecked(const std::vector<std::string>& argv, ChildOutput output) {
  const ChildRun run = RunChild(argv, output);
  if (!run.Succeeded()) throw std::runtime_error(argv[0] + " failed (" + run.Describe() + ")");
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void WalkOptions(int argc, char** argv, const char* usage,
                 const std::function<bool(std::string_view option, const OptionValue& value)>& handle) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help") {
      std::fputs(usage, stdout);
      std::exit(0);
    }
    const OptionValue value = [&]() -> const char* {
      if (i + 1 >= argc) throw std::invalid_argument(std::string(option) + " needs a value");
      return argv[++i];
    };
    if (!handle(option, value)) throw std::invalid_argument("unknown option " + std::string(option));
  }
}

}  // namespace merolune::bench
