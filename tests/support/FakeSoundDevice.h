#pragma once
// A sound device for tests: nothing plays until the test calls Advance, which runs the renderer
// on the calling thread as the real-time callback would and keeps every byte it produced.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "SoundDevice.h"

namespace merolune::test {

class FakeSoundDevice final : public SoundDevice {
 public:
  // What the device's state is, shared with the test after the device went to its owner.
  struct State {
    bool Available = true;               // Open's answer
    std::mutex Lock;                     // guards the fields below
    SoundRenderer* Renderer = nullptr;   // of the started stream, if any
    SoundFormat Format;
    bool Started = false;
    std::vector<std::uint8_t> Played;    // every byte rendered, in order
  };

  explicit FakeSoundDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}
  bool Open() override { return state_->Available; }
  std::unique_ptr<SoundStream> OpenStream(const SoundFormat& format, SoundRenderer& renderer) override;

  // Renders `frames` frames of the started stream into Played (nothing when none is started);
  // returns the bytes rendered.
  static std::size_t Advance(State& state, std::size_t frames);

 private:
  std::shared_ptr<State> state_;
};

}  // namespace merolune::test
