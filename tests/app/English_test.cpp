// The interface language: chosen by MEROLUNE_LANG or the locale, and in English no Japanese text
// left in any window or dialog.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "EncsetDlg.h"
#include "ErrorBox.h"
#include "HelpFiles.h"
#include "Language.h"
#include "ReductionJob.h"
#include "SoundDevice.h"
#include "TempDir.h"
#include "Translation.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit6.h"
#include "Unit7.h"
#include "Unit8.h"

namespace merolune {
namespace {

// Sets the four variables for one case (unset when absent) and puts them back afterwards.
class Environment {
 public:
  explicit Environment(const std::map<std::string, std::string>& values) {
    for (const char* name : kNames) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      const auto it = values.find(name);
      if (it == values.end())
        ::unsetenv(name);
      else
        ::setenv(name, it->second.c_str(), 1);
    }
  }
  ~Environment() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  static constexpr const char* kNames[] = {"MEROLUNE_LANG", "LC_ALL", "LC_MESSAGES", "LANG"};
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(LanguageTest, TheVariableThenTheLocaleChoose) {
  struct Case {
    std::map<std::string, std::string> env;
    Language expected;
  };
  const Case cases[] = {
      {{}, Language::English},
      {{{"LANG", "C"}}, Language::English},
      {{{"LANG", "ja_JP.UTF-8"}}, Language::Japanese},
      {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "ja_JP.UTF-8"}}, Language::Japanese},
      {{{"LANG", "ja_JP.UTF-8"}, {"LC_ALL", "C.UTF-8"}}, Language::English},
      {{{"LANG", "ja_JP.UTF-8"}, {"LC_ALL", ""}}, Language::Japanese},  // empty counts as unset
      {{{"LANG", "ja_JP.UTF-8"}, {"MEROLUNE_LANG", "en"}}, Language::English},
      {{{"LANG", "C"}, {"MEROLUNE_LANG", "ja"}}, Language::Japanese},
      {{{"LANG", "ja_JP.UTF-8"}, {"MEROLUNE_LANG", "fr"}}, Language::Japanese},  // not ours: the locale
  };
  for (const Case& c : cases) {
    Environment env(c.env);
    std::string trace;
    for (const auto& [name, value] : c.env) trace += name + "=" + value + " ";
    SCOPED_TRACE(trace);
    EXPECT_EQ(InterfaceLanguage(), c.expected);
  }
}

// Every text a user can see on `root` and the widgets and menus below it.
QStringList VisibleTexts(QWidget& root) {
  QStringList texts{root.windowTitle()};
  QList<QWidget*> widgets = root.findChildren<QWidget*>();
  widgets.prepend(&root);
  for (QWidget* w : widgets) {
    texts << w->toolTip();
    if (auto* label = qobject_cast<QLabel*>(w)) texts << label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) texts << button->text();
    if (auto* box = qobject_cast<QGroupBox*>(w)) texts << box->title();
    if (auto* combo = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < combo->count(); ++i) texts << combo->itemText(i);
    if (auto* tabs = qobject_cast<QTabWidget*>(w))
      for (int i = 0; i < tabs->count(); ++i) texts << tabs->tabText(i);
    if (auto* menu = qobject_cast<QMenu*>(w)) texts << menu->title();
    for (const QAction* action : w->actions()) texts << action->text() << action->toolTip();
  }
  return texts;
}

QStringList Japanese(const QStringList& texts) {
  static const QRegularExpression kana(
      QStringLiteral("[\\x{3040}-\\x{30ff}\\x{4e00}-\\x{9fff}\\x{ff01}-\\x{ff5e}]"));
  QStringList found;
  for (const QString& text : texts)
    if (text.contains(kana)) found << text;
  return found;
}

