// The file drop target: drags of local files, the Active switch, moving and losing the control.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <vector>

#include "KDrop.h"

namespace merolune {
namespace {

// A widget that records the events that reach its own handlers. With takesDrags it accepts
// every drag itself, as a control with drop handling of its own would.
class RecordingWidget : public QWidget {
 public:
  explicit RecordingWidget(bool takesDrags = false) : takesDrags_(takesDrags) { setAcceptDrops(takesDrags); }
  int keyPresses = 0;
  int dragEnters = 0;
  int drops = 0;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    ++keyPresses;
    event->accept();
  }
  void dragEnterEvent(QDragEnterEvent* event) override {
    ++dragEnters;
    event->setAccepted(takesDrags_);
  }
  void dropEvent(QDropEvent* event) override {
    ++drops;
    event->setAccepted(takesDrags_);
  }

 private:
  bool takesDrags_;
};

struct DropCall {
  TKAddDrop* sender;
  QWidget* target;
  QStringList files;
};

std::unique_ptr<QMimeData> FileMime(const QStringList& paths) {
  auto mime = std::make_unique<QMimeData>();
  QList<QUrl> urls;
  for (const QString& path : paths) urls.append(QUrl::fromLocalFile(path));
  mime->setUrls(urls);
  return mime;
}

// The events go through QApplication as the platform's would: a drag-enter reaches only a
// widget that accepts drops, and the drag-move and drop that follow go to the widget that
// accepted the drag-enter, if any. Each test ends every accepted drag with a drop or a leave,
// as that widget is remembered by Qt's drag manager until then.

// Sends a drag-enter; whether it was accepted.
bool SendDragEnter(QWidget& widget, const QMimeData& mime, Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
  QDragEnterEvent event(QPoint(5, 5), actions, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
  return event.isAccepted();
}

bool SendDragMove(QWidget& widget, const QMimeData& mime) {
  QDragMoveEvent event(QPoint(6, 6), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
  return event.isAccepted();
}

void SendDragLeave(QWidget& widget) {
  QDragLeaveEvent event;
  QApplication::sendEvent(&widget, &event);
}

struct DropResult {
  bool accepted;
  Qt::DropAction action;
};

DropResult SendDrop(QWidget& widget, const QMimeData& mime, Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
  QDropEvent event(QPointF(5, 5), actions, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
  return {event.isAccepted(), event.dropAction()};
}

class KAddDropTest : public ::testing::Test {
 protected:
  void Attach(TKAddDrop& drop) {
    drop.OnDropFiles = [this](TKAddDrop& sender, QWidget* target, const QStringList& files) {
      calls_.push_back({&sender, target, files});
    };
  }
  std::vector<DropCall> calls_;
};

TEST_F(KAddDropTest, Defaults) {
  TKAddDrop drop;
  EXPECT_EQ(drop.Control(), nullptr);
  EXPECT_TRUE(drop.Active());
  drop.SetActive(false);  // no control: nothing to touch
  EXPECT_FALSE(drop.Active());
  drop.SetActive(true);
  EXPECT_TRUE(drop.Active());
}

TEST_F(KAddDropTest, TwoFilesGiveOneCallWithBothPathsInOrder) {
  RecordingWidget widget;
  TKAddDrop drop;
  Attach(drop);
  ASSERT_FALSE(widget.acceptDrops());
  drop.SetControl(&widget);
  EXPECT_EQ(drop.Control(), &widget);
  EXPECT_TRUE(widget.acceptDrops());

  const QStringList paths{"/tmp/music/b side.wav", "/tmp/music/曲 1.mp3"};
  const auto mime = FileMime(paths);
  EXPECT_TRUE(SendDragEnter(widget, *mime));
  EXPECT_TRUE(SendDragMove(widget, *mime));
  const DropResult result = SendDrop(widget, *mime);
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.action, Qt::CopyAction);  // only read, never moved

  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].sender, &drop);
  EXPECT_EQ(calls_[0].target, &widget);
  EXPECT_EQ(calls_[0].files, paths);
  // The drag was the component's: the widget saw none of it.
  EXPECT_EQ(widget.dragEnters, 0);
  EXPECT_EQ(widget.drops, 0);
}

TEST_F(KAddDropTest, LongPathsAndOnlyLocalFiles) {
  QWidget widget;
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&widget);
  const QString longPath = "/tmp/" + QString(700, QChar(u'é')) + ".wav";
  auto mime = std::make_unique<QMimeData>();
  mime->setUrls({QUrl("https://example.com/a.wav"), QUrl::fromLocalFile(longPath), QUrl::fromLocalFile("/x/y.flac")});
  EXPECT_TRUE(SendDragEnter(widget, *mime));
  EXPECT_TRUE(SendDrop(widget, *mime).accepted);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].files, (QStringList{longPath, "/x/y.flac"}));
  EXPECT_EQ(calls_[0].files[0].size(), longPath.size());
}

