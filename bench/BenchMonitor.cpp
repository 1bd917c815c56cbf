// The monitor's cost and the window's responsiveness while it plays: the desktop window (offscreen)
// plays a finished output through the system's default sound output (bench/run.sh gives it JACK's
// dummy driver), and this measures the process's processor time and the longest gap between two
// ticks of a 1 ms timer on the window's thread, first with Play up, then with Play down. The
// monitor's share is the difference of the two processor shares.

#include <sys/resource.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchChild.h"
#include "LittleEndian.h"
#include "Unit1.h"
#include "WaveHeader.h"

namespace {

using merolune::bench::Median;

constexpr char kUsage[] = R"(merolune-bench-monitor: the monitor's processor share and the window's longest
pause while playing a finished output through the default sound output.
  --reps N       measuring windows per figure, the median is reported (default 5)
  --window S     seconds per measuring window (default 4)
)";

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One minute of two tones, 44.1 kHz 16-bit stereo, in the canonical WAV layout.
void WriteSong(const std::string& path) {
  constexpr std::uint32_t kRate = 44100;
  constexpr std::uint32_t kFrames = 60 * kRate;
  std::vector<std::uint8_t> bytes(merolune::kWaveHeaderSize + 4 * std::size_t{kFrames});
  const auto header = merolune::MakeWaveHeader(merolune::PcmWaveFormat(2, kRate, 16), 36 + 4 * kFrames, 4 * kFrames);
  std::copy(header.begin(), header.end(), bytes.begin());
  for (std::uint32_t n = 0; n < kFrames; ++n) {
    const double t = static_cast<double>(n) / kRate;
    const auto left = static_cast<std::int16_t>(std::lround(9000 * std::sin(2 * M_PI * 440 * t)));
    const auto right = static_cast<std::int16_t>(std::lround(9000 * std::sin(2 * M_PI * 660 * t)));
    merolune::StoreU16(bytes.data() + 44 + 4 * n, static_cast<std::uint16_t>(left));
    merolune::StoreU16(bytes.data() + 46 + 4 * n, static_cast<std::uint16_t>(right));
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Window {
  double CpuShare;  // processor time / wall time
  double MaxGapMs;  // the longest pause between two timer ticks
};

// Lets the window run for `seconds`, measuring.
Window Measure(double seconds) {
  QElapsedTimer wall;
  QElapsedTimer sinceTick;
  double maxGap = 0;
  QTimer tick;
  tick.setInterval(1);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    maxGap = std::max(maxGap, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
    sinceTick.restart();
  });
  const double cpu = CpuSeconds();
  wall.start();
  sinceTick.start();
  tick.start();
  while (static_cast<double>(wall.elapsed()) < seconds * 1000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return {(CpuSeconds() - cpu) / (static_cast<double>(wall.nsecsElapsed()) / 1e9), maxGap};
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 5;
  double window = 4;
  try {
    merolune::bench::WalkOptions(argc, argv, kUsage, [&](std::string_view option, const auto& value) {
      if (option == "--reps") return (reps = std::atoi(value())) > 0;
      if (option == "--window") return (window = std::atof(value())) > 0;
      return false;
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-monitor: %s\n%s", e.what(), kUsage);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QTemporaryDir dir;
  const std::string song = dir.filePath("song.wav").toStdString();
  WriteSong(song);

  merolune::TForm1 form;
  form.Dontconfirmoverwrite1->setChecked(true);
  form.ToolButton13->setChecked(true);  // bypass: the output is ready at once
  form.Edit1->setText(QString::fromStdString(song));
  form.Edit2->setText(dir.filePath("out.wav"));
  form.Button1->click();
  if (!form.SpeedButton1->isEnabled()) {
    std::printf("monitor skipped=no_output_device (bench/run.sh starts JACK's dummy driver for it)\n");
    return 0;
  }

  std::vector<double> idleCpu, playingCpu, idleGap, playingGap;
  for (int rep = 0; rep < reps; ++rep) {
    const Window idle = Measure(window);
    idleCpu.push_back(100 * idle.CpuShare);
    idleGap.push_back(idle.MaxGapMs);
    form.ToolButton6->click();
    Measure(1);  // the first fills and the device's start
    const Window playing = Measure(window);
    playingCpu.push_back(100 * playing.CpuShare);
    playingGap.push_back(playing.MaxGapMs);
    form.ToolButton8->click();
    Measure(0.3);
  }
  const double share = Median(playingCpu) - Median(idleCpu);
  std::printf("monitor reps=%d window_s=%.1f idle_cpu_pct=%.2f playing_cpu_pct=%.2f monitor_cpu_pct=%.2f goal_pct=2 within=%s\n",
              reps, window, Median(idleCpu), Median(playingCpu), share, share < 2 ? "yes" : "NO");
  std::printf("pump_gap playing_max_ms=%.1f idle_max_ms=%.1f goal_ms=50 within=%s\n", Median(playingGap),
              Median(idleGap), Median(playingGap) < 50 ? "yes" : "NO");
  return 0;
}
