#pragma once
// Where the explanation page lies, and what the explanation dialog shows when it is missing.

#include <QString>

namespace merolune {

inline constexpr const char* kRiderPageName = "rider.html";

// The explanation page for a program in `executableDir` (no trailing "/"): executableDir +
// "/rider.html" when that file exists; else, for an installed program in <prefix>/bin, the one in
// <prefix>/share/merolune when that exists; else executableDir + "/rider.html" again, which the
// dialog then reports as missing. Under the English translation the page is rider_en.html,
// looked for in the same two places before rider.html, and the one reported missing.
QString RiderPagePath(const QString& executableDir);

// A short page saying that `path` was not found (the path shown as text, never as markup).
QString MissingRiderPage(const QString& path);

}  // namespace merolune
