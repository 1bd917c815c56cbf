// The desktop program's command line, run as a child process.
//
// --help and --version answer and exit; anything else is the source, checked by running a job over
// the remote control.

#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <filesystem>
#include <optional>

#include "RemoteControl.h"
#include "Signals.h"
#include "TempDir.h"
#include "Unit1.h"
#include "WavFile.h"

namespace merolune {
namespace {

struct InformationCase {
  const char* name;
  QStringList arguments;
  const char* answer;  // a line the output starts with or contains
  bool withDisplay;    // else no window system could be opened at all
};

class InformationTest : public ::testing::TestWithParam<InformationCase> {};

TEST_P(InformationTest, AnswersAndExitsWithoutOpeningAWindow) {
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", GetParam().withDisplay ? "offscreen" : "xcb");
  if (!GetParam().withDisplay) {
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
  }
  program.setProcessEnvironment(environment);
  program.start(MEROLUNE_APP, GetParam().arguments);
  // A window would keep the program running until someone closed it.
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
  const QString output = QString::fromLocal8Bit(program.readAllStandardOutput());
  EXPECT_TRUE(output.contains(GetParam().answer)) << output.toStdString();
}

const InformationCase kInformationCases[] = {
    {"version", {"--version"}, "merolune 0.1.0\n", true},
    {"shortVersion", {"-v"}, "merolune 0.1.0\n", true},
    {"help", {"--help"}, "Usage: ", true},
    {"shortHelp", {"-h"}, "--version", true},
    {"helpWithQtOptions", {"--help-all"}, "-platform", true},
    // Qt's own word options are not read as letters, and unknown options do not matter.
    {"besideOtherOptions", {"-reverse", "--unknown", "somefile.wav", "--version"}, "merolune 0.1.0\n", true},
    {"withoutDisplay", {"--help"}, "Usage: ", false},
};

INSTANTIATE_TEST_SUITE_P(CommandLine, InformationTest, ::testing::ValuesIn(kInformationCases),
                         [](const ::testing::TestParamInfo<InformationCase>& param) { return param.param.name; });

// Sends a remote-control code and waits for the reply; nullopt when no one answered.
std::optional<int> Remote(unsigned code, int timeoutMs) {
  QDBusMessage call = QDBusMessage::createMethodCall(kRemoteService, kRemotePath, kRemoteInterface, "Message");
  call << code;
  QDBusPendingCallWatcher watcher(QDBusConnection::sessionBus().asyncCall(call, timeoutMs));
  QEventLoop loop;
  QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
  if (!watcher.isFinished()) loop.exec();
  const QDBusPendingReply<int> reply = watcher;
  if (reply.isError()) return std::nullopt;
  return reply.value();
}

// Whether the started program answers on the remote control within 20 s.
bool Answering(const QProcess& program) {
  for (int attempt = 0; attempt < 200 && program.state() == QProcess::Running; ++attempt) {
    if (Remote(0, 1000).has_value()) return true;
    QThread::msleep(100);
  }
  return false;
}

TEST(CommandLineSource, AFileNamedLikeAnOptionIsTheSourceAfterQtsOwnOptions) {
  if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  test::TempDir dir;
  test::WavSpec wav;
  wav.Data = test::SampleBytes(test::SongLike(44100, 44100, 11));
  test::WriteBytes(dir.File("-x.wav"), test::MakeWav(wav));

  QProcess program;
  program.setWorkingDirectory(QString::fromStdString(dir.Path()));
  program.setProcessChannelMode(QProcess::ForwardedChannels);
  program.start(MEROLUNE_APP, {"-platform", "offscreen", "-x.wav"});
  ASSERT_TRUE(program.waitForStarted());
  ASSERT_TRUE(Answering(program)) << "the program did not come up";
  // The run command writes the default destination of the source the program was handed.
  EXPECT_EQ(Remote(kEyeOnSTART, 120000), 0);
  EXPECT_EQ(test::ReadResultWav(dir.File("-x_cc.wav"), 44100).size(), 2u * 44100);
  program.terminate();
  program.waitForFinished(10000);
}

// The program itself, stopped by a signal in the middle of a job: it ends with status 1, deletes
// its temporary files and leaves no destination.
class SignalledProgramTest : public ::testing::TestWithParam<int> {};

TEST_P(SignalledProgramTest, EndsWithOneAndLeavesNothingBehind) {
  if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  test::TempDir dir;
  test::TempDir tmp;
  test::WavSpec wav;
  wav.Data = test::SampleBytes(test::SongLike(44100 * 300, 44100, 12));
  test::WriteBytes(dir.File("long.wav"), test::MakeWav(wav));

  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("TMPDIR", QString::fromStdString(tmp.Path()));
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::ForwardedChannels);
  program.start(MEROLUNE_APP, {"-platform", "offscreen", QString::fromStdString(dir.File("long.wav"))});
  ASSERT_TRUE(program.waitForStarted());
  ASSERT_TRUE(Answering(program)) << "the program did not come up";
  // The run command answers only when the job has ended; the signal comes while it processes blocks.
  QDBusMessage call = QDBusMessage::createMethodCall(kRemoteService, kRemotePath, kRemoteInterface, "Message");
  call << static_cast<unsigned>(kEyeOnSTART);
  QDBusConnection::sessionBus().asyncCall(call, 120000);
  // Qt keeps a runtime folder there too; the job's files are "cc<hex>.wav".
  const auto jobFiles = [&] {
    int count = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp.Path()))
      if (e.path().filename().string().rfind("cc", 0) == 0) ++count;
    return count;
  };
  bool processing = false;
  for (int i = 0; i < 20000 && !processing; ++i) {
    processing = jobFiles() == 2;
    if (!processing) QThread::usleep(500);
  }
  ASSERT_TRUE(processing);
  ::kill(static_cast<pid_t>(program.processId()), GetParam());
  ASSERT_TRUE(program.waitForFinished(60000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 1);
  EXPECT_EQ(jobFiles(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("long_cc.wav")));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalledProgramTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& param) { return std::string(sigabbrev_np(param.param)); });

}  // namespace
}  // namespace merolune
