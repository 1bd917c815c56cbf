#pragma once
// Running a pipeline in a test as the conversion service does: streams on both ends, events pumped.

#include <string>

#include "ACS_Classes.h"

namespace merolune::test {

// Pumps the UI thread's events until the output has ended (idle and no longer busy), then once more
// for its notices. False when it had not ended after a minute.
bool WaitForOutput(TAuOutput& output);

// Hands `source` to `input` and a new file `destination` to `output`, runs the output from the input,
// waits, and takes both streams back. Returns the output's ErrorMessage (empty on success).
std::string RunWithStreams(TAuFileIn& input, merolune::Stream& source, TAuFileOut& output,
                           const std::string& destination);
// The same from the file `from`, opened for reading as the service opens sources.
std::string RunFiles(TAuFileIn& input, TAuFileOut& output, const std::string& from, const std::string& to);

}  // namespace merolune::test
