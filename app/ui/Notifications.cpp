// Desktop notifications over D-Bus.

#include "Notifications.h"

#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace merolune {

namespace {

constexpr const char* kApplicationName = "Merolune";
// The icon and the desktop entry installed with the program, so that the service can group the
// notification under it.
constexpr const char* kApplicationIcon = "merolune";
// Let the service choose how long the notification stays.
constexpr int kServerDefaultTimeout = -1;

}  // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection connection) : connection_(std::move(connection)) {}

bool DesktopNotifier::Notify(const QString& summary, const QString& body) {
  if (!connection_.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath,
                                                     kNotificationsInterface, QStringLiteral("Notify"));
  const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("merolune")}};
  call << QString::fromLatin1(kApplicationName) << 0u << QString::fromLatin1(kApplicationIcon) << summary << body
       << QStringList() << hints << kServerDefaultTimeout;
  // The pending reply is dropped at once: no one waits for it, and its error (no service) is
  // nobody's concern.
  return connection_.send(call);
}

}  // namespace merolune
