// The tuning controls' values turned into the reduction's settings.
#include "ReductionSettings.h"

#include <charconv>
#include <cmath>
#include <numbers>
#include <utility>

namespace merolune {

int BlockSizeForPrecision(int level) { return 2048 << level; }

std::int32_t ParseHz(std::string_view text, std::int32_t fallback) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
}

ReductionSettings MakeSettings(const TuningControls& controls, const ReductionToggles& toggles) {
  ReductionSettings s;
  s.Inverse = toggles.Inverse;
  s.SubtractionBypass = toggles.SubtractionBypass;
  s.Enhancer = toggles.Enhancer;
  s.Synthetic = controls.Synthetic;
  s.A = controls.APosition / 100.0;
  s.PThreshold = (controls.PPosition / 10.0) * std::numbers::pi / 180.0;
  s.RangeRestricted = controls.RangeIndex != 0;
  s.LowHz = ParseHz(controls.LowText, kDefaultLowHz);
  s.HighHz = ParseHz(controls.HighText, kDefaultHighHz);
  if (s.LowHz > s.HighHz) std::swap(s.LowHz, s.HighHz);
  s.KeySemitones = toggles.Inverse ? 0 : controls.KeyPosition;
  s.Quality = controls.Quality;
  s.Reverb = controls.Reverb;
  return s;
}

}  // namespace merolune
