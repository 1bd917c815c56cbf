// Desktop notifications at the end of a job, received by a fake service on the test's own bus.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <filesystem>
#include <memory>

#include "ErrorBox.h"
#include "Notifications.h"
#include "Signals.h"
#include "SoundDevice.h"
#include "TempDir.h"
#include "Unit1.h"
#include "WavFile.h"

namespace merolune {
namespace {

struct Notice {
  QString appName, appIcon, summary, body;
  uint replacesId;
  QStringList actions;
  QVariantMap hints;
  int expireTimeout;
};

// The notification service's one method that matters, on a connection of its own, as a separate
// process would have it; Ping answers after everything sent before it has been handled.
class FakeNotificationService : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  FakeNotificationService() : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-service")) {
    EXPECT_TRUE(bus_.registerObject(kNotificationsPath, this, QDBusConnection::ExportAllSlots));
    EXPECT_TRUE(bus_.registerService(kNotificationsService));
  }
  ~FakeNotificationService() override {
    bus_.unregisterService(kNotificationsService);
    bus_.unregisterObject(kNotificationsPath);
    QDBusConnection::disconnectFromBus("fake-service");
  }

  std::vector<Notice> notices;

 public slots:
  uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap& hints, int expireTimeout) {
    notices.push_back({appName, appIcon, summary, body, replacesId, actions, hints, expireTimeout});
    return static_cast<uint>(notices.size());
  }
  int Ping() { return 1; }

 private:
  QDBusConnection bus_;
};

// Waits until a call sent after everything the program sent has come back, so that whatever it
// sent has reached the service (or found no one there).
void Settle() {
  const QDBusMessage ping =
      QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath, kNotificationsInterface, "Ping");
  QDBusPendingCallWatcher watcher(QDBusConnection::sessionBus().asyncCall(ping));
  QEventLoop loop;
  QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(20000, &loop, &QEventLoop::quit);
  if (!watcher.isFinished()) loop.exec();
  ASSERT_TRUE(watcher.isFinished());
}

class NotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  }
  test::TempDir dir_;
};

TEST_F(NotificationsTest, NotifySendsTheSummaryAndBodyUnderTheProgramsName) {
  FakeNotificationService service;
  EXPECT_TRUE(DesktopNotifier().Notify("done", "/music/song_cc.wav"));
  Settle();
  ASSERT_EQ(service.notices.size(), 1u);
  const Notice& notice = service.notices[0];
  EXPECT_EQ(notice.appName, "Merolune");
  EXPECT_EQ(notice.appIcon, "merolune");
  EXPECT_EQ(notice.replacesId, 0u);
  EXPECT_EQ(notice.summary, "done");
  EXPECT_EQ(notice.body, "/music/song_cc.wav");
  EXPECT_TRUE(notice.actions.isEmpty());
  EXPECT_EQ(notice.hints.value("desktop-entry").toString(), "merolune");
  EXPECT_EQ(notice.expireTimeout, -1);
}

TEST_F(NotificationsTest, WithoutABusNothingIsSent) {
  const QDBusConnection nowhere("never-connected");
  EXPECT_FALSE(nowhere.isConnected());
  EXPECT_FALSE(DesktopNotifier(nowhere).Notify("done", "/x.wav"));
}

enum class Source { Song, Mono, Missing };

struct JobEndCase {
  const char* name;
  Source source;
  bool windowActive;
  bool serviceRuns;
  const char* summary;  // the one notice expected, or none
};

class JobEndNoticeTest : public NotificationsTest, public ::testing::WithParamInterface<JobEndCase> {};

TEST_P(JobEndNoticeTest, OnlyAJobEndingWhileTheWindowIsInactiveIsAnnounced) {
  const JobEndCase& c = GetParam();
  std::vector<QString> errorBoxes, messageBoxes;
  // The job's own boxes (titled "エラー") apart from the standard error box.
  SetErrorBoxHook([&](const QString& title, const QString& text) {
    (title == "エラー" ? messageBoxes : errorBoxes).push_back(text);
  });
  KeepSoundOutputUntilExit();  // as the program does: ALSA's probed plugins stay loaded
  auto form = std::make_unique<TForm1>();
  form->show();
  QWidget elsewhere;
  if (!c.windowActive) elsewhere.show();
  QApplication::setActiveWindow(c.windowActive ? static_cast<QWidget*>(form.get()) : &elsewhere);
  std::unique_ptr<FakeNotificationService> service;
  if (c.serviceRuns) service = std::make_unique<FakeNotificationService>();

  const std::string source = dir_.File("song.wav");
  const std::string destination = dir_.File("song_cc.wav");
  if (c.source != Source::Missing) {
    test::WavSpec wav;
    wav.Channels = c.source == Source::Mono ? 1 : 2;
    wav.Data = test::SampleBytes(test::SongLike(44100, 44100, 7));
    test::WriteBytes(source, test::MakeWav(wav));
  }
  form->Edit1->setText(QString::fromStdString(source));
  form->Edit2->setText(QString::fromStdString(destination));
  form->Button1->click();
  EXPECT_EQ(form->isActiveWindow(), c.windowActive);
  Settle();

  EXPECT_EQ(std::filesystem::exists(destination), c.source == Source::Song);
  EXPECT_EQ(errorBoxes.size(), c.source == Source::Mono ? 1u : 0u);
  EXPECT_EQ(messageBoxes.size(), c.source == Source::Missing ? 1u : 0u);
  if (service) {
    ASSERT_EQ(service->notices.size(), c.summary ? 1u : 0u);
    if (c.summary) {
      const Notice& notice = service->notices[0];
      EXPECT_EQ(notice.summary, QString::fromUtf8(c.summary));
      // The destination on the first line; a failure's message, as its box shows it, below.
      const QStringList lines = notice.body.split('\n');
      EXPECT_EQ(lines.value(0), QString::fromStdString(destination));
      EXPECT_EQ(lines.mid(1), c.source == Source::Mono ? QStringList{errorBoxes.at(0)} : QStringList{});
    }
  }
  form.reset();
  SetErrorBoxHook(nullptr);
}

const JobEndCase kJobEndCases[] = {
    {"completedElsewhere", Source::Song, false, true, kJobDoneNotice},
    {"completedHere", Source::Song, true, true, nullptr},
    {"failedElsewhere", Source::Mono, false, true, kJobFailedNotice},
    {"failedHere", Source::Mono, true, true, nullptr},
    {"notStartedElsewhere", Source::Missing, false, true, nullptr},
    {"completedElsewhereWithNoService", Source::Song, false, false, nullptr},
    {"failedElsewhereWithNoService", Source::Mono, false, false, nullptr},
};

INSTANTIATE_TEST_SUITE_P(JobEnds, JobEndNoticeTest, ::testing::ValuesIn(kJobEndCases),
                         [](const ::testing::TestParamInfo<JobEndCase>& param) { return param.param.name; });

}  // namespace
}  // namespace merolune

#include "NotificationsDBus_test.moc"
