#pragma once
// merolune-cli's batch: many sources (folders walked for audio files) into one output folder, each
// file a job of its own in a child process, several at once, with one progress line and a summary.

#include <atomic>
#include <string>
#include <vector>

namespace merolune {

struct BatchOptions {
  std::string OutputDir;   // -o DIR
  std::string Extension;   // --format, as ".mp3"; empty: each source's own (WAV for one we cannot write)
  int Jobs = 0;            // -j N; 0: as many as the machine has cores
  int ShardIndex = 1;      // --shard K/N: the K-th (from 1) of N shares
  int ShardCount = 1;
  bool Stems = false;      // NAME_vocals.EXT beside NAME_cc.EXT
  bool Overwrite = false;  // replace existing destinations instead of skipping them
  bool Quiet = false;      // no progress line
  bool DryRun = false;     // print the plan, run nothing
};

// One file of the batch: where it comes from and goes, or why it cannot go.
struct BatchItem {
  std::string Source;       // the path as found (the argument joined with the path below it)
  std::string Relative;     // the destination below the output folder, which orders the batch
  std::string Destination;  // the output folder joined with Relative
  std::string Vocals;       // the vocal stem's destination, with --stems
  std::string Problem;      // why the file cannot be a job, found while planning; empty when it can
};

// The batch of `sources` in its stable order (the destinations' relative paths, byte by byte), every
// share of it the same on any machine: files as they are, folders walked for the audio extensions
// the program reads, the output folder itself left out. What cannot be a job (a missing argument,
// a folder named like an audio file, an unreadable folder, two sources with one destination) is in
// the batch with its Problem, so that it is reported with the rest.
std::vector<BatchItem> PlanBatch(const std::vector<std::string>& sources, const BatchOptions& options);

// The K-th of N disjoint shares (K from 1): every N-th item of the ordered batch, from the K-th on.
std::vector<BatchItem> ShareOf(const std::vector<BatchItem>& batch, int k, int n);

// Runs every item as `program jobArguments... --report-progress [--vocals V] -- SOURCE DEST`, at most
// options.Jobs at once; stops starting jobs once `stopSignal` is set and hands it on to the running
// ones, which clean up. Prints the failures and skips as they come and a summary at the end; the
// exit status: 0 when every file was done or skipped, 1 otherwise.
int RunBatch(const std::vector<BatchItem>& batch, const BatchOptions& options, const std::string& program,
             const std::vector<std::string>& jobArguments, const std::atomic<int>& stopSignal);

}  // namespace merolune
