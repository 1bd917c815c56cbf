// The desktop window playing a job's output through the real sound output: Play pressed over
// D-Bus, and what reached ALSA's default PCM (recorded by the file tap in front of JACK's dummy
// driver) compared with the output file. Without a sound server the window starts cleanly and
// Play stays disabled.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "AlsaFileTap.h"
#include "ErrorBox.h"
#include "RemoteControl.h"
#include "Signals.h"
#include "TempDir.h"
#include "Unit1.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::TapMatch;

// The remote code over the session bus, as another program sends it; its answer.
int CallRemote(unsigned code) {
  QProcess process;
  process.start("gdbus", {"call", "--session", "--timeout", "30", "--dest", kRemoteService, "--object-path",
                          kRemotePath, "--method", QString(kRemoteInterface) + ".Message", QString::number(code)});
  // The window answers from its event loop, which runs while this waits.
  QEventLoop loop;
  QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(30000, &loop, &QEventLoop::quit);
  loop.exec();
  const QString out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();  // "(1,)"
  EXPECT_TRUE(out.startsWith("(") && out.endsWith(",)")) << out.toStdString();
  return out.mid(1, out.size() - 3).toInt();
}

void PumpFor(int milliseconds) {
  QElapsedTimer waited;
  waited.start();
  while (waited.elapsed() < milliseconds) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(10);
  }
}

// A song at `rate` into song.wav, and the window's paths set to it and out.wav.
void PrepareJob(TForm1& form, const test::TempDir& dir, std::uint32_t rate, double seconds) {
  test::WavSpec wav;
  wav.SampleRate = rate;
  wav.Data = test::SampleBytes(test::SongLike(static_cast<std::size_t>(seconds * rate), rate, 21));
  test::WriteBytes(dir.File("song.wav"), test::MakeWav(wav));
  form.Edit1->setText(QString::fromStdString(dir.File("song.wav")));
  form.Edit2->setText(QString::fromStdString(dir.File("out.wav")));
}

struct PlaybackCase {
  std::uint32_t Rate;
  int Attenuation;  // the volume slider's position, hundredths of a decibel
  int Tolerance;    // LSB per sample against the output scaled by the attenuation's gain
};

std::ostream& operator<<(std::ostream& out, const PlaybackCase& c) {
  return out << c.Rate << " Hz at -" << c.Attenuation << " hundredths of a dB";
}

class WindowPlayback : public ::testing::TestWithParam<PlaybackCase> {};

TEST_P(WindowPlayback, PlaysTheOutputFileAsWritten) {
  const std::string reason = test::PlaybackUnavailableReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  const PlaybackCase c = GetParam();
  test::TempDir dir;
  std::vector<std::uint8_t> recording;
  {
    const test::AlsaFileTap tap(dir.Path(), dir.File("played.raw"));
    SetErrorBoxHook([](const QString&, const QString& text) { ADD_FAILURE() << text.toStdString(); });
    TForm1 form;
    ASSERT_TRUE(form.StartRemoteControl());
    form.Dontconfirmoverwrite1->setChecked(true);
    form.TrackBar3->setValue(c.Attenuation);
    EXPECT_EQ(CallRemote(kEyeOnPLAY), 0) << "Play answered before any job";

    PrepareJob(form, dir, c.Rate, 30);
    form.Button1->click();
    ASSERT_TRUE(form.SpeedButton1->isEnabled()) << "Play stayed disabled after a 30 s job";
    EXPECT_EQ(CallRemote(kEyeOnPLAY), 1);
    EXPECT_TRUE(form.SpeedButton1->isChecked());
    PumpFor(12500);
    EXPECT_EQ(CallRemote(kEyeOnPLAY), 0);
    PumpFor(300);
    SetErrorBoxHook(nullptr);
    // The window's end closes the stream, which completes the recording.
  }
  recording = test::ReadBytes(dir.File("played.raw"));

  const std::vector<std::uint8_t> output = test::ReadBytes(dir.File("out.wav"));
  ASSERT_GT(output.size(), 44u);
  const std::vector<std::uint8_t> audio(output.begin() + 44, output.end());
  const std::size_t tenSeconds = std::size_t{10} * c.Rate * 4;
  TapMatch match;
  if (c.Tolerance == 0) {
    match = test::FindBytes(recording, audio, 4);
  } else {
    std::vector<std::int16_t> scaled(audio.size() / 2);
    const double gain = std::pow(10.0, -c.Attenuation / 2000.0);
    for (std::size_t i = 0; i < scaled.size(); ++i)
      scaled[i] = static_cast<std::int16_t>(std::lround(static_cast<std::int16_t>(audio[2 * i] | audio[2 * i + 1] << 8) * gain));
    match = test::FindSamplesWithin(recording, scaled, 2, c.Tolerance);
  }
  ASSERT_TRUE(match.Found) << "the output's start is not in the " << recording.size() << "-byte recording";
  EXPECT_GE(match.Length, tenSeconds) << "matched from byte " << match.Offset;
}

INSTANTIATE_TEST_SUITE_P(RatesAndLevels, WindowPlayback,
                         ::testing::Values(PlaybackCase{44100, 0, 0}, PlaybackCase{44100, 500, 1},
                                           PlaybackCase{48000, 0, 0}, PlaybackCase{48000, 500, 1}));

// The window's standard error, collected while `work` runs.
std::string StderrDuring(const std::function<void()>& work) {
  std::fflush(stderr);
  char path[] = "/tmp/merolune-stderr-XXXXXX";
  const int file = ::mkstemp(path);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  work();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  ::unlink(path);
  return text.str();
}

// No server behind ALSA's default PCM: the window comes up without a word from ALSA or JACK,
// and Play stays disabled after a job.
TEST(WindowWithoutSound, StartsQuietlyAndKeepsPlayDisabled) {
  test::TempDir dir;
  const QByteArray server = qgetenv("JACK_DEFAULT_SERVER");
  qputenv("JACK_DEFAULT_SERVER", "merolune-no-such-server");
  std::unique_ptr<TForm1> form;
  {
    const test::AlsaFileTap tap(dir.Path(), dir.File("played.raw"));
    const std::string said = StderrDuring([&] {
      form = std::make_unique<TForm1>();
      form->Dontconfirmoverwrite1->setChecked(true);
      PrepareJob(*form, dir, 44100, 12);
      form->Button1->click();
    });
    EXPECT_EQ(said.find("ALSA"), std::string::npos) << said;
    EXPECT_EQ(said.find("jack"), std::string::npos) << said;
    EXPECT_FALSE(form->SpeedButton1->isEnabled());
    EXPECT_EQ(form->RemoteMessage(kEyeOnPLAY), 0);
    form.reset();
  }
  if (server.isEmpty()) {
    qunsetenv("JACK_DEFAULT_SERVER");
  } else {
    qputenv("JACK_DEFAULT_SERVER", server);
  }
}

}  // namespace
}  // namespace merolune
