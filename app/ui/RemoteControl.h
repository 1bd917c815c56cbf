#pragma once
// Remote control over D-Bus: another program sends the window's nine command codes.

#include <QObject>
#include <functional>

namespace merolune {

// Registers the service org.merolune.Merolune with the object /Merolune on the session bus; its
// interface org.merolune.Remote has one method, Message(u code) -> i result, answered by the
// handler on the UI thread. A handler that runs a whole job (and pumps events meanwhile) replies
// when the job has ended; calls that arrive meanwhile are answered in the nested event loop.
// Lives on the UI thread.
class RemoteControl : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.merolune.Remote")

 public:
  using Handler = std::function<int(unsigned code)>;

  explicit RemoteControl(Handler handler, QObject* parent = nullptr);
  ~RemoteControl() override;

  // Connects to the session bus. Without one (or when the name is taken), the program runs
  // without remote control: returns false and says why on stderr, once.
  bool Register();
  bool Registered() const { return registered_; }

 public slots:
  int Message(uint code);

 private:
  Handler handler_;
  bool registered_ = false;
};

inline constexpr const char* kRemoteService = "org.merolune.Merolune";
inline constexpr const char* kRemotePath = "/Merolune";
inline constexpr const char* kRemoteInterface = "org.merolune.Remote";

}  // namespace merolune
