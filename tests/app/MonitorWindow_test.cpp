// The window's monitor on a fake sound device: Play after a job, the figure, the clock and the
// seek bar following the playback, the volume slider, Play over the remote code, and a release.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <functional>

#include "EncsetDlg.h"
#include "ErrorBox.h"
#include "FakeSoundDevice.h"
#include "Monitor.h"
#include "Signals.h"
#include "TempDir.h"
#include "Unit1.h"
#include "WavFile.h"
#include "YTrackBar.h"

namespace merolune {
namespace {

using test::FakeSoundDevice;

class MonitorWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorBoxHook([this](const QString&, const QString& text) { errors_.push_back(text); });
    form_ = std::make_unique<TForm1>(nullptr, std::make_unique<FakeSoundDevice>(device_));
    form_->Dontconfirmoverwrite1->setChecked(true);  // every job writes out.wav
    form_->show();
  }
  void TearDown() override {
    form_.reset();
    SetErrorBoxHook(nullptr);
  }

  // Runs a job on a `seconds`-long song into out.wav.
  void RunJob(double seconds, bool bypass = false) {
    test::WavSpec wav;
    wav.Data = test::SampleBytes(test::SongLike(static_cast<std::size_t>(seconds * 44100), 44100, 9));
    test::WriteBytes(dir_.File("song.wav"), test::MakeWav(wav));
    form_->Edit1->setText(QString::fromStdString(dir_.File("song.wav")));
    form_->Edit2->setText(QString::fromStdString(dir_.File("out.wav")));
    if (bypass) form_->ToolButton13->setChecked(true);
    form_->Button1->click();
    ASSERT_TRUE(errors_.empty()) << errors_.front().toStdString();
  }

  // Pumps the window's events until `done` or ten seconds have passed.
  static bool PumpUntil(const std::function<bool()>& done) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 10000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      QTest::qWait(5);
    }
    return done();
  }

  // Plays `halves` halves of the sound buffer a period at a time, giving the notification thread
  // and the loop time to keep up once each half has begun.
  void Play(int halves) {
    constexpr std::size_t kPeriod = 441;
    for (int i = 0; i < halves; ++i) {
      FakeSoundDevice::Advance(*device_, kPeriod);
      QTest::qWait(30);
      FakeSoundDevice::Advance(*device_, kStreamBufferBytes / 8 - kPeriod);
    }
  }

  bool DevicePlaying() {
    std::lock_guard lock(device_->Lock);
    return device_->Started;
  }

  std::size_t PlayedBytes() {
    std::lock_guard lock(device_->Lock);
    return device_->Played.size();
  }

  int GreenPixels() {
    const QImage image = form_->Image1->pixmap().toImage();
    int green = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) green += image.pixel(x, y) == qRgb(0, 255, 0);
    return green;
  }

  test::TempDir dir_;
  std::shared_ptr<FakeSoundDevice::State> device_ = std::make_shared<FakeSoundDevice::State>();
  std::unique_ptr<TForm1> form_;
  std::vector<QString> errors_;
};

TEST_F(MonitorWindowTest, PlayComesAfterTenSecondsOfOutputOrAtOnceWhenBypassed) {
  RunJob(8);
  EXPECT_FALSE(form_->SpeedButton1->isEnabled());
  RunJob(11);
  EXPECT_TRUE(form_->SpeedButton1->isEnabled());
  RunJob(2, true);
  EXPECT_TRUE(form_->SpeedButton1->isEnabled());
}

