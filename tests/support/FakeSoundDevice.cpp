// A sound device for tests, advanced by hand.

#include "FakeSoundDevice.h"

namespace merolune::test {
namespace {

class FakeStream final : public SoundStream {
 public:
  FakeStream(std::shared_ptr<FakeSoundDevice::State> state, const SoundFormat& format, SoundRenderer& renderer)
      : state_(std::move(state)), format_(format), renderer_(renderer) {}
  ~FakeStream() override { Stop(); }

  bool Start() override {
    std::lock_guard lock(state_->Lock);
    state_->Renderer = &renderer_;
    state_->Format = format_;
    state_->Started = true;
    return true;
  }
  void Stop() override {
    std::lock_guard lock(state_->Lock);
    if (state_->Renderer == &renderer_) {
      state_->Renderer = nullptr;
      state_->Started = false;
    }
  }
  std::uint64_t Underruns() const override { return 0; }

 private:
  std::shared_ptr<FakeSoundDevice::State> state_;
  SoundFormat format_;
  SoundRenderer& renderer_;
};

}  // namespace

std::unique_ptr<SoundStream> FakeSoundDevice::OpenStream(const SoundFormat& format, SoundRenderer& renderer) {
  if (!state_->Available) return nullptr;
  return std::make_unique<FakeStream>(state_, format, renderer);
}

std::size_t FakeSoundDevice::Advance(State& state, std::size_t frames) {
  std::lock_guard lock(state.Lock);
  if (!state.Started || state.Renderer == nullptr) return 0;
  const std::size_t bytes = frames * state.Format.BlockAlign();
  const std::size_t at = state.Played.size();
  state.Played.resize(at + bytes);
  state.Renderer->Render(state.Played.data() + at, bytes);
  return bytes;
}

}  // namespace merolune::test