TEST_F(KAddDropTest, DropOfUrlsWithoutLocalFilesGivesAnEmptyList) {
  QWidget widget;
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&widget);
  QMimeData links;
  links.setUrls({QUrl("https://example.com/a.wav")});
  EXPECT_FALSE(SendDragEnter(widget, links));  // nothing this target could use
  EXPECT_TRUE(calls_.empty());
  // A drag of files that ends in a drop whose data has no local file left.
  const auto files = FileMime({"/tmp/a.wav"});
  ASSERT_TRUE(SendDragEnter(widget, *files));
  SendDrop(widget, links);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_TRUE(calls_[0].files.isEmpty());
}

TEST_F(KAddDropTest, DragsWithoutFilesReachTheControl) {
  RecordingWidget widget(true);
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&widget);
  QMimeData text;
  text.setText("just text");
  EXPECT_TRUE(SendDragEnter(widget, text));  // the widget's own doing
  SendDrop(widget, text);
  EXPECT_EQ(widget.dragEnters, 1);
  EXPECT_EQ(widget.drops, 1);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(KAddDropTest, MoveOnlyDragIsRefused) {
  QWidget widget;
  TKAddDrop drop;
  drop.SetControl(&widget);
  const auto mime = FileMime({"/tmp/a.wav"});
  EXPECT_FALSE(SendDragEnter(widget, *mime, Qt::MoveAction));
  EXPECT_TRUE(SendDragEnter(widget, *mime, Qt::MoveAction | Qt::LinkAction));
  SendDragLeave(widget);
}

TEST_F(KAddDropTest, InactiveTargetDoesNotTakeDrops) {
  RecordingWidget widget;
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&widget);
  drop.SetActive(false);
  EXPECT_FALSE(drop.Active());
  EXPECT_FALSE(widget.acceptDrops());
  const auto mime = FileMime({"/tmp/a.wav"});
  EXPECT_FALSE(SendDragEnter(widget, *mime));
  EXPECT_EQ(widget.dragEnters, 0);  // Qt offers no drag to the widget now
  SendDrop(widget, *mime);
  EXPECT_TRUE(calls_.empty());

  drop.SetActive(true);
  EXPECT_TRUE(widget.acceptDrops());
  EXPECT_TRUE(SendDragEnter(widget, *mime));
  SendDrop(widget, *mime);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].files, QStringList{"/tmp/a.wav"});
}

TEST_F(KAddDropTest, ControlSetWhileInactiveIsNotRegistered) {
  QWidget widget;
  TKAddDrop drop;
  drop.SetActive(false);
  drop.SetControl(&widget);
  EXPECT_FALSE(widget.acceptDrops());
  drop.SetActive(true);
  EXPECT_TRUE(widget.acceptDrops());
}

