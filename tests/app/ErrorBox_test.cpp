// Error boxes with long paths in them: they wrap inside the screen and show the whole text.

#include "ErrorBox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

namespace merolune {
namespace {

constexpr QChar kZeroWidthSpace(0x200B);

// A 300-character path whose directories have no spaces and whose file name alone is longer than
// most boxes are wide; the break opportunities must come from inside the runs.
QString LongPath(QChar filler) {
  QString path = "/home/user/2024/";
  path += QString(120, filler) + "/";
  path += QString(300 - path.size() - 4, filler.unicode() == 'a' ? QChar('b') : filler) + ".wav";
  return path;
}

struct BoxCase {
  const char* name;
  QString text;
  bool standard;  // through ShowStandardError, else ShowErrorBox as the job's own box
};

class ErrorBoxTest : public ::testing::TestWithParam<BoxCase> {};

TEST_P(ErrorBoxTest, ALongPathWrapsInsideTheScreenAndShowsWhole) {
  ASSERT_EQ(LongPath('a').size(), 300);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  QRect frame;
  QString shown;
  int labelWidth = 0, neededWidth = 0, labelHeight = 0, neededHeight = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    QCoreApplication::processEvents();
    frame = box->frameGeometry();
    shown = box->text();
    if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) {
      labelWidth = label->width();
      labelHeight = label->height();
      neededWidth = label->minimumSizeHint().width();
      neededHeight = label->heightForWidth(label->width());
    }
    box->accept();
  });
  if (GetParam().standard) {
    ShowStandardError(nullptr, GetParam().text.toStdString());
  } else {
    ShowErrorBox(nullptr, "エラー", GetParam().text);
  }
  EXPECT_LE(frame.width(), screen.width());
  EXPECT_TRUE(screen.contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width();
  // Nothing is cut off: the label is as wide as its widest unbreakable piece and as tall as its lines.
  EXPECT_GT(labelWidth, 0);
  EXPECT_LE(neededWidth, labelWidth);
  EXPECT_LE(neededHeight, labelHeight);
  // The box reads the same as the message, break opportunities aside.
  QString read = shown;
  read.remove(kZeroWidthSpace);
  EXPECT_EQ(read, GetParam().standard ? StandardErrorText(GetParam().text.toStdString()) : GetParam().text);
}

const BoxCase kBoxCases[] = {
    {"path", LongPath('a'), true},
    {"messageAndPath", QString::fromUtf8("デコードに失敗しました: ") + LongPath('x') + " (bad header)", true},
    {"japanesePath", LongPath(QChar(0x3042)), false},
    {"markupLikePath", "/tmp/<b>" + LongPath('c'), false},
};

INSTANTIATE_TEST_SUITE_P(LongPaths, ErrorBoxTest, ::testing::ValuesIn(kBoxCases),
                         [](const ::testing::TestParamInfo<BoxCase>& param) { return param.param.name; });

TEST(BreakableText, BreaksAfterSlashesAndInsideLongRunsOnly) {
  const QString z(kZeroWidthSpace);
  EXPECT_EQ(BreakableText("/a/b c"), "/" + z + "a/" + z + "b c");
  EXPECT_EQ(BreakableText(QString(16, 'x')), QString(16, 'x'));
  EXPECT_EQ(BreakableText(QString(40, 'x')), QString(16, 'x') + z + QString(16, 'x') + z + QString(8, 'x'));
  EXPECT_EQ(BreakableText(QString(20, 'x') + " " + QString(10, 'y')),
            QString(16, 'x') + z + QString(4, 'x') + " " + QString(10, 'y'));
  // A character outside the basic plane, and a combining mark, are never split from their parts.
  // Both fall where a break is due.
  const QString clef = QString::fromUcs4(U"\U0001D11E");
  for (const QString& run : {QString(15, 'x') + clef + QString(20, 'x'), QString(15, 'x') + "e\u0301" + QString(20, 'x')}) {
    const QString breakable = BreakableText(run);
    EXPECT_EQ(breakable.count(z), 2) << run.toStdString();
    for (const QString& piece : breakable.split(z)) {
      EXPECT_FALSE(piece.isEmpty());
      EXPECT_FALSE(piece.front().isLowSurrogate() || piece.front().isMark()) << piece.toStdString();
    }
    EXPECT_EQ(QString(breakable).remove(kZeroWidthSpace), run);
  }
}

}  // namespace
}  // namespace merolune