// Under English no window or dialog shows Japanese; under Japanese they show their own texts, as
// without a translation.
TEST(EnglishTest, TheWindowsShowNoJapaneseInEnglish) {
  KeepSoundOutputUntilExit();
  {
    Environment english(std::map<std::string, std::string>{{"MEROLUNE_LANG", "en"}});
    ASSERT_TRUE(InstallTranslation(*qApp));
    TForm1 form;
    TTuneDlg tune;
    TEncsetDlg encoding;
    TSendMsgDlg message;
    TRiderDlg explanation;
    TVersionDlg version;
    QStringList left;
    for (QWidget* window :
         std::initializer_list<QWidget*>{&form, &tune, &encoding, &message, &explanation, &version})
      left << Japanese(VisibleTexts(*window));
    EXPECT_TRUE(left.isEmpty()) << left.join(" | ").toStdString();
    EXPECT_EQ(form.Button1->text(), "Make Karaoke");
    EXPECT_EQ(tune.windowTitle(), "Karaoke Tuning");
    EXPECT_FALSE(MissingRiderPage("/nowhere/rider.html").contains(QStringLiteral("見つかりません")));
  }
  // Japanese needs no translation.
  Environment japanese(std::map<std::string, std::string>{{"LANG", "ja_JP.UTF-8"}});
  EXPECT_FALSE(InstallTranslation(*qApp));
}

// Under English the job's boxes, the standard error box's text and the explanation page are
// English too; a file name in a message stays as it is.
TEST(EnglishTest, TheMessagesAndTheExplanationPageAreEnglish) {
  KeepSoundOutputUntilExit();
  Environment english(std::map<std::string, std::string>{{"MEROLUNE_LANG", "en"}});
  ASSERT_TRUE(InstallTranslation(*qApp));
  test::TempDir dir;
  std::vector<std::pair<QString, QString>> boxes;
  SetErrorBoxHook([&](const QString& title, const QString& text) { boxes.emplace_back(title, text); });
  {
    TForm1 form;
    QString question;
    form.OverwriteQuestionHook = [&](const QString& text) {
      question = text;
      return false;
    };
    const std::string folder = dir.File("曲.wav");
    std::filesystem::create_directory(folder);
    const std::string existing = dir.File("exists.wav");
    std::ofstream(existing) << "x";
    for (const auto& [source, destination] :
         {std::pair{dir.File("missing.wav"), dir.File("out.wav")}, std::pair{folder, dir.File("out.wav")},
          std::pair{existing, existing}}) {
      form.Edit1->setText(QString::fromStdString(source));
      form.Edit2->setText(QString::fromStdString(destination));
      form.Button1->click();
    }
    EXPECT_EQ(question, "The destination file already exists. Overwrite it?");
  }
  SetErrorBoxHook(nullptr);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0],
            std::pair(QString("Error"), QString("The source file does not exist. Please check the path.")));
  EXPECT_EQ(boxes[1],
            std::pair(QString("Error"),
                      QString::fromStdString("The source is not a regular file: " + dir.File("曲.wav"))));
  // The standard box's full stop follows the English text: none after ")", one after a letter.
  EXPECT_EQ(StandardErrorText(ChannelCountMessage(4)),
            QString("Not stereo: this file has 4 channels (only 2-channel stereo is supported)"));
  EXPECT_EQ(StandardErrorText(kNotStereo), QString("Not stereo."));

  // The English page first, then the program's own; the English one is reported missing.
  const std::string bin = dir.File("bin");
  std::filesystem::create_directory(bin);
  const QString qbin = QString::fromStdString(bin);
  EXPECT_EQ(RiderPagePath(qbin), qbin + "/rider_en.html");
  std::ofstream(bin + "/rider.html") << "<html></html>";
  EXPECT_EQ(RiderPagePath(qbin), qbin + "/rider.html");
  std::ofstream(bin + "/rider_en.html") << "<html></html>";
  EXPECT_EQ(RiderPagePath(qbin), qbin + "/rider_en.html");
  // The English page itself reads in English.
  std::ifstream page(MEROLUNE_SOURCE_DIR "/app/rider_en.html");
  std::stringstream text;
  text << page.rdbuf();
  ASSERT_FALSE(text.str().empty());
  EXPECT_TRUE(Japanese({QString::fromStdString(text.str())}).isEmpty());
}

}  // namespace
}  // namespace merolune
