// Running a pipeline in a test as the conversion service does: streams on both ends, events pumped.

#include "PipelineRun.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <thread>

namespace merolune::test {

namespace {
constexpr int kTimeoutMs = 60000;
}

bool WaitForOutput(TAuOutput& output) {
  QElapsedTimer timer;
  timer.start();
  while (output.OutputState() != TOutputState::osIdle || output.Busy()) {
    if (timer.elapsed() > kTimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return true;
}

std::string RunWithStreams(TAuFileIn& input, merolune::Stream& source, TAuFileOut& output,
                           const std::string& destination) {
  TAuFileStream dest(destination, TAuFileStream::fmCreate);
  input.AssignStream(&source);
  output.SetStream(&dest);
  output.SetInput(&input);
  output.Start();
  EXPECT_TRUE(WaitForOutput(output));
  EXPECT_FALSE(input.Busy());
  output.SetStream(nullptr);
  input.AssignStream(nullptr);
  return output.ErrorMessage();
}

std::string RunFiles(TAuFileIn& input, TAuFileOut& output, const std::string& from, const std::string& to) {
  TAuFileStream source(from, TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite);
  return RunWithStreams(input, source, output, to);
}

}  // namespace merolune::test
