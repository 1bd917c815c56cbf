#pragma once
// The file drop target: lets a widget accept local files dropped from the desktop.

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>

namespace merolune {

// Makes Control accept drags of local files and reports each drop through OnDropFiles as the
// list of full paths, in the order the drag carries them. It watches the control with an event
// filter: drag-enter, drag-move and drop events that carry file URLs are handled (and consumed)
// here while Active; every other event reaches the control unchanged, and so do all drag events
// while not Active, so a control that accepts drops of its own (text, say) keeps doing so. Qt
// offers a drag to the nearest widget under the cursor that accepts drops, so files dropped on a
// child of the control that does not take drops itself reach the control too.
//
// Active true means the control's acceptDrops is on. The component remembers the control's own
// acceptDrops when it is attached and puts it back when it becomes inactive, detached or
// destroyed; a change the owner makes to acceptDrops meanwhile is overwritten then.
//
// A dropped path is deliberately kept whole, however long, with no fixed-size buffer to cut it
// to: on Linux a path is UTF-8 bytes, and cutting it at some character count could only turn it
// into a name of another file or of none. Names are QStrings decoded from the file URLs, so any
// character arrives as it is.
//
// Threads: UI thread only. Ownership: a QObject, owned by its parent if any; the control is
// watched, never owned. When the control is destroyed, Control becomes null and the component
// does not touch it again. Throws nothing itself; OnDropFiles must not throw, as it runs inside
// Qt's event delivery, which cannot carry exceptions.
class TKAddDrop : public QObject {
  Q_OBJECT

 public:
  // Target is Control at the time of the drop; the list lives only for the call.
  using DropFilesEvent = std::function<void(TKAddDrop& sender, QWidget* target, const QStringList& files)>;

  explicit TKAddDrop(QObject* parent = nullptr);
  // Makes the component inactive and detaches it from the control, if that still exists.
  ~TKAddDrop() override;

  QWidget* Control() const { return control_.data(); }
  // Moves the interception (and, when Active, the drop registration) to control, or detaches
  // when control is null. The old control gets its own acceptDrops back.
  void SetControl(QWidget* control);

  // True at creation.
  bool Active() const { return active_; }
  void SetActive(bool active);

  // Called once per drop. A drop whose URLs hold no local file gives an empty list (the
  // drag-enter already asked for local files, so this is rare, but a handler must check).
  DropFilesEvent OnDropFiles;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ControlDestroyed();

  QPointer<QWidget> control_;
  bool active_ = true;
  bool controlAcceptedDrops_ = false;  // the control's own acceptDrops when it was attached
  QMetaObject::Connection destroyedConnection_;
};

}  // namespace merolune
