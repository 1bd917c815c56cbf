#pragma once
// The prediction stages of Monkey's Audio 3990 for one channel stream (encoder direction): a scaled
// first-order filter, an adaptive predictor with a cross-channel term, and the level's sign-LMS
// ("NN") filters.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace merolune {

// A sign-LMS filter of `order` 16-bit taps: predicts the next input from the last `order` inputs
// and returns what the prediction missed. Its history keeps `order` values plus a window, moved to
// the front when the window is used up, so that the taps always see one contiguous run.
class ApeNNFilter {
 public:
  ApeNNFilter(int order, int shift);
  void Reset() noexcept;
  std::int32_t Compress(std::int32_t input) noexcept;

 private:
  static constexpr std::size_t kWindow = 512;
  void Slide() noexcept;

  std::size_t order_;
  int shift_;
  std::vector<std::int16_t> weights_;
  std::vector<std::int16_t> inputs_;  // saturated inputs; the newest at position_ - 1
  std::vector<std::int16_t> steps_;   // each input's adaptation step, halved as it ages
  std::size_t position_ = 0;
  std::int32_t average_ = 0;          // running mean of |input|
};

// One stream's prediction chain (Y or X of a stereo frame). Compress takes the stream's value and
// the cross value of the other stream and returns the residual to code. Reset before every frame.
class ApePredictor {
 public:
  // `level`: 1000, 2000, 3000 or 4000 (selects the NN filters).
  explicit ApePredictor(int level);
  void Reset() noexcept;
  std::int32_t Compress(std::int32_t value, std::int32_t cross) noexcept;

 private:
  static constexpr std::array<std::int32_t, 4> kInitialOwnWeights = {360, 317, -109, 98};

  // The scaled first-order filters' last inputs, own and cross.
  std::int32_t lastValue_ = 0;
  std::int32_t lastCross_ = 0;
  // Filtered own values a(n-1)...a(n-4) and cross values b(n-1)...b(n-4).
  std::array<std::int32_t, 4> own_{};
  std::array<std::int32_t, 4> cross_{};
  std::array<std::int32_t, 4> ownWeights_ = kInitialOwnWeights;
  std::array<std::int32_t, 5> crossWeights_{};
  std::vector<ApeNNFilter> filters_;  // in the order the encoder applies them
};

}  // namespace merolune
