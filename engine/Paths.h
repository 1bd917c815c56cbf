#pragma once
// Temporary WAV files with unique names, and paths made absolute.

#include <string>

namespace merolune {

// Creates a new, empty, uniquely named file "cc<hex>.wav" in $TMPDIR (else /tmp), exclusively,
// and returns its absolute path. Throws Exception when no file can be created there.
std::string MakeTempWavName();

// The path made absolute; Linux has no short names, so the components stay as they are.
std::string ExpandLongPath(const std::string& path);

}  // namespace merolune
