// The encoding settings dialog: pages, lists, defaults, the values its controls stand for, ShowPage.

#include "EncsetDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <vector>

#include "Pixels.h"

namespace merolune {
namespace {

// The lists as the user sees them, written out here independently of the dialog's own tables.
const std::vector<const char*> kApe{"最速 (Fast)", "標準 (Normal)", "高品質 (High)", "最高品質 (Extra-High)"};
const std::vector<const char*> kMp3{"8",  "16",  "24",  "32",  "40",  "48",  "56",  "64",  "80",
                                    "96", "112", "128", "144", "160", "192", "224", "256", "320"};
const std::vector<const char*> kWma{"5",  "6",  "8",  "10",  "12",  "16",  "20",  "22",  "32",  "40", "48",
                                    "64", "80", "96", "112", "128", "160", "192", "224", "256", "320"};

void ExpectItems(const QComboBox& box, const std::vector<const char*>& items) {
  ASSERT_EQ(box.count(), static_cast<int>(items.size()));
  for (int i = 0; i < box.count(); ++i) {
    EXPECT_EQ(box.itemText(i), QString::fromUtf8(items[static_cast<std::size_t>(i)])) << "item " << i;
  }
  EXPECT_FALSE(box.isEditable());
}

class EncsetDlgTest : public ::testing::Test {
 protected:
  ~EncsetDlgTest() override { TEncsetDlg::ModalHook = nullptr; }

  // Shows the dialog so that the page control lays its pages out, as it would on screen.
  void ShowLaidOut() {
    dlg.show();
    QCoreApplication::processEvents();
  }

  TEncsetDlg dlg;
};

// ---------------------------------------------------------------------------------------------
// The window.

TEST_F(EncsetDlgTest, IsAFixedSizeModalDialogCentredOnTheDesktop) {
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("エンコード"));
  EXPECT_TRUE(dlg.isModal());
  EXPECT_EQ(dlg.size(), QSize(289, 216));
  EXPECT_EQ(dlg.minimumSize(), QSize(289, 216));
  EXPECT_EQ(dlg.maximumSize(), QSize(289, 216));
  const Qt::WindowFlags flags = dlg.windowFlags();
  EXPECT_EQ(dlg.windowType(), Qt::Dialog);
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));

  const QPoint desktopCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
  const QPoint centre = dlg.frameGeometry().center();
  // A title bar, where the platform draws one, may shift the client area by its height.
  EXPECT_LE(std::abs(centre.x() - desktopCentre.x()), 2);
  EXPECT_LE(std::abs(centre.y() - desktopCentre.y()), 40);
}

