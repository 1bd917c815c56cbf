#pragma once
// The reduction's settings, and how the tuning controls' values turn into them.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace merolune {

// The quality mode's treatment of a reverberant centre: measured over the source, never, always.
enum class ReverbMode { Auto, Off, On };

// The values a job takes when it starts; they do not change while it runs.
struct ReductionSettings {
  bool Inverse = false;            // output = input - processed
  bool SubtractionBypass = false;  // skip the subtraction
  bool Enhancer = false;           // turn the right channel's phases by a quarter turn
  bool Synthetic = true;           // weighted instead of plain subtraction
  double PThreshold = 0.7853981633974483;  // phase-difference limit in radians, 0 .. pi/2
  bool RangeRestricted = true;
  std::int32_t LowHz = 150;
  std::int32_t HighHz = 14000;
  std::int32_t KeySemitones = 0;  // -5 .. +5; always 0 when Inverse is on
  double A = 4.0;                 // shown and carried, used by no processing step
  // The quality mode (centre cancellation per time-frequency cell) instead of the block reduction;
  // it has no plain/weighted choice, and its key change is a phase vocoder after the reduction.
  bool Quality = false;
  ReverbMode Reverb = ReverbMode::Auto;
};

// The tuning controls' raw values, as the dialog (or the command line) holds them.
struct TuningControls {
  int APosition = 400;  // 0 .. 1000
  int PPosition = 450;  // 0 .. 900
  bool Synthetic = true;
  int PrecisionIndex = 2;  // 0 .. 4
  int RangeIndex = 2;      // 0 .. 4, see kRangePresets
  std::string LowText = "150";
  std::string HighText = "14000";
  int KeyPosition = 0;  // -5 .. +5
  bool Quality = false;
  ReverbMode Reverb = ReverbMode::Auto;
};

// The four toolbar toggles that take part in the settings, and the bypass-all toggle.
struct ReductionToggles {
  bool Inverse = false;
  bool SubtractionBypass = false;
  bool Enhancer = false;
  bool BypassAll = false;
};

inline constexpr int kAPositionMax = 1000;
inline constexpr int kPPositionMax = 900;
inline constexpr int kKeyMin = -5;
inline constexpr int kKeyMax = 5;
inline constexpr int kPrecisionLevels = 5;
inline constexpr int kRangeCustom = 4;
inline constexpr std::int32_t kDefaultLowHz = 0;       // a low box that holds no integer
inline constexpr std::int32_t kDefaultHighHz = 22050;  // a high box that holds no integer

struct RangePreset {
  const char* Item;  // the list's text
  const char* Low;   // texts put into the boxes; nullptr leaves them as they are
  const char* High;
};

inline constexpr std::array<RangePreset, 5> kRangePresets{{
    {"すべて (0Hz～)", nullptr, nullptr},
    {"低音ボーカル (100～12kHz)", "100", "12000"},
    {"通常ボーカル (150～14kHz)", "150", "14000"},
    {"高音ボーカル (250～15kHz)", "250", "15000"},
    {"カスタム", nullptr, nullptr},
}};

inline constexpr std::array<const char*, kPrecisionLevels> kPrecisionItems{
    "Very Low (fastest)", "Low (faster)", "Normal", "High (slower)", "Very High (slowest)"};

// Block length in frames for a precision level: 2048 * 2^level.
int BlockSizeForPrecision(int level);

// The text of a range box as a signed 32-bit integer, or `fallback` when it is not one
// (surrounding blanks allowed, as the dialog's boxes may hold them).
std::int32_t ParseHz(std::string_view text, std::int32_t fallback);

// The job's settings from the controls: A = position / 100, P = position * pi / 1800, the range
// boxes parsed (and swapped when reversed), the key forced to 0 in inverse mode.
ReductionSettings MakeSettings(const TuningControls& controls, const ReductionToggles& toggles);

}  // namespace merolune
