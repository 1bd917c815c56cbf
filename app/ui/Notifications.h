#pragma once
// Desktop notifications: a short message to the user's notification service over D-Bus.

#include <QDBusConnection>
#include <QString>

namespace merolune {

// Sends notifications to org.freedesktop.Notifications on a D-Bus connection (the session bus by
// default). Sending never waits: the call goes out asynchronously and its reply, or the error
// when no notification service runs, is dropped, since a missing notification must never hold
// up or trouble the program. Any thread that owns the connection may call Notify; nothing throws.
class DesktopNotifier {
 public:
  explicit DesktopNotifier(QDBusConnection connection = QDBusConnection::sessionBus());

  // Shows `summary` with `body` below it, under the program's name and icon. Returns false when
  // there is no bus to send it on (nothing was sent); true says only that it went out.
  bool Notify(const QString& summary, const QString& body);

 private:
  QDBusConnection connection_;
};

// What the main window says when a job has ended while the user was elsewhere: the summary; the
// body names the destination (and, after a failure, gives the message on a second line).
inline constexpr const char* kJobDoneNotice = "カラオケ化が終わりました";
inline constexpr const char* kJobFailedNotice = "カラオケ化できませんでした";

inline constexpr const char* kNotificationsService = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kNotificationsInterface = "org.freedesktop.Notifications";

}  // namespace merolune
