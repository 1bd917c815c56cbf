// The file drop target.

#include "KDrop.h"

#include <QDir>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QEvent>
#include <QMimeData>
#include <QUrl>

namespace merolune {

namespace {

bool HasLocalFiles(const QMimeData* mime) {
  if (mime == nullptr || !mime->hasUrls()) return false;
  const QList<QUrl> urls = mime->urls();
  for (const QUrl& url : urls) {
    if (url.isLocalFile()) return true;
  }
  return false;
}

// The full paths of the local files among the drag's URLs, in the drag's order.
QStringList LocalFiles(const QMimeData& mime) {
  QStringList files;
  const QList<QUrl> urls = mime.urls();
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    QString path = url.toLocalFile();
    if (path.isEmpty()) continue;
    // A file URL is absolute by definition; a sloppy source may still send "file:name".
    if (QDir::isRelativePath(path)) path = QDir::current().absoluteFilePath(path);
    files.append(path);
  }
  return files;
}

// Dropped files are only read, so the target asks for a copy, or else a link. A source that
// offers only a move is refused: it would remove the files once the drop succeeded.
bool ChooseAction(QDropEvent& event) {
  const Qt::DropActions possible = event.possibleActions();
  if (possible & Qt::CopyAction) {
    event.setDropAction(Qt::CopyAction);
  } else if (possible & Qt::LinkAction) {
    event.setDropAction(Qt::LinkAction);
  } else {
    return false;
  }
  event.accept();
  return true;
}

}  // namespace

TKAddDrop::TKAddDrop(QObject* parent) : QObject(parent) {}

TKAddDrop::~TKAddDrop() {
  SetActive(false);
  if (control_) {
    control_->removeEventFilter(this);
    QObject::disconnect(destroyedConnection_);
  }
}

void TKAddDrop::SetControl(QWidget* control) {
  if (control == control_.data()) return;
  const bool wasActive = active_;
  SetActive(false);  // gives the old control its own acceptDrops back
  if (control_) {
    control_->removeEventFilter(this);
    QObject::disconnect(destroyedConnection_);
  }
  control_ = control;
  if (control_) {
    controlAcceptedDrops_ = control_->acceptDrops();
    control_->installEventFilter(this);
    // ~QWidget announces itself before it deletes its children, so this also works when the
    // component is a child of its control.
    destroyedConnection_ = connect(control_, &QObject::destroyed, this, &TKAddDrop::ControlDestroyed);
  }
  SetActive(wasActive);
}

void TKAddDrop::SetActive(bool active) {
  if (active == active_) return;
  active_ = active;
  if (control_) control_->setAcceptDrops(active_ || controlAcceptedDrops_);
}

void TKAddDrop::ControlDestroyed() {
  // The widget is half destroyed already: forget it without touching it. Qt drops the event
  // filter and the connection along with it.
  control_ = nullptr;
  destroyedConnection_ = QMetaObject::Connection();
}

bool TKAddDrop::eventFilter(QObject* watched, QEvent* event) {
  if (!active_ || control_.isNull() || watched != control_.data()) {
    return QObject::eventFilter(watched, event);
  }
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      // QDragEnterEvent derives from QDragMoveEvent.
      auto& drag = *static_cast<QDragMoveEvent*>(event);
      if (HasLocalFiles(drag.mimeData()) && ChooseAction(drag)) return true;
      break;  // not files: the control may want it
    }
    case QEvent::Drop: {
      auto& drop = *static_cast<QDropEvent*>(event);
      const QMimeData* mime = drop.mimeData();
      // A URL list is this target's kind of drop even when none of it is a local file; other
      // drops belong to the control.
      if (mime == nullptr || !mime->hasUrls()) break;
      const QStringList files = LocalFiles(*mime);
      // A move-only drop stays unaccepted, so its source keeps the files; they are reported anyway.
      ChooseAction(drop);
      if (OnDropFiles) OnDropFiles(*this, control_.data(), files);
      return true;
    }
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace merolune
