#pragma once
// Unix signals (interrupt, terminate, hang-up) delivered as a Qt signal on the thread of the event loop.

#include <QObject>

#include <initializer_list>
#include <memory>

class QSocketNotifier;

namespace merolune {

// Catches the given Unix signals for as long as it lives and reports each one through Received,
// from the event loop of the thread that created it (the UI thread), where anything may be done
// about it. The handler itself only writes the signal's number into a pipe, which is all that is
// safe in a signal handler; a signal may arrive on any thread.
//
// One watcher per process at a time (the handlers and the pipe are the process's). The destructor
// puts back the actions the signals had before. Construction throws std::system_error when the
// pipe cannot be made.
class SignalWatcher : public QObject {
  Q_OBJECT

 public:
  explicit SignalWatcher(std::initializer_list<int> numbers, QObject* parent = nullptr);
  ~SignalWatcher() override;
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 signals:
  void Received(int number);

 private:
  void Drain();

  std::unique_ptr<QSocketNotifier> notifier_;
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace merolune
