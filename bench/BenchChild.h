#pragma once
// What the benchmarks share: running another program and measuring it, and the median of their figures.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The programs the benchmarks run, this build's (bench/CMakeLists.txt defines their paths); found in
// PATH otherwise.
#ifndef MEROLUNE_CLI
#define MEROLUNE_CLI "merolune-cli"
#endif
#ifndef MEROLUNE_DEMOSONG
#define MEROLUNE_DEMOSONG "merolune-demosong"
#endif

namespace merolune::bench {

// A finished child process: its status (as from wait4), wall time from start to exit, the processor
// time it used (user and system; unlike the wall time it hardly depends on the machine's other work),
// and its peak resident memory (getrusage's ru_maxrss of that child alone).
struct ChildRun {
  int Status = 0;
  double Seconds = 0.0;
  double CpuSeconds = 0.0;
  double PeakRssMiB = 0.0;

  bool Succeeded() const;
  // "exit status 1", "signal 11", ...
  std::string Describe() const;
};

// Where the child's standard output goes: nowhere, or to our standard error (so that our own output
// stays one figure per line). Its standard error is ours, or discarded with Discarded.
enum class ChildOutput { Discarded, ToStandardError };

// Runs argv (argv[0] a path, or a name looked up in PATH) and waits for it. Throws std::runtime_error
// when it cannot be started; a failing child is reported through its status, not thrown.
ChildRun RunChild(const std::vector<std::string>& argv, ChildOutput output);

// As RunChild, but throws std::runtime_error unless the child exits with status 0.
ChildRun RunChildChecked(const std::vector<std::string>& argv, ChildOutput output);

// Walks a benchmark's command line: "--help" prints `usage` and exits; every other option goes to
// `handle` with a function that takes the option's value (std::invalid_argument when none follows).
// `handle` returns false for an option it does not know, which throws std::invalid_argument.
using OptionValue = std::function<const char*()>;
void WalkOptions(int argc, char** argv, const char* usage,
                 const std::function<bool(std::string_view option, const OptionValue& value)>& handle);

// The median of `values` (the mean of the middle two for an even count); `values` must not be empty.
double Median(std::vector<double> values);

}  // namespace merolune::bench