TEST_F(MonitorWindowTest, PlayingDrawsTheFigureAndMovesTheClockAndSeekBar) {
  RunJob(12, true);  // the song itself, loud enough to spread the figure
  ASSERT_TRUE(form_->SpeedButton1->isEnabled());
  form_->ToolButton6->click();
  EXPECT_TRUE(form_->SpeedButton1->isChecked());
  ASSERT_TRUE(PumpUntil([&] { return DevicePlaying(); })) << "the loop never started the channel";
  Play(12);
  ASSERT_TRUE(PumpUntil([&] { return GreenPixels() > 20; })) << "no figure while playing";
  // The grey diagonals run through the picture's corners.
  const QImage picture = form_->Image1->pixmap().toImage();
  EXPECT_EQ(picture.size(), QSize(103, 103));
  EXPECT_EQ(picture.pixel(10, 10), qRgb(68, 68, 68));
  EXPECT_EQ(picture.pixel(93, 10), qRgb(68, 68, 68));
  // The clock shows the reading position, ahead of what is heard; the seek bar follows it.
  ASSERT_TRUE(PumpUntil([&] { return form_->Label8->text() != "00:00"; }));
  EXPECT_TRUE(form_->Label8->text().startsWith("00:0"));
  EXPECT_GT(form_->YTrackBar1->Position(), 176400);

  // Released: the channel stops (silence from then on), and the figure keeps its last picture.
  form_->ToolButton8->click();
  QTest::qWait(250);
  const QImage last = form_->Image1->pixmap().toImage();
  const std::size_t before = PlayedBytes();
  FakeSoundDevice::Advance(*device_, 1000);
  {
    std::lock_guard lock(device_->Lock);
    EXPECT_TRUE(std::all_of(device_->Played.begin() + before, device_->Played.end(), [](auto b) { return b == 0; }));
  }
  QTest::qWait(200);
  EXPECT_EQ(form_->Image1->pixmap().toImage(), last);
}

TEST_F(MonitorWindowTest, VolumeSliderScalesWhatPlays) {
  RunJob(11, true);
  form_->TrackBar3->setValue(5000);  // -50 dB
  form_->ToolButton6->click();
  ASSERT_TRUE(PumpUntil([&] { return DevicePlaying(); }));
  Play(4);
  std::vector<std::uint8_t> played;
  {
    std::lock_guard lock(device_->Lock);
    played = device_->Played;
  }
  ASSERT_FALSE(played.empty());
  int peak = 0;
  for (std::size_t i = 0; i + 1 < played.size(); i += 2)
    peak = std::max(peak, std::abs(static_cast<int>(static_cast<std::int16_t>(played[i] | played[i + 1] << 8))));
  EXPECT_LE(peak, static_cast<int>(std::ceil(32768 * std::pow(10.0, -2.5))) + 1);
  EXPECT_GT(peak, 0);
}

// Playing when the result is to be encoded: Play is released while the encoder runs and pressed
// again afterwards.
TEST_F(MonitorWindowTest, PlaybackPausesWhileTheResultIsEncoded) {
  test::WavSpec wav;
  wav.Data = test::SampleBytes(test::SongLike(20 * 44100, 44100, 9));
  test::WriteBytes(dir_.File("song.wav"), test::MakeWav(wav));
  form_->Edit1->setText(QString::fromStdString(dir_.File("song.wav")));
  form_->Edit2->setText(QString::fromStdString(dir_.File("out.flac")));
  TEncsetDlg::ModalHook = [](TEncsetDlg&) {};  // the settings page is taken as it is
  bool pressed = false;
  std::vector<bool> downWhileEncoding;
  QTimer probe;
  probe.setInterval(1);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    if (!form_->JobRunning()) return;
    if (!form_->isEnabled()) {  // a conversion: here the encoding
      downWhileEncoding.push_back(form_->SpeedButton1->isChecked());
    } else if (!pressed && form_->SpeedButton1->isEnabled()) {
      // Within the job's block loop: Play, and wait until the channel really plays.
      pressed = true;
      form_->ToolButton6->click();
      PumpUntil([&] { return DevicePlaying(); });
    }
  });
  probe.start();
  form_->Button1->click();
  probe.stop();
  TEncsetDlg::ModalHook = nullptr;
  ASSERT_TRUE(errors_.empty()) << errors_.front().toStdString();
  ASSERT_TRUE(pressed) << "Play never came during the job";
  ASSERT_FALSE(downWhileEncoding.empty()) << "the probe never ran while encoding";
  EXPECT_EQ(std::count(downWhileEncoding.begin(), downWhileEncoding.end(), true), 0);
  EXPECT_TRUE(form_->SpeedButton1->isChecked()) << "Play was not pressed again after the encoding";
}

TEST_F(MonitorWindowTest, RemotePlayAnswersWhetherNowPlaying) {
  EXPECT_EQ(form_->RemoteMessage(kEyeOnPLAY), 0);
  RunJob(11, true);
  EXPECT_EQ(form_->RemoteMessage(kEyeOnPLAY), 1);
  EXPECT_TRUE(form_->SpeedButton1->isChecked());
  EXPECT_EQ(form_->RemoteMessage(kEyeOnPLAY), 0);
}

}  // namespace
}  // namespace merolune
