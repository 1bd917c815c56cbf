// Remote control from outside the process: gdbus calls on a private session bus.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QSlider>
#include <QProcess>
#include <QTimer>
#include <QToolButton>
#include <filesystem>

#include "ErrorBox.h"
#include "RemoteControl.h"
#include "Signals.h"
#include "SoundDevice.h"
#include "TempDir.h"
#include "Unit1.h"
#include "Unit2.h"
#include "WavFile.h"

namespace merolune {
namespace {

// Starts `gdbus call` with a code; the reply is read once the process has finished.
QProcess* StartCall(QObject* parent, unsigned code) {
  auto* process = new QProcess(parent);
  process->start("gdbus", {"call", "--session", "--timeout", "600", "--dest", kRemoteService, "--object-path",
                           kRemotePath, "--method", QString(kRemoteInterface) + ".Message", QString::number(code)});
  return process;
}

// gdbus prints a one-element tuple: "(1,)".
int Reply(QProcess* process) {
  const QString out = QString::fromUtf8(process->readAllStandardOutput()).trimmed();
  EXPECT_TRUE(out.startsWith("(") && out.endsWith(",)")) << out.toStdString();
  return out.mid(1, out.size() - 3).toInt();
}

// Runs the event loop until the call has finished and returns its result.
int Call(QObject* parent, unsigned code) {
  QProcess* process = StartCall(parent, code);
  QEventLoop loop;
  QObject::connect(process, &QProcess::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(30000, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_EQ(process->state(), QProcess::NotRunning);
  EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
  return Reply(process);
}

class RemoteDBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
    SetErrorBoxHook([](const QString&, const QString& text) { ADD_FAILURE() << text.toStdString(); });
    KeepSoundOutputUntilExit();  // as the program does: ALSA's probed plugins stay loaded
    form_ = std::make_unique<TForm1>();
    ASSERT_TRUE(form_->StartRemoteControl());
  }
  void TearDown() override {
    form_.reset();
    SetErrorBoxHook(nullptr);
  }
  test::TempDir dir_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(RemoteDBusTest, TogglesAnswerWithTheirNewStateAndUnknownCodesWithZero) {
  EXPECT_EQ(Call(form_.get(), kEyeOnALLPASS), 1);
  EXPECT_EQ(Call(form_.get(), kEyeOnALLPASS), 0);
  EXPECT_FALSE(form_->ToolButton13->isChecked());
  form_->ToolButton12->click();
  EXPECT_EQ(Call(form_.get(), kEyeOnINVERT), 1);
  EXPECT_TRUE(form_->ToolButton10->isChecked());
  EXPECT_TRUE(form_->ToolButton12->isChecked());
  EXPECT_EQ(Call(form_.get(), 0x8020), 0);
  EXPECT_EQ(Call(form_.get(), 1), 0);
}

TEST_F(RemoteDBusTest, StartRepliesWhenTheJobHasEndedAndOtherCallsAreAnsweredMeanwhile) {
  test::WavSpec wav;
  wav.Data = test::SampleBytes(test::SongLike(44100 * 120, 44100, 3));
  const std::string source = dir_.File("song.wav");
  const std::string destination = dir_.File("out.wav");
  test::WriteBytes(source, test::MakeWav(wav));
  form_->Edit1->setText(QString::fromStdString(source));
  form_->Edit2->setText(QString::fromStdString(destination));
  // The slowest precision and a key change make the job long enough to talk to it meanwhile.
  form_->ComboBox1Change(32768);
  form_->TuneDlg->TrackBar4->setValue(3);

  QProcess* start = StartCall(form_.get(), kEyeOnSTART);
  QProcess* toggle = nullptr;
  bool toggleAnsweredDuringJob = false;
  bool secondStartIgnored = false;
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!toggle && form_->JobRunning()) {
      toggle = StartCall(form_.get(), kEyeOnPASS);
      QObject::connect(toggle, &QProcess::finished, [&] {
        toggleAnsweredDuringJob = form_->JobRunning();
        // A second start while the job runs is ignored and answered at once.
        QProcess* again = StartCall(form_.get(), kEyeOnSTART);
        QObject::connect(again, &QProcess::finished, [&, again] {
          secondStartIgnored = form_->JobRunning() && Reply(again) == 0;
        });
      });
    }
  });
  poll.start();
  QEventLoop loop;
  QObject::connect(start, &QProcess::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(120000, &loop, &QEventLoop::quit);
  loop.exec();
  ASSERT_EQ(start->state(), QProcess::NotRunning);
  EXPECT_EQ(Reply(start), 0);
  // The reply came after the job: the destination is complete.
  EXPECT_EQ(test::ReadResultWav(destination, 44100).size(), 2u * 44100 * 120);
  EXPECT_FALSE(form_->JobRunning());
  ASSERT_NE(toggle, nullptr);
  EXPECT_TRUE(toggleAnsweredDuringJob);
  EXPECT_TRUE(secondStartIgnored);
  EXPECT_TRUE(form_->ToolButton11->isChecked());
}

}  // namespace
}  // namespace merolune
