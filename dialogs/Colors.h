#pragma once
// Colour helpers of the custom controls: the form descriptions' packed colour integers.

#include <QColor>
#include <cstdint>

namespace merolune {

// A colour written the way the form descriptions store it, as 0x00BBGGRR (red in the low byte):
// 16744576 = 0xFF8080 is red 0x80, green 0x80, blue 0xFF. The high byte is ignored, so only plain
// RGB values belong here; the system colours (button face) come from the widget's palette.
inline QColor ColorFromTColor(std::uint32_t value) {
  return QColor(static_cast<int>(value & 0xFFu), static_cast<int>((value >> 8) & 0xFFu),
                static_cast<int>((value >> 16) & 0xFFu));
}

}  // namespace merolune
