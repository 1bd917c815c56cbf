#include "ApePredictor.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace merolune {
namespace {

constexpr std::int32_t Sign(std::int32_t v) noexcept { return (v > 0) - (v < 0); }

// 32-bit wrapping arithmetic, as the decoders compute their predictions.
constexpr std::int32_t Wrap(std::uint32_t v) noexcept { return static_cast<std::int32_t>(v); }
constexpr std::uint32_t Bits(std::int32_t v) noexcept { return static_cast<std::uint32_t>(v); }

// v - 31/32 of the previous input.
constexpr std::int32_t FirstOrder(std::int32_t v, std::int32_t last) noexcept { return v - ((last * 31) >> 5); }

std::int16_t Saturate16(std::int32_t v) noexcept {
  return static_cast<std::int16_t>(std::clamp<std::int32_t>(v, INT16_MIN, INT16_MAX));
}

}  // namespace

ApeNNFilter::ApeNNFilter(int order, int shift)
    : order_(static_cast<std::size_t>(order)),
      shift_(shift),
      weights_(order_),
      inputs_(order_ + kWindow),
      steps_(order_ + kWindow) {
  Reset();
}

void ApeNNFilter::Reset() noexcept {
  std::fill(weights_.begin(), weights_.end(), 0);
  std::fill(inputs_.begin(), inputs_.end(), 0);
  std::fill(steps_.begin(), steps_.end(), 0);
  position_ = order_;
  average_ = 0;
}

void ApeNNFilter::Slide() noexcept {
  std::copy(inputs_.end() - order_, inputs_.end(), inputs_.begin());
  std::copy(steps_.end() - order_, steps_.end(), steps_.begin());
  position_ = order_;
}

std::int32_t ApeNNFilter::Compress(std::int32_t input) noexcept {
  const std::int16_t* history = inputs_.data() + position_ - order_;
  const std::int16_t* steps = steps_.data() + position_ - order_;
  std::int16_t* weights = weights_.data();

  // Plain loops over 16-bit values: the compiler turns them into packed multiply-adds. The sum
  // wraps at 32 bits, as in the decoders.
  std::uint32_t dot = 0;
  for (std::size_t j = 0; j < order_; ++j) dot += Bits(std::int32_t{weights[j]} * history[j]);
  const std::int64_t rounded = (std::int64_t{Wrap(dot)} + (std::int64_t{1} << (shift_ - 1))) >> shift_;
  const std::int32_t output = Wrap(Bits(input) - static_cast<std::uint32_t>(rounded));

  if (output > 0) {
    for (std::size_t j = 0; j < order_; ++j) weights[j] = static_cast<std::int16_t>(weights[j] - steps[j]);
  } else if (output < 0) {
    for (std::size_t j = 0; j < order_; ++j) weights[j] = static_cast<std::int16_t>(weights[j] + steps[j]);
  }

  inputs_[position_] = Saturate16(input);
  // Larger steps for inputs that stand out from the recent average, pointing against the input's sign.
  const std::int32_t magnitude = std::abs(input);
  std::int32_t step = 0;
  if (magnitude > average_ * 3) {
    step = 32;
  } else if (magnitude > average_ + average_ / 3) {
    step = 16;
  } else if (magnitude > 0) {
    step = 8;
  }
  steps_[position_] = static_cast<std::int16_t>(-Sign(input) * step);
  average_ += (magnitude - average_) / 16;
  steps_[position_ - 1] = static_cast<std::int16_t>(steps_[position_ - 1] >> 1);
  steps_[position_ - 2] = static_cast<std::int16_t>(steps_[position_ - 2] >> 1);
  steps_[position_ - 8] = static_cast<std::int16_t>(steps_[position_ - 8] >> 1);

  if (++position_ == inputs_.size()) Slide();
  return output;
}

ApePredictor::ApePredictor(int level) {
  switch (level) {
    case 1000:
      break;
    case 2000:
      filters_.emplace_back(16, 11);
      break;
    case 3000:
      filters_.emplace_back(64, 11);
      break;
    case 4000:
      filters_.emplace_back(256, 13);
      filters_.emplace_back(32, 10);
      break;
    default:
      throw std::invalid_argument("Monkey's Audio compression level must be 1000, 2000, 3000 or 4000");
  }
}

void ApePredictor::Reset() noexcept {
  lastValue_ = 0;
  lastCross_ = 0;
  own_ = {};
  cross_ = {};
  ownWeights_ = kInitialOwnWeights;
  crossWeights_ = {};
  for (ApeNNFilter& filter : filters_) filter.Reset();
}

std::int32_t ApePredictor::Compress(std::int32_t value, std::int32_t cross) noexcept {
  const std::int32_t a = FirstOrder(value, lastValue_);
  const std::int32_t b = FirstOrder(cross, lastCross_);
  lastValue_ = value;
  lastCross_ = cross;

  // The own stream is predicted from its past only; the cross stream's current value takes part.
  const std::array<std::int32_t, 4> ownTerms = {own_[0], own_[0] - own_[1], own_[1] - own_[2], own_[2] - own_[3]};
  const std::array<std::int32_t, 5> crossTerms = {b, b - cross_[0], cross_[0] - cross_[1], cross_[1] - cross_[2],
                                                  cross_[2] - cross_[3]};
  std::uint32_t ownSum = 0;
  for (std::size_t i = 0; i < ownTerms.size(); ++i) ownSum += Bits(ownWeights_[i]) * Bits(ownTerms[i]);
  std::uint32_t crossSum = 0;
  for (std::size_t i = 0; i < crossTerms.size(); ++i) crossSum += Bits(crossWeights_[i]) * Bits(crossTerms[i]);
  const std::int32_t prediction = Wrap(ownSum + Bits(Wrap(crossSum) >> 1)) >> 10;
  std::int32_t residual = Wrap(Bits(a) - Bits(prediction));

  // Sign-sign adaptation: each weight moves by one towards reducing the residual.
  const std::int32_t direction = Sign(residual);
  for (std::size_t i = 0; i < ownTerms.size(); ++i) ownWeights_[i] += direction * Sign(ownTerms[i]);
  for (std::size_t i = 0; i < crossTerms.size(); ++i) crossWeights_[i] += direction * Sign(crossTerms[i]);

  own_ = {a, own_[0], own_[1], own_[2]};
  cross_ = {b, cross_[0], cross_[1], cross_[2]};

  for (ApeNNFilter& filter : filters_) residual = filter.Compress(residual);
  return residual;
}

}  // namespace merolune
