// The explanation dialog: the page beside the program, a missing page, links out, its layout.

#include "Unit7.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>

#include "UrlRecorder.h"

namespace merolune {
namespace {

using test::UrlRecorder;

bool WritePage(const QString& path, const QByteArray& html) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(html) == html.size();
}

// The built program's page, copied beside this test as beside the program: found, and it is ours.
TEST(RiderDlg, ShowsTheRiderPageBesideTheExecutable) {
  TRiderDlg dialog;
  dialog.show();
  EXPECT_EQ(dialog.PagePath(), QCoreApplication::applicationDirPath() + "/rider.html");
  const QString text = dialog.WebBrowser1->toPlainText();
  EXPECT_TRUE(text.contains("Merolune 補足説明"));
  for (const char* topic : {"リバーブ", "Pパラメータ", "逆モード", "エンハンサー", "キーチェンジ", "merolune-cli", "0x8018"}) {
    EXPECT_TRUE(text.contains(QString::fromUtf8(topic))) << topic;
  }
}

// Without a page: the note naming the file, in the dialog's own layout.
TEST(RiderDlg, LayoutAndTheMissingPage) {
  QTemporaryDir dir;
  TRiderDlg dialog(nullptr, dir.path());
  dialog.show();
  EXPECT_EQ(dialog.windowTitle(), "補足説明");
  EXPECT_EQ(dialog.frameGeometry().topLeft(), QPoint(207, 234));
  EXPECT_EQ(dialog.size(), QSize(696, 480));
  EXPECT_NE(dialog.minimumSize(), dialog.maximumSize());  // resizable
  EXPECT_EQ(dialog.WebBrowser1->geometry(), QRect(0, 0, 696, 480 - 41));
  EXPECT_EQ(dialog.Panel1->geometry(), QRect(0, 480 - 41, 696, 41));
  EXPECT_EQ(dialog.BitBtn1->geometry(), QRect(600, 8, 75, 25));
  EXPECT_TRUE(dialog.BitBtn1->isDefault());
  const QString text = dialog.WebBrowser1->toPlainText();
  EXPECT_TRUE(text.contains("見つかりません"));
  EXPECT_TRUE(text.contains(dir.path() + "/rider.html"));
  QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(RiderDlg, EveryShowingLoadsThePageAnewAndLinksOpenOutside) {
  QTemporaryDir dir;
  const QString page = dir.path() + "/rider.html";
  ASSERT_TRUE(WritePage(page, "<html><body><p>first</p></body></html>"));
  TRiderDlg dialog(nullptr, dir.path());
  dialog.show();
  EXPECT_TRUE(dialog.WebBrowser1->toPlainText().contains("first"));
  dialog.hide();
  ASSERT_TRUE(WritePage(page, "<html><body><p>see <a href=\"http://site.test/page\">outside</a></p></body></html>"));
  dialog.show();
  ASSERT_TRUE(dialog.WebBrowser1->toPlainText().contains("outside"));

  UrlRecorder recorder;
  QTextCursor link = dialog.WebBrowser1->document()->find("outside");
  ASSERT_FALSE(link.isNull());
  link.setPosition(link.position() - 3);  // inside the word
  const QPoint at = dialog.WebBrowser1->cursorRect(link).center();
  QTest::mouseClick(dialog.WebBrowser1->viewport(), Qt::LeftButton, {}, at);
  ASSERT_EQ(recorder.Opened.size(), 1);
  EXPECT_EQ(recorder.Opened[0], QUrl("http://site.test/page"));
  EXPECT_TRUE(dialog.WebBrowser1->toPlainText().contains("outside"));  // the page stays
}

}  // namespace
}  // namespace merolune
