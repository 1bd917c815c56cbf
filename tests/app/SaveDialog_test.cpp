// The save dialog as a user works it: a file type chosen, a name typed without an extension, Save.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>

#include "ErrorBox.h"
#include "SoundDevice.h"
#include "TempDir.h"
#include "Unit1.h"

namespace merolune {
namespace {

struct FileTypeCase {
  const char* name;
  int index;  // in the dialog's list of file types
  const char* extension;
};

class SaveDialogTest : public ::testing::TestWithParam<FileTypeCase> {};

TEST_P(SaveDialogTest, ANameTypedWithoutExtensionGetsTheChosenTypes) {
  // Qt's own dialog, whose widgets the test can reach, on every platform theme.
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  SetErrorBoxHook([](const QString&, const QString& text) { ADD_FAILURE() << text.toStdString(); });
  test::TempDir dir;
  KeepSoundOutputUntilExit();  // as the program does: ALSA's probed plugins stay loaded
  TForm1 form;
  form.show();
  const QString folder = QString::fromStdString(dir.Path());
  form.Edit2->setText(folder + "/song_cc.wav");

  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    seen = true;
    auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    auto* buttons = dialog->findChild<QDialogButtonBox*>("buttonBox");
    if (!types || !name || !buttons) {
      dialog->reject();
      FAIL() << "the dialog's widgets are not there";
    }
    EXPECT_EQ(types->currentIndex(), 0);
    // Through the keyboard, as a user picks from the list: to the end and back first, so that the
    // default type too is chosen rather than left.
    types->setFocus();
    QTest::keyClick(types, Qt::Key_End);
    QTest::keyClick(types, Qt::Key_Home);
    for (int step = 0; step < GetParam().index; ++step) QTest::keyClick(types, Qt::Key_Down);
    EXPECT_EQ(types->currentIndex(), GetParam().index);
    name->clear();
    QTest::keyClicks(name, "typed");
    buttons->button(QDialogButtonBox::Save)->click();
    if (dialog->isVisible()) dialog->reject();
  });
  form.Button3->click();
  EXPECT_TRUE(seen);
  EXPECT_EQ(form.Edit2->text(), folder + "/typed" + GetParam().extension);
  SetErrorBoxHook(nullptr);
}

const FileTypeCase kFileTypes[] = {
    {"wav", 0, ".wav"}, {"ogg", 1, ".ogg"},   {"mp3", 2, ".mp3"},   {"ape", 3, ".ape"},
    {"wma", 4, ".wma"}, {"flac", 5, ".flac"}, {"opus", 6, ".opus"}, {"m4a", 7, ".m4a"}, {"allFiles", 8, ".wav"},
};

INSTANTIATE_TEST_SUITE_P(FileTypes, SaveDialogTest, ::testing::ValuesIn(kFileTypes),
                         [](const ::testing::TestParamInfo<FileTypeCase>& param) {
                           return param.param.name;
                         });

}  // namespace
}  // namespace merolune
