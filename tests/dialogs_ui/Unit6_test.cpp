// The version dialog: its picture and frame, texts, the link's colours and site, Enter and Esc.

#include "Unit6.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QUrl>

#include "MessageQuery.h"
#include "UrlRecorder.h"

namespace merolune {
namespace {

using test::UrlRecorder;

QColor TextColour(const QLabel* label) { return label->palette().color(QPalette::WindowText); }

TEST(VersionDlg, PictureSizeFrameAndNoTitleBar) {
  TVersionDlg dialog;
  dialog.show();
  EXPECT_EQ(dialog.size(), QSize(461, 346));
  EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
  const QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(dialog.geometry().center(), screen->geometry().center());
  ASSERT_FALSE(dialog.Image1->pixmap().isNull());
  EXPECT_EQ(dialog.Image1->pixmap().size(), QSize(461, 346));

  // The 2-pixel black frame on every edge; the picture (never black) just inside it.
  const QImage shot = dialog.grab().toImage();
  for (const QPoint p : {QPoint(0, 0), QPoint(1, 100), QPoint(460, 200), QPoint(459, 345), QPoint(200, 1), QPoint(200, 344)}) {
    EXPECT_EQ(shot.pixelColor(p), QColor(Qt::black)) << p.x() << "," << p.y();
  }
  for (const QPoint p : {QPoint(2, 100), QPoint(458, 200), QPoint(200, 2), QPoint(200, 343)}) {
    EXPECT_NE(shot.pixelColor(p), QColor(Qt::black)) << p.x() << "," << p.y();
  }
}

TEST(VersionDlg, TextsAndBounds) {
  TVersionDlg dialog;
  EXPECT_EQ(dialog.Label1->text(), "Version 1.21");
  EXPECT_EQ(dialog.Label1->geometry(), QRect(176, 312, 72, 13));
  EXPECT_EQ(TextColour(dialog.Label1), QColor(Qt::white));
  EXPECT_TRUE(dialog.Label1->font().bold());
  EXPECT_EQ(dialog.Label2->geometry(), QRect(248, 312, 120, 13));
  EXPECT_TRUE(dialog.Label2->alignment().testFlag(Qt::AlignRight));
  EXPECT_TRUE(dialog.Label2->font().underline());
  EXPECT_EQ(dialog.Label2->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_TRUE(QString::fromStdString(MakerSite()).endsWith(dialog.Label2->text()));
  EXPECT_EQ(dialog.BitBtn1->geometry(), QRect(376, 312, 75, 25));
  EXPECT_EQ(dialog.BitBtn1->text(), "OK");
  EXPECT_TRUE(dialog.BitBtn1->isDefault());
}

TEST(VersionDlg, LinkTurnsRedUnderTheMouseAndOpensTheSite) {
  TVersionDlg dialog;
  dialog.show();
  const QColor aqua(0, 255, 255);
  const QColor red(255, 0, 0);
  EXPECT_EQ(TextColour(dialog.Label2), aqua);
  QEnterEvent enter(QPointF(60, 6), QPointF(60, 6), dialog.Label2->mapToGlobal(QPointF(60, 6)));
  QCoreApplication::sendEvent(dialog.Label2, &enter);
  EXPECT_EQ(TextColour(dialog.Label2), red);
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(dialog.Label2, &leave);
  EXPECT_EQ(TextColour(dialog.Label2), aqua);

  UrlRecorder recorder;
  QTest::mouseClick(dialog.Label2, Qt::LeftButton, {}, QPoint(100, 6));
  ASSERT_EQ(recorder.Opened.size(), 1);
  EXPECT_EQ(recorder.Opened[0], QUrl(QString::fromStdString(MakerSite())));
  EXPECT_TRUE(dialog.isVisible());
}

TEST(VersionDlg, EnterClosesEscapeDoesNot) {
  TVersionDlg dialog;
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());
  QTest::keyClick(&dialog, Qt::Key_Return);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace merolune