TEST_F(KAddDropTest, ControlThatAcceptsDropsOfItsOwnKeepsThem) {
  QLineEdit edit;
  ASSERT_TRUE(edit.acceptDrops());
  {
    TKAddDrop drop;
    drop.SetControl(&edit);
    drop.SetActive(false);
    EXPECT_TRUE(edit.acceptDrops());
    drop.SetActive(true);
  }
  EXPECT_TRUE(edit.acceptDrops());

  RecordingWidget widget(true);
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&widget);
  drop.SetActive(false);
  const auto mime = FileMime({"/tmp/a.wav"});
  EXPECT_TRUE(SendDragEnter(widget, *mime));  // the widget's own handler took it
  SendDrop(widget, *mime);
  EXPECT_EQ(widget.dragEnters, 1);
  EXPECT_EQ(widget.drops, 1);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(KAddDropTest, MovingTheControlMovesTheInterception) {
  RecordingWidget first;
  RecordingWidget second;
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&first);
  drop.SetControl(&first);  // the same control again changes nothing
  EXPECT_TRUE(first.acceptDrops());
  drop.SetControl(&second);
  EXPECT_EQ(drop.Control(), &second);
  EXPECT_FALSE(first.acceptDrops());
  EXPECT_TRUE(second.acceptDrops());
  EXPECT_TRUE(drop.Active());

  const auto mime = FileMime({"/tmp/a.wav", "/tmp/b.wav"});
  EXPECT_FALSE(SendDragEnter(first, *mime));
  SendDrop(first, *mime);
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(first.dragEnters, 0);

  EXPECT_TRUE(SendDragEnter(second, *mime));
  SendDrop(second, *mime);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].target, &second);
  EXPECT_EQ(second.drops, 0);

  drop.SetControl(nullptr);
  EXPECT_EQ(drop.Control(), nullptr);
  EXPECT_FALSE(second.acceptDrops());
  EXPECT_TRUE(drop.Active());
  EXPECT_FALSE(SendDragEnter(second, *mime));
  EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(KAddDropTest, OldControlWithDropsOfItsOwnNoLongerIntercepted) {
  RecordingWidget first(true);
  QWidget second;
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&first);
  const auto mime = FileMime({"/tmp/a.wav"});
  EXPECT_TRUE(SendDragEnter(first, *mime));
  SendDrop(first, *mime);
  EXPECT_EQ(calls_.size(), 1u);
  EXPECT_EQ(first.dragEnters, 0);

  drop.SetControl(&second);
  EXPECT_TRUE(first.acceptDrops());  // its own setting, back
  EXPECT_TRUE(SendDragEnter(first, *mime));
  SendDrop(first, *mime);
  EXPECT_EQ(calls_.size(), 1u);
  EXPECT_EQ(first.dragEnters, 1);
  EXPECT_EQ(first.drops, 1);
}

TEST_F(KAddDropTest, MovingKeepsAnInactiveTargetInactive) {
  QWidget first;
  QWidget second;
  TKAddDrop drop;
  drop.SetControl(&first);
  drop.SetActive(false);
  drop.SetControl(&second);
  EXPECT_FALSE(drop.Active());
  EXPECT_FALSE(second.acceptDrops());
}

TEST_F(KAddDropTest, DestroyingTheControlClearsControl) {
  TKAddDrop drop;
  Attach(drop);
  auto* widget = new RecordingWidget;
  drop.SetControl(widget);
  delete widget;
  EXPECT_EQ(drop.Control(), nullptr);
  EXPECT_TRUE(drop.Active());
  // Still usable afterwards.
  QWidget other;
  drop.SetControl(&other);
  EXPECT_TRUE(other.acceptDrops());
}

TEST_F(KAddDropTest, ComponentOwnedByItsControl) {
  // The main window's arrangement: the component is a child of the widget it watches.
  auto* window = new QWidget;
  QPointer<TKAddDrop> drop = new TKAddDrop(window);
  drop->SetControl(window);
  delete window;
  EXPECT_TRUE(drop.isNull());
}

TEST_F(KAddDropTest, DestroyingTheComponentDetaches) {
  RecordingWidget widget;
  {
    TKAddDrop drop;
    Attach(drop);
    drop.SetControl(&widget);
    EXPECT_TRUE(widget.acceptDrops());
  }
  EXPECT_FALSE(widget.acceptDrops());
  const auto mime = FileMime({"/tmp/a.wav"});
  EXPECT_FALSE(SendDragEnter(widget, *mime));

  RecordingWidget own(true);
  {
    TKAddDrop drop;
    Attach(drop);
    drop.SetControl(&own);
  }
  EXPECT_TRUE(own.acceptDrops());
  EXPECT_TRUE(SendDragEnter(own, *mime));
  SendDrop(own, *mime);
  EXPECT_EQ(own.drops, 1);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(KAddDropTest, DragOverAChildReachesTheControl) {
  // The main window's case: the files are dropped on some child of the window.
  QWidget window;
  auto* child = new RecordingWidget;
  child->setParent(&window);
  child->setGeometry(0, 0, 50, 50);
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&window);
  const auto mime = FileMime({"/tmp/a.wav"});
  EXPECT_TRUE(SendDragEnter(*child, *mime));
  SendDrop(*child, *mime);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].target, &window);
}

TEST_F(KAddDropTest, OtherEventsPassThrough) {
  RecordingWidget widget;
  TKAddDrop drop;
  Attach(drop);
  drop.SetControl(&widget);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QApplication::sendEvent(&widget, &press);
  EXPECT_EQ(widget.keyPresses, 1);
  EXPECT_TRUE(press.isAccepted());
  widget.resize(120, 80);
  EXPECT_EQ(widget.size(), QSize(120, 80));
  EXPECT_TRUE(calls_.empty());
}

}  // namespace
}  // namespace merolune
