// Remote control over D-Bus: the window's nine command codes from another program.

#include "RemoteControl.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <cstdio>

namespace merolune {

RemoteControl::RemoteControl(Handler handler, QObject* parent) : QObject(parent), handler_(std::move(handler)) {}

RemoteControl::~RemoteControl() {
  if (!registered_) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(kRemotePath);
  bus.unregisterService(kRemoteService);
}

bool RemoteControl::Register() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "merolune: no D-Bus session bus (%s); remote control is off\n",
                 qPrintable(bus.lastError().message()));
    return false;
  }
  if (!bus.registerObject(kRemotePath, this, QDBusConnection::ExportAllSlots)) {
    std::fprintf(stderr, "merolune: cannot export %s on the session bus; remote control is off\n", kRemotePath);
    return false;
  }
  if (!bus.registerService(kRemoteService)) {
    std::fprintf(stderr, "merolune: the name %s is taken on the session bus (%s); remote control is off\n",
                 kRemoteService, qPrintable(bus.lastError().message()));
    bus.unregisterObject(kRemotePath);
    return false;
  }
  registered_ = true;
  return true;
}

int RemoteControl::Message(uint code) { return handler_ ? handler_(code) : 0; }

}  // namespace merolune