TEST_F(EncsetDlgTest, HasEightPagesInOrderAndAnOkButton) {
  const char* const titles[] = {"Ape", "Ogg", "MP3", "FLAC", "WMA", "Opus", "AAC", "Lisences"};
  ASSERT_EQ(dlg.PageControl1->count(), 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(dlg.PageControl1->tabText(i), QString::fromUtf8(titles[i])) << i;
  const QWidget* sheets[] = {dlg.TabSheet1, dlg.TabSheet2, dlg.TabSheet3, dlg.TabSheet4,
                             dlg.TabSheet5, dlg.TabSheet7, dlg.TabSheet8, dlg.TabSheet6};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(dlg.PageControl1->widget(i), sheets[i]) << i;
  EXPECT_EQ(dlg.Button1->text(), QStringLiteral("OK"));

  // Every title shows in full: no tab is narrower than its text or cut off the bar.
  ShowLaidOut();
  const QTabBar* bar = dlg.PageControl1->tabBar();
  EXPECT_LE(bar->width(), dlg.PageControl1->width());
  for (int i = 0; i < 8; ++i) {
    EXPECT_GT(bar->tabRect(i).width(), bar->fontMetrics().horizontalAdvance(bar->tabText(i))) << titles[i];
    EXPECT_LE(bar->tabRect(i).right(), dlg.PageControl1->width() - 1) << titles[i];
  }
}

TEST_F(EncsetDlgTest, PagesCarryTheirCaptionsAndControls) {
  EXPECT_EQ(dlg.Label1->text(), QStringLiteral("品質:"));
  EXPECT_EQ(dlg.Label2->text(), QStringLiteral("クオリティ:"));
  EXPECT_EQ(dlg.Label3->text(), QStringLiteral("ビットレート:"));
  EXPECT_EQ(dlg.Label4->text(), QStringLiteral("Kbps"));
  EXPECT_EQ(dlg.Label5->text(), QStringLiteral("クオリティ:"));
  EXPECT_EQ(dlg.Label6->text(), QStringLiteral("ビットレート:"));
  EXPECT_EQ(dlg.Label7->text(), QStringLiteral("Kbps"));
  EXPECT_EQ(dlg.CheckBox1->text(), QStringLiteral("デフォルト"));

  const std::vector<std::pair<QWidget*, std::vector<QWidget*>>> pages{
      {dlg.TabSheet1, {dlg.Label1, dlg.ComboBox3}},
      {dlg.TabSheet2, {dlg.Label2, dlg.TrackBar1, dlg.Label8}},
      {dlg.TabSheet3, {dlg.Label3, dlg.ComboBox1, dlg.Label4}},
      {dlg.TabSheet4, {dlg.Label5, dlg.TrackBar2, dlg.Label9, dlg.CheckBox1}},
      {dlg.TabSheet5, {dlg.Label6, dlg.ComboBox4, dlg.Label7}},
      {dlg.TabSheet7, {dlg.Label10, dlg.ComboBox5, dlg.Label11}},
      {dlg.TabSheet8, {dlg.Label12, dlg.ComboBox6, dlg.Label13}},
      {dlg.TabSheet6, {dlg.Memo1}},
  };
  ShowLaidOut();
  for (std::size_t p = 0; p < pages.size(); ++p) {
    const auto& [page, controls] = pages[p];
    const QRect area(QPoint(0, 0), page->size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
      EXPECT_EQ(controls[i]->parentWidget(), page) << "page " << p << " control " << i;
      EXPECT_TRUE(area.contains(controls[i]->geometry())) << "page " << p << " control " << i;
      for (std::size_t j = i + 1; j < controls.size(); ++j) {
        EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
            << "page " << p << ": " << i << " overlaps " << j;
      }
    }
  }
  const QRect client(QPoint(0, 0), dlg.size());
  EXPECT_TRUE(client.contains(dlg.PageControl1->geometry()));
  EXPECT_TRUE(client.contains(dlg.Button1->geometry()));
  EXPECT_FALSE(dlg.PageControl1->geometry().intersects(dlg.Button1->geometry()));
}

// ---------------------------------------------------------------------------------------------
// The settings and the values they stand for.

TEST_F(EncsetDlgTest, ListsHoldTheirItemsInOrder) {
  ExpectItems(*dlg.ComboBox3, kApe);
  ExpectItems(*dlg.ComboBox1, kMp3);
  ExpectItems(*dlg.ComboBox4, kWma);
}

TEST_F(EncsetDlgTest, TrackBarsCoverTheirRanges) {
  EXPECT_EQ(dlg.TrackBar1->minimum(), -1);
  EXPECT_EQ(dlg.TrackBar1->maximum(), 10);
  EXPECT_EQ(dlg.TrackBar2->minimum(), 0);
  EXPECT_EQ(dlg.TrackBar2->maximum(), 8);
  EXPECT_EQ(dlg.TrackBar1->orientation(), Qt::Horizontal);
  EXPECT_EQ(dlg.TrackBar2->orientation(), Qt::Horizontal);
}

TEST_F(EncsetDlgTest, StartsWithTheDefaultSettings) {
  EXPECT_EQ(dlg.ComboBox3->currentText(), QStringLiteral("標準 (Normal)"));
  EXPECT_EQ(dlg.TrackBar1->value(), 5);
  EXPECT_EQ(dlg.ComboBox1->currentText(), QStringLiteral("192"));
  EXPECT_EQ(dlg.TrackBar2->value(), 4);
  EXPECT_TRUE(dlg.CheckBox1->isChecked());
  EXPECT_EQ(dlg.ComboBox4->currentText(), QStringLiteral("96"));

  EXPECT_EQ(dlg.ApeLevel(), 2000);
  EXPECT_DOUBLE_EQ(dlg.OggQuality(), 0.5);
  EXPECT_EQ(dlg.Mp3Kbps(), 192);
  EXPECT_EQ(dlg.FlacLevel(), -1);
  EXPECT_EQ(dlg.WmaKbps(), 96);
  EXPECT_EQ(dlg.OpusKbps(), 128);
  EXPECT_EQ(dlg.AacKbps(), 192);
}

TEST_F(EncsetDlgTest, ApeItemsGiveLevelsOneToFourThousand) {
  const int levels[] = {1000, 2000, 3000, 4000};
  for (int i = 0; i < 4; ++i) {
    dlg.ComboBox3->setCurrentIndex(i);
    EXPECT_EQ(dlg.ApeLevel(), levels[i]) << kApe[static_cast<std::size_t>(i)];
  }
}

TEST_F(EncsetDlgTest, OggQualityRunsFromMinusATenthToOne) {
  dlg.TrackBar1->setValue(-1);
  EXPECT_DOUBLE_EQ(dlg.OggQuality(), -0.1);
  dlg.TrackBar1->setValue(10);
  EXPECT_DOUBLE_EQ(dlg.OggQuality(), 1.0);
  dlg.TrackBar1->setValue(3);
  EXPECT_DOUBLE_EQ(dlg.OggQuality(), 0.3);
}

TEST_F(EncsetDlgTest, FlacLevelIsDetailedWhileTickedElseThePosition) {
  dlg.TrackBar2->setValue(8);
  EXPECT_EQ(dlg.FlacLevel(), -1);
  dlg.CheckBox1->setChecked(false);
  EXPECT_EQ(dlg.FlacLevel(), 8);
  dlg.TrackBar2->setValue(0);
  EXPECT_EQ(dlg.FlacLevel(), 0);
}

TEST_F(EncsetDlgTest, BitRatesAreTheSelectedNumbers) {
  dlg.ComboBox1->setCurrentIndex(0);
  EXPECT_EQ(dlg.Mp3Kbps(), 8);
  dlg.ComboBox1->setCurrentIndex(dlg.ComboBox1->count() - 1);
  EXPECT_EQ(dlg.Mp3Kbps(), 320);
  dlg.ComboBox4->setCurrentIndex(0);
  EXPECT_EQ(dlg.WmaKbps(), 5);
  dlg.ComboBox4->setCurrentIndex(dlg.ComboBox4->count() - 1);
  EXPECT_EQ(dlg.WmaKbps(), 320);
  // Every item reads back as the number it shows.
  for (std::size_t i = 0; i < kWma.size(); ++i) {
    dlg.ComboBox4->setCurrentIndex(static_cast<int>(i));
    EXPECT_EQ(dlg.WmaKbps(), std::atoi(kWma[i]));
  }
}

TEST_F(EncsetDlgTest, TrackBarPositionsShowAsNumbers) {
  EXPECT_EQ(dlg.Label8->text(), QStringLiteral("5"));
  EXPECT_EQ(dlg.Label9->text(), QStringLiteral("4"));
  dlg.TrackBar1->setValue(-1);
  EXPECT_EQ(dlg.Label8->text(), QStringLiteral("-1"));
  dlg.TrackBar2->setValue(8);
  EXPECT_EQ(dlg.Label9->text(), QStringLiteral("8"));
}

TEST_F(EncsetDlgTest, SettersTakeOfferedValuesAndRefuseOthers) {
  EXPECT_TRUE(dlg.SetApeItem(3));
  EXPECT_EQ(dlg.ApeLevel(), 4000);
  EXPECT_FALSE(dlg.SetApeItem(4));
  EXPECT_FALSE(dlg.SetApeItem(-1));
  EXPECT_EQ(dlg.ApeLevel(), 4000);

  EXPECT_TRUE(dlg.SetOggPosition(-1));
  EXPECT_DOUBLE_EQ(dlg.OggQuality(), -0.1);
  EXPECT_FALSE(dlg.SetOggPosition(11));
  EXPECT_FALSE(dlg.SetOggPosition(-2));
  EXPECT_DOUBLE_EQ(dlg.OggQuality(), -0.1);

  EXPECT_TRUE(dlg.SetMp3Kbps(320));
  EXPECT_EQ(dlg.Mp3Kbps(), 320);
  EXPECT_FALSE(dlg.SetMp3Kbps(100));  // not a listed rate
  EXPECT_EQ(dlg.Mp3Kbps(), 320);

  EXPECT_TRUE(dlg.SetFlacLevel(0));
  EXPECT_FALSE(dlg.CheckBox1->isChecked());
  EXPECT_EQ(dlg.FlacLevel(), 0);
  EXPECT_FALSE(dlg.SetFlacLevel(9));
  EXPECT_FALSE(dlg.SetFlacLevel(-2));
  EXPECT_EQ(dlg.FlacLevel(), 0);
  EXPECT_TRUE(dlg.SetFlacLevel(-1));
  EXPECT_TRUE(dlg.CheckBox1->isChecked());
  EXPECT_EQ(dlg.FlacLevel(), -1);

  EXPECT_TRUE(dlg.SetWmaKbps(5));
  EXPECT_EQ(dlg.WmaKbps(), 5);
  EXPECT_FALSE(dlg.SetWmaKbps(7));
  EXPECT_FALSE(dlg.SetWmaKbps(0));
  EXPECT_EQ(dlg.WmaKbps(), 5);

  // Opus: 32 to 256 kbit/s in eleven steps.
  EXPECT_EQ(dlg.ComboBox5->count(), 11);
  EXPECT_TRUE(dlg.SetOpusKbps(32));
  EXPECT_EQ(dlg.OpusKbps(), 32);
  EXPECT_TRUE(dlg.SetOpusKbps(256));
  EXPECT_FALSE(dlg.SetOpusKbps(100));
  EXPECT_EQ(dlg.OpusKbps(), 256);

  // AAC: 64 to 320 kbit/s in ten steps.
  EXPECT_EQ(dlg.ComboBox6->count(), 10);
  EXPECT_TRUE(dlg.SetAacKbps(64));
  EXPECT_EQ(dlg.AacKbps(), 64);
  EXPECT_TRUE(dlg.SetAacKbps(320));
  EXPECT_FALSE(dlg.SetAacKbps(32));
  EXPECT_EQ(dlg.AacKbps(), 320);
}

// ---------------------------------------------------------------------------------------------
// The licences page.

TEST_F(EncsetDlgTest, LicencesAreNineReadOnlyUnwrappedLines) {
  EXPECT_TRUE(dlg.Memo1->isReadOnly());
  EXPECT_EQ(dlg.Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
  const QStringList lines = dlg.Memo1->toPlainText().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 9);
  for (const QString& line : lines) EXPECT_FALSE(line.trimmed().isEmpty());
  EXPECT_EQ(dlg.Memo1->blockCount(), 9);

  // Every library the conversions use is named with its licence.
  const QString text = dlg.Memo1->toPlainText();
  for (const char* name : {"libogg", "libvorbis", "mpg123", "LAME", "libFLAC", "FFmpeg", "Monkey's Audio",
                           "libopus", "libopusenc", "TagLib"}) {
    EXPECT_TRUE(text.contains(QString::fromUtf8(name))) << name;
  }
  for (const char* licence : {"BSD", "LGPL 2.1", "LGPL 2 or later", "MPL 1.1"}) {
    EXPECT_TRUE(text.contains(QString::fromUtf8(licence))) << licence;
  }

  // A user can still select and copy the text.
  dlg.Memo1->selectAll();
  EXPECT_TRUE(dlg.Memo1->textCursor().hasSelection());
}

// ---------------------------------------------------------------------------------------------
// Showing a page.

TEST_F(EncsetDlgTest, ShowPageSelectsThePageAndRunsTheHookInsteadOfTheModalLoop) {
  int calls = 0;
  TEncsetDlg::ModalHook = [&](TEncsetDlg& shown) {
    ++calls;
    EXPECT_EQ(&shown, &dlg);
    EXPECT_EQ(shown.PageControl1->currentIndex(), 3);
    shown.CheckBox1->setChecked(false);  // the user unticks the box and closes
  };
  dlg.ShowPage(TEncsetDlg::pgFlac);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(dlg.FlacLevel(), 4);
  EXPECT_FALSE(dlg.isVisible());

  for (int page = 0; page <= 6; ++page) {
    TEncsetDlg::ModalHook = [page](TEncsetDlg& shown) {
      EXPECT_EQ(shown.PageControl1->currentIndex(), page);
    };
    dlg.ShowPage(page);
  }
}

TEST_F(EncsetDlgTest, ShowPageLeavesTheCurrentPageForAnUnknownFormat) {
  TEncsetDlg::ModalHook = [](TEncsetDlg&) {};
  dlg.ShowPage(TEncsetDlg::pgMp3);
  for (int page : {-1, 7, 8}) {
    dlg.ShowPage(page);
    EXPECT_EQ(dlg.PageControl1->currentIndex(), 2) << page;
  }
}

TEST_F(EncsetDlgTest, ShowPageReturnsWhenOkIsPressed) {
  bool wasVisible = false;
  QTimer::singleShot(0, &dlg, [&] {
    wasVisible = dlg.isVisible();
    // The user moves the Ogg bar, then presses OK.
    dlg.TrackBar1->setValue(9);
    QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  });
  dlg.ShowPage(TEncsetDlg::pgOgg);
  EXPECT_TRUE(wasVisible);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.PageControl1->currentIndex(), 1);
  EXPECT_DOUBLE_EQ(dlg.OggQuality(), 0.9);
}

TEST_F(EncsetDlgTest, ShowPageReturnsWhenClosedOtherwiseAndKeepsTheValues) {
  QTimer::singleShot(0, &dlg, [&] {
    dlg.ComboBox4->setCurrentIndex(0);
    QTest::keyClick(&dlg, Qt::Key_Escape);
  });
  dlg.ShowPage(TEncsetDlg::pgWma);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.WmaKbps(), 5);

  QTimer::singleShot(0, &dlg, [&] { dlg.close(); });
  dlg.ShowPage(TEncsetDlg::pgApe);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.PageControl1->currentIndex(), 0);
  EXPECT_EQ(dlg.WmaKbps(), 5);
}

// The pages as drawn, saved as pictures for a person to look at when MEROLUNE_SCREENSHOT_DIR
// names a folder.
TEST_F(EncsetDlgTest, EveryPageDrawsAtTheDialogsSize) {
  ShowLaidOut();
  const char* const names[] = {"ape", "ogg", "mp3", "flac", "wma", "licences"};
  const char* dir = std::getenv("MEROLUNE_SCREENSHOT_DIR");
  for (int page = 0; page < 6; ++page) {
    dlg.PageControl1->setCurrentIndex(page);
    QCoreApplication::processEvents();
    const QImage image = test::Grab(dlg);
    ASSERT_FALSE(image.isNull());
    if (dir != nullptr) {
      QDir().mkpath(QString::fromLocal8Bit(dir));
      const QString path =
          QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("encset-%1.png").arg(names[page]));
      EXPECT_TRUE(image.save(path)) << path.toStdString();
    }
  }
}

}  // namespace
}  // namespace merolune
