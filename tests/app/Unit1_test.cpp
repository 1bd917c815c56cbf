// The main window driven as a user would: files, runs, cancel, questions, locks, toggles, drops.

#include "Unit1.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "Banners.h"
#include "Convert.h"
#include "EncsetDlg.h"
#include "PeerTools.h"
#include "ErrorBox.h"
#include "PeerTools.h"
#include "Signals.h"
#include "SoundDevice.h"
#include "TempDir.h"
#include "Unit2.h"
#include "WavFile.h"

namespace merolune {
namespace {

using test::TempDir;

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The job's own boxes (titled "エラー") apart from the standard error box (the program's name).
    SetErrorBoxHook([this](const QString& title, const QString& text) {
      (title == "エラー" ? messageBoxes_ : errorBoxes_).push_back({title, text});
    });
    KeepSoundOutputUntilExit();  // as the program does: ALSA's probed plugins stay loaded
    form_ = std::make_unique<TForm1>();
    form_->show();
    QApplication::setActiveWindow(form_.get());
  }
  void TearDown() override {
    form_.reset();
    SetErrorBoxHook(nullptr);
  }

  std::string Song(const std::string& name, std::size_t frames, int channels = 2) {
    test::WavSpec wav;
    wav.Channels = static_cast<std::uint16_t>(channels);
    const auto samples = test::SongLike(frames, 44100, 5);
    wav.Data = test::SampleBytes(samples);
    const std::string path = dir_.File(name);
    test::WriteBytes(path, test::MakeWav(wav));
    return path;
  }

  void SetPaths(const std::string& source, const std::string& destination) {
    form_->Edit1->setText(QString::fromStdString(source));
    form_->Edit2->setText(QString::fromStdString(destination));
  }

  // Runs `probe` the first time the job pumps events during its block loop.
  void DuringJob(std::function<void()> probe) {
    auto* timer = new QTimer(form_.get());
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, form_.get(), [this, timer, probe] {
      // The conversion phases move the bar too, but with the window disabled.
      if (!form_->JobRunning() || !form_->isEnabled() || form_->ProgressBar1->value() == 0) return;
      timer->stop();
      probe();
    });
    timer->start();
  }

  TempDir dir_;
  std::unique_ptr<TForm1> form_;
  std::vector<std::pair<QString, QString>> errorBoxes_;
  std::vector<std::pair<QString, QString>> messageBoxes_;
};

TEST(MainWindowPaths, DefaultDestinationAndExtensionReplacement) {
  EXPECT_EQ(DefaultDestination("/music/song.mp3"), "/music/song_cc.wav");
  EXPECT_EQ(DefaultDestination("/music.old/song"), "/music.old/song_cc.wav");
  EXPECT_EQ(DefaultDestination("/a/b.c/track"), "/a/b.c/track_cc.wav");
  EXPECT_EQ(ReplaceExtension("/out/song_cc.wav", ".mp3"), "/out/song_cc.mp3");
  EXPECT_EQ(ReplaceExtension("", ".mp3"), ".mp3");
}

TEST_F(MainWindowTest, OpeningASourceSetsItsDefaultDestinationAndCancelChangesNothing) {
  form_->Edit2->setText("/typed/before.wav");
  form_->OpenDialogHook = [](const QString& current) -> std::optional<QString> {
    EXPECT_EQ(current, "");
    return QString("/music/song.flac");
  };
  form_->ToolButton1->click();
  EXPECT_EQ(form_->Edit1->text(), "/music/song.flac");
  EXPECT_EQ(form_->Edit2->text(), "/music/song_cc.wav");
  form_->OpenDialogHook = [](const QString&) -> std::optional<QString> { return std::nullopt; };
  form_->Button2->click();
  EXPECT_EQ(form_->Edit1->text(), "/music/song.flac");
  form_->SaveDialogHook = [](const QString& current) -> std::optional<QString> {
    EXPECT_EQ(current, "/music/song_cc.wav");
    return QString("/elsewhere/k.ogg");
  };
  form_->S1->trigger();
  EXPECT_EQ(form_->Edit2->text(), "/elsewhere/k.ogg");
}

TEST_F(MainWindowTest, SaveFormatMenuRewritesTheExtensionAndOverwriteSwitchToggles) {
  form_->Edit2->setText("/out/x_cc.wav");
  form_->SaveFormats[4]->trigger();
  EXPECT_EQ(form_->Edit2->text(), "/out/x_cc.flac");
  form_->SaveFormats[4]->trigger();
  EXPECT_EQ(form_->Edit2->text(), "/out/x_cc.flac");
  form_->SaveFormats[1]->trigger();
  EXPECT_EQ(form_->Edit2->text(), "/out/x_cc.mp3");
  EXPECT_FALSE(form_->Dontconfirmoverwrite1->isChecked());
  form_->Dontconfirmoverwrite1->trigger();
  EXPECT_TRUE(form_->Dontconfirmoverwrite1->isChecked());
}

TEST_F(MainWindowTest, FilesDroppedOnTheWindowGiveTheFirstAsSource) {
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile("/b/first.mp3"), QUrl::fromLocalFile("/b/second.wav")});
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form_.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form_.get(), &drop);
  EXPECT_EQ(form_->Edit1->text(), "/b/first.mp3");
  EXPECT_EQ(form_->Edit2->text(), "/b/first_cc.wav");

  form_->KAddDrop1DropFiles({"/a/one.wav", "/a/two.wav", "/a/three.wav"});
  EXPECT_EQ(form_->Edit1->text(), "/a/one.wav");
  EXPECT_EQ(form_->Edit2->text(), "/a/one_cc.wav");
  form_->KAddDrop1DropFiles({});
  EXPECT_EQ(form_->Edit1->text(), "/a/one.wav");
}

TEST_F(MainWindowTest, InverseAndEnhancerReleaseEachOtherOnClick) {
  form_->ToolButton12->click();
  EXPECT_TRUE(form_->ToolButton12->isChecked());
  form_->ToolButton10->click();
  EXPECT_TRUE(form_->ToolButton10->isChecked());
  EXPECT_FALSE(form_->ToolButton12->isChecked());
  form_->ToolButton10->click();
  EXPECT_FALSE(form_->ToolButton10->isChecked());
  EXPECT_FALSE(form_->ToolButton12->isChecked());
  form_->ToolButton13->click();
  form_->ToolButton11->click();
  EXPECT_TRUE(form_->ToolButton13->isChecked());
  EXPECT_TRUE(form_->ToolButton11->isChecked());
}

TEST_F(MainWindowTest, RunningAJobWritesTheKaraokeTrackAndUnlocksAfterwards) {
  const std::string destination = dir_.File("out.wav");
  SetPaths(Song("song.wav", 44100), destination);
  std::vector<bool> locked;
  DuringJob([&] {
    locked = {!form_->Button1->isEnabled(),
              !form_->ToolButton3->isEnabled(),
              !form_->FileMenu->menuAction()->isEnabled(),
              !form_->OptionMenu->menuAction()->isEnabled(),
              !form_->HelpMenu->menuAction()->isEnabled(),
              !form_->SpeedButton1->isEnabled(),
              form_->TuneDlg->StaticText1->isVisibleTo(form_->TuneDlg.get()),
              form_->BitBtn1->isEnabled(),
              form_->Edit1->isEnabled()};
  });
  form_->ToolButton3->click();
  EXPECT_EQ(locked, std::vector<bool>(9, true));
  EXPECT_EQ(test::ReadResultWav(destination, 44100).size(), 2u * 44100);
  EXPECT_TRUE(form_->Button1->isEnabled());
  EXPECT_TRUE(form_->ToolButton3->isEnabled());
  EXPECT_TRUE(form_->FileMenu->menuAction()->isEnabled());
  EXPECT_FALSE(form_->TuneDlg->StaticText1->isVisibleTo(form_->TuneDlg.get()));
  EXPECT_EQ(form_->ProgressBar1->value(), 0);
  EXPECT_TRUE(errorBoxes_.empty());
  EXPECT_TRUE(messageBoxes_.empty());
}

TEST_F(MainWindowTest, EscapeAndTheToolbarCancelARunningJob) {
  for (int way = 0; way < 2; ++way) {
    const std::string destination = dir_.File("out" + std::to_string(way) + ".wav");
    SetPaths(Song("long.wav", 44100 * 60), destination);
    DuringJob([&, way] {
      if (way == 0) {
        QTest::keyClick(form_.get(), Qt::Key_Escape);
      } else {
        form_->ToolButton5->click();
      }
    });
    form_->Button1->click();
    EXPECT_FALSE(std::filesystem::exists(destination)) << way;
    EXPECT_TRUE(std::filesystem::exists(form_->Job().LastOutputTempFile())) << way;
    EXPECT_TRUE(form_->Button1->isEnabled());
  }
}

TEST_F(MainWindowTest, OverwriteQuestionYesReplacesAndNoKeeps) {
  const std::string source = Song("song.wav", 5000);
  const std::string destination = dir_.File("exists.wav");
  test::WriteBytes(destination, {1, 2, 3});
  SetPaths(source, destination);
  int asked = 0;
  form_->OverwriteQuestionHook = [&](const QString& text) {
    ++asked;
    EXPECT_EQ(text, QString::fromUtf8(kConfirmOverwrite));
    return false;
  };
  form_->Button1->click();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(test::ReadBytes(destination), (std::vector<std::uint8_t>{1, 2, 3}));
  form_->OverwriteQuestionHook = [&](const QString&) {
    ++asked;
    return true;
  };
  form_->Button1->click();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(test::ReadResultWav(destination, 44100).size(), 10000u);
  form_->Dontconfirmoverwrite1->trigger();
  form_->Button1->click();
  EXPECT_EQ(asked, 2);
}

TEST_F(MainWindowTest, JobFailuresShowTheirMessages) {
  SetPaths(dir_.File("missing.wav"), dir_.File("out.wav"));
  form_->Button1->click();
  ASSERT_EQ(messageBoxes_.size(), 1u);
  EXPECT_EQ(messageBoxes_[0].first, "エラー");
  EXPECT_EQ(messageBoxes_[0].second, QString::fromUtf8(kSourceMissing));

  // Errors raised by the job go to the standard error box, titled with the program's name. A file
  // outside the six formats is read by its content, and text is no audio.
  test::WriteBytes(dir_.File("song.aiff"), std::vector<std::uint8_t>(200, 'a'));
  SetPaths(dir_.File("song.aiff"), dir_.File("out.wav"));
  form_->Button1->click();
  ASSERT_EQ(errorBoxes_.size(), 1u);
  EXPECT_EQ(errorBoxes_[0].first, ApplicationTitle());
  EXPECT_TRUE(errorBoxes_[0].second.startsWith(QString::fromUtf8(kDecodingFailed) +
                                               QString::fromStdString(dir_.File("song.aiff"))));
  EXPECT_TRUE(errorBoxes_[0].second.contains("未対応の形式です。"));

  SetPaths(Song("mono.wav", 100, 1), dir_.File("out.wav"));
  form_->Button1->click();
  ASSERT_EQ(errorBoxes_.size(), 2u);
  EXPECT_EQ(errorBoxes_[1].second, StandardErrorText(kMonoSource));

  test::WriteBytes(dir_.File("text.wav"), std::vector<std::uint8_t>(200, 'a'));
  SetPaths(dir_.File("text.wav"), dir_.File("out.wav"));
  form_->Button1->click();
  // 24 and 32 bits are narrowed when decoded; other sizes reach the job's check.
  test::WavSpec wide;
  wide.BitsPerSample = 20;
  wide.Data.assign(600, 0);
  test::WriteBytes(dir_.File("wide.wav"), test::MakeWav(wide));
  SetPaths(dir_.File("wide.wav"), dir_.File("out.wav"));
  form_->Button1->click();
  ASSERT_EQ(errorBoxes_.size(), 4u);
  EXPECT_EQ(errorBoxes_[2].second, StandardErrorText(kNotWav));
  EXPECT_EQ(errorBoxes_[3].second, "対応していない量子化ビット数です.");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.wav")));
  EXPECT_TRUE(form_->Button1->isEnabled());
  EXPECT_TRUE(form_->isEnabled());
}

// What a 1 ms timer sees while a conversion job runs: the banners shown over a disabled window.
struct ConversionWatch {
  bool decodingBanner = false;
  bool encodingBanner = false;
  bool enabledWithBanner = false;
  bool barHidden = false;  // a banner covered the progress bar

  void Look(const TForm1& window) {
    const QRect bar(window.ProgressBar1->mapToGlobal(QPoint(0, 0)), window.ProgressBar1->size());
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (!top->isVisible()) continue;
      const bool decoding = qobject_cast<TDecodingDlg*>(top) != nullptr;
      const bool encoding = qobject_cast<TEncodingDlg*>(top) != nullptr;
      decodingBanner |= decoding;
      encodingBanner |= encoding;
      if ((decoding || encoding) && window.isEnabled()) enabledWithBanner = true;
      if ((decoding || encoding) && top->frameGeometry().intersects(bar)) barHidden = true;
    }
  }
};

TEST_F(MainWindowTest, ConversionsShowTheSettingsPageAndTheBannersOverADisabledWindow) {
  std::vector<int> pages;
  TEncsetDlg::ModalHook = [&](TEncsetDlg& dialog) {
    pages.push_back(dialog.PageControl1->currentIndex());
    dialog.SetOggPosition(10);
  };
  ConversionWatch watch;
  QTimer timer;
  timer.setInterval(1);
  QObject::connect(&timer, &QTimer::timeout, [&] { watch.Look(*form_); });
  timer.start();

  const std::string ogg = dir_.File("karaoke.ogg");
  SetPaths(Song("song.wav", 3 * 44100), ogg);
  form_->Button1->click();
  EXPECT_EQ(pages, std::vector<int>{TEncsetDlg::pgOgg});
  EXPECT_TRUE(watch.encodingBanner);
  const auto encoded = test::ReadBytes(ogg);
  ASSERT_GE(encoded.size(), 4u);
  EXPECT_EQ(std::string(encoded.begin(), encoded.begin() + 4), "OggS");

  // Back to WAV: decoded behind the other banner, no settings shown for a WAV destination.
  const std::string wav = dir_.File("back.wav");
  SetPaths(ogg, wav);
  form_->Button1->click();
  EXPECT_EQ(pages.size(), 1u);
  EXPECT_TRUE(watch.decodingBanner);
  EXPECT_EQ(test::ReadResultWav(wav, 44100).size(), 2u * 3 * 44100);
  EXPECT_FALSE(watch.enabledWithBanner);
  EXPECT_FALSE(watch.barHidden);

  // A source outside the six formats, decoded by its content behind the same banner.
  watch = ConversionWatch{};
  const std::string m4a = dir_.File("song.m4a");
  ASSERT_EQ(test::RunTool({MEROLUNE_FFMPEG, "-v", "error", "-i", Song("for-m4a.wav", 44100), "-c:a", "aac", m4a}), 0);
  SetPaths(m4a, dir_.File("from-m4a.wav"));
  form_->Button1->click();
  EXPECT_TRUE(watch.decodingBanner);
  EXPECT_FALSE(watch.enabledWithBanner);
  std::string peer;
  ASSERT_EQ(test::RunTool({MEROLUNE_FFMPEG, "-v", "error", "-i", m4a, "-f", "s16le", "-"}, &peer), 0);
  // The source's length, which the file's edit list states; ffmpeg's decoding runs on through the
  // last AAC frame's padding.
  EXPECT_EQ(test::ReadResultWav(dir_.File("from-m4a.wav"), 44100).size(), 2u * 44100);
  EXPECT_GT(peer.size(), 4u * 44100);
  EXPECT_TRUE(errorBoxes_.empty());

  // A float source's overs are clipped, and a status line under the window says so until the next job.
  const int height = form_->height();
  const std::string hot = dir_.File("hot.wav");
  ASSERT_EQ(test::RunTool({MEROLUNE_FFMPEG, "-v", "error", "-f", "lavfi", "-i",
                           "aevalsrc=1.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100:d=1", "-c:a", "pcm_f32le", hot}),
            0);
  SetPaths(hot, dir_.File("from-hot.wav"));
  form_->Button1->click();
  QStatusBar* line = form_->findChild<QStatusBar*>();
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(line->isVisible());
  EXPECT_TRUE(line->currentMessage().contains("samples beyond full scale were clipped")) << line->currentMessage().toStdString();
  EXPECT_EQ(form_->height(), height + line->height());
  SetPaths(m4a, dir_.File("again.wav"));
  form_->Button1->click();
  EXPECT_FALSE(line->isVisible());
  EXPECT_EQ(form_->height(), height);

  // A source that does not decode: the message names it, and the window comes back.
  test::WriteBytes(dir_.File("junk.flac"), std::vector<std::uint8_t>(3000, 7));
  SetPaths(dir_.File("junk.flac"), dir_.File("junk.wav"));
  form_->Button1->click();
  ASSERT_EQ(errorBoxes_.size(), 1u);
  EXPECT_TRUE(errorBoxes_[0].second.startsWith(QString::fromUtf8(kDecodingFailed) +
                                               QString::fromStdString(dir_.File("junk.flac"))))
      << errorBoxes_[0].second.toStdString();
  EXPECT_TRUE(form_->isEnabled());
  for (QWidget* top : QApplication::topLevelWidgets()) {
    EXPECT_FALSE(top->isVisible() && (qobject_cast<TDecodingDlg*>(top) || qobject_cast<TEncodingDlg*>(top)));
  }
  TEncsetDlg::ModalHook = nullptr;
}

// Monkey's Audio from the window: the "Ape" page is shown, its level reaches the file's header (after
// the 52-byte descriptor), and an .ape source becomes an .ape destination behind both banners.
TEST_F(MainWindowTest, MonkeysAudioJobsUseTheApePageLevel) {
  std::vector<int> pages;
  TEncsetDlg::ModalHook = [&](TEncsetDlg& dialog) {
    pages.push_back(dialog.PageControl1->currentIndex());
    dialog.SetApeItem(pages.size() == 1 ? 3 : 0);
  };
  ConversionWatch watch;
  QTimer timer;
  timer.setInterval(1);
  QObject::connect(&timer, &QTimer::timeout, [&] { watch.Look(*form_); });
  timer.start();

  const std::string first = dir_.File("first.ape");
  SetPaths(Song("song.wav", 2 * 44100), first);
  form_->Button1->click();
  EXPECT_TRUE(watch.encodingBanner);
  EXPECT_EQ(test::U16At(test::ReadBytes(first), 52), 4000);

  watch = ConversionWatch{};
  const std::string second = dir_.File("second.ape");
  SetPaths(first, second);
  form_->Button1->click();
  EXPECT_EQ(pages, (std::vector<int>{TEncsetDlg::pgApe, TEncsetDlg::pgApe}));
  EXPECT_TRUE(watch.decodingBanner && watch.encodingBanner);
  EXPECT_FALSE(watch.enabledWithBanner);
  EXPECT_EQ(test::U16At(test::ReadBytes(second), 52), 1000);
  EXPECT_TRUE(errorBoxes_.empty() && messageBoxes_.empty());
  TEncsetDlg::ModalHook = nullptr;
}

// Opus and M4A from the window: the save-format menu's last two items give the extensions, the
// format's page is shown, and its bit rate reaches the file (opusinfo and ffprobe read it back).
TEST_F(MainWindowTest, OpusAndM4aDestinationsUseTheirPagesRate) {
  const std::string opusinfo = MEROLUNE_OPUSINFO;
  const std::string ffprobe = MEROLUNE_FFPROBE;
  if (opusinfo.empty() || ffprobe.empty()) GTEST_SKIP() << "opusinfo or ffprobe is missing";
  // The average bit rate in kbit/s as each tool states it.
  const auto opusRate = [&](const std::string& file) {
    std::string info;
    EXPECT_EQ(test::RunTool({opusinfo, file}, &info), 0);
    const std::size_t at = info.find("w/o overhead: ");
    return at == std::string::npos ? 0.0 : std::strtod(info.c_str() + at + 14, nullptr);
  };
  const auto aacRate = [&](const std::string& file) {
    std::string rate;
    EXPECT_EQ(test::RunTool({ffprobe, "-v", "error", "-show_entries", "stream=bit_rate", "-of", "csv=p=0", file},
                            &rate),
              0);
    return std::strtod(rate.c_str(), nullptr) / 1000;
  };
  struct Case {
    int menuItem;
    const char* name;
    int page;
    int kbps;
    std::function<double(const std::string&)> writtenKbps;
  };
  const Case cases[] = {{6, "song_cc.opus", TEncsetDlg::pgOpus, 64, opusRate},
                        {7, "song_cc.m4a", TEncsetDlg::pgAac, 96, aacRate}};
  const std::string song = Song("song.wav", 2 * 44100);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> pages;
    TEncsetDlg::ModalHook = [&](TEncsetDlg& dialog) {
      pages.push_back(dialog.PageControl1->currentIndex());
      dialog.SetOpusKbps(c.kbps);
      dialog.SetAacKbps(c.kbps);
    };
    SetPaths(song, dir_.File("song_cc.wav"));
    form_->SaveFormats[static_cast<std::size_t>(c.menuItem)]->trigger();
    ASSERT_EQ(form_->Edit2->text().toStdString(), dir_.File(c.name));
    form_->Button1->click();
    EXPECT_EQ(pages, std::vector<int>{c.page});
    EXPECT_NEAR(c.writtenKbps(dir_.File(c.name)), c.kbps, c.kbps * 0.15);
  }
  EXPECT_TRUE(errorBoxes_.empty() && messageBoxes_.empty());
  TEncsetDlg::ModalHook = nullptr;
}

// The window's jobs keep the source's tags: a WAV source's LIST INFO title becomes the FLAC result's
// Vorbis comment.
TEST_F(MainWindowTest, JobsKeepTheSourcesTags) {
  test::WavSpec wav;
  wav.Data = test::SampleBytes(test::SongLike(44100, 44100, 5));
  const std::string info("INFOINAM\x06\0\0\0Song!\0", 18);
  wav.After.push_back({"LIST", std::vector<std::uint8_t>(info.begin(), info.end())});
  test::WriteBytes(dir_.File("tagged.wav"), test::MakeWav(wav));
  TEncsetDlg::ModalHook = [](TEncsetDlg&) {};
  SetPaths(dir_.File("tagged.wav"), dir_.File("tagged_cc.flac"));
  form_->Button1->click();
  TEncsetDlg::ModalHook = nullptr;
  const auto flac = test::ReadBytes(dir_.File("tagged_cc.flac"));
  const std::string comment = "TITLE=Song!";
  EXPECT_NE(std::search(flac.begin(), flac.end(), comment.begin(), comment.end()), flac.end())
      << form_->statusBar()->currentMessage().toStdString();
  EXPECT_TRUE(errorBoxes_.empty() && messageBoxes_.empty());
}

// A signal in any phase of a job cancels it as the cancel button would (a conversion stops at once),
// keeps the old destination, removes the temporary files and ends the event loops with 1.
TEST_F(MainWindowTest, SignalsCancelEveryPhaseKeepTheOldFileAndEndTheLoopsWithOne) {
  const TempDir tmp;
  const QByteArray oldTmp = qgetenv("TMPDIR");
  qputenv("TMPDIR", QByteArray::fromStdString(tmp.Path()));
  TEncsetDlg::ModalHook = [](TEncsetDlg&) {};
  form_->OverwriteQuestionHook = [](const QString&) { return true; };
  form_->StopOnSignals();
  const std::string song = Song("long.wav", 44100 * 150);
  const std::string flac = dir_.File("long.flac");
  TConvForm().EncodeWavToFlac(song, flac, 0);
  const auto banner = [] {
    for (QWidget* top : QApplication::topLevelWidgets())
      if (top->isVisible() && (qobject_cast<TDecodingDlg*>(top) || qobject_cast<TEncodingDlg*>(top))) return true;
    return false;
  };
  const auto growing = [](const std::string& folder, const std::string& prefix) {
    for (const auto& e : std::filesystem::directory_iterator(folder))
      if (e.path().filename().string().rfind(prefix, 0) == 0 && e.file_size() > 44) return true;
    return false;
  };
  struct Phase {
    const char* name;
    std::string source, destination;
    bool bypass;
    std::function<bool()> running;
  };
  const Phase phases[] = {
      {"decoding", flac, dir_.File("out.wav"), false, [&] { return banner() && growing(tmp.Path(), "cc"); }},
      {"reducing", song, dir_.File("out.wav"), false,
       [&] { return !banner() && form_->ProgressBar1->value() > 0; }},
      {"encoding", song, dir_.File("out.mp3"), true, [&] { return banner() && growing(dir_.Path(), ".out.mp3.part-"); }},
  };
  const std::vector<std::uint8_t> old{'o', 'l', 'd'};
  for (const Phase& phase : phases) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
      SCOPED_TRACE(std::string(phase.name) + " " + sigabbrev_np(signal));
      test::WriteBytes(phase.destination, old);
      SetPaths(phase.source, phase.destination);
      form_->ToolButton13->setChecked(phase.bypass);
      bool sent = false;
      QTimer watch;
      watch.setInterval(1);
      QObject::connect(&watch, &QTimer::timeout, [&] {
        if (sent || !form_->JobRunning() || !phase.running()) return;
        sent = true;
        ::kill(::getpid(), signal);
      });
      watch.start();
      // The application's own loop, as in the program: once told to exit, an event loop cannot
      // start again until the application's loop is entered anew.
      QTimer::singleShot(0, form_.get(), [&] {
        // Ends the loop with 0 unless the signal's exit (1) comes later.
        QCoreApplication::exit(0);
        form_->Button1->click();
      });
      EXPECT_EQ(QApplication::exec(), 1);
      EXPECT_TRUE(sent);
      EXPECT_EQ(test::ReadBytes(phase.destination), old);
      for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
      // At most the cancelled job's partial result, kept for the monitor until the next job or the end.
      EXPECT_LE(std::distance(std::filesystem::directory_iterator(tmp.Path()), {}), 1);
      EXPECT_TRUE(form_->Button1->isEnabled());
    }
  }
  form_.reset();
  EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()));
  TEncsetDlg::ModalHook = nullptr;
  if (oldTmp.isNull()) {
    qunsetenv("TMPDIR");
  } else {
    qputenv("TMPDIR", oldTmp);
  }
}

TEST(StandardErrorBox, AppendsAFullStopAfterCharactersThatSortAfterIt) {
  EXPECT_EQ(StandardErrorText("ステレオではありません"), "ステレオではありません.");
  EXPECT_EQ(StandardErrorText("done."), "done.");
  EXPECT_EQ(StandardErrorText("disk full"), "disk full.");
  EXPECT_EQ(StandardErrorText("(see log)"), "(see log)");
  EXPECT_EQ(StandardErrorText(""), "");
}

TEST_F(MainWindowTest, TuningButtonAndDialogAgree) {
  form_->SpeedButton2->click();
  EXPECT_TRUE(form_->TuneDlg->isVisible());
  form_->TuneDlg->close();
  EXPECT_FALSE(form_->SpeedButton2->isChecked());
  EXPECT_FALSE(form_->TuneDlg->isVisible());
  EXPECT_EQ(form_->RemoteMessage(kEyeOnSETTING), 1);
  EXPECT_TRUE(form_->TuneDlg->isVisible());
  EXPECT_EQ(form_->RemoteMessage(kEyeOnSETTING), 0);
  EXPECT_FALSE(form_->TuneDlg->isVisible());
}

TEST_F(MainWindowTest, PrecisionChoiceSetsTheBlockSizeForTheNextJob) {
  EXPECT_EQ(form_->BlockSizeSetting(), 8192);
  form_->TuneDlg->ComboBox1->setCurrentIndex(4);
  EXPECT_EQ(form_->BlockSizeSetting(), 32768);
  form_->TuneDlg->ComboBox1->setCurrentIndex(0);
  EXPECT_EQ(form_->BlockSizeSetting(), 2048);
}

TEST_F(MainWindowTest, RemoteTogglesInvertOnlyTheirButton) {
  EXPECT_EQ(form_->RemoteMessage(kEyeOnALLPASS), 1);
  EXPECT_EQ(form_->RemoteMessage(kEyeOnALLPASS), 0);
  form_->ToolButton12->click();
  EXPECT_EQ(form_->RemoteMessage(kEyeOnINVERT), 1);
  EXPECT_TRUE(form_->ToolButton12->isChecked());
  EXPECT_EQ(form_->RemoteMessage(kEyeOnPASS), 1);
  EXPECT_EQ(form_->RemoteMessage(kEyeOnENHANCER), 0);
  // Play is disabled until a job has made enough output: the request is ignored.
  EXPECT_EQ(form_->RemoteMessage(kEyeOnPLAY), 0);
  EXPECT_FALSE(form_->SpeedButton1->isChecked());
  EXPECT_EQ(form_->RemoteMessage(0x8019), 0);
  EXPECT_EQ(form_->RemoteMessage(0), 0);
}

TEST_F(MainWindowTest, WindowHasItsFixedGeometry) {
  EXPECT_EQ(form_->windowTitle(), "Merolune");
  EXPECT_EQ(form_->centralWidget()->size(), QSize(320, 326));
  EXPECT_EQ(form_->Edit1->geometry(), QRect(96, 40, 177, 20));
  EXPECT_EQ(form_->SpeedButton2->geometry(), QRect(16, 288, 289, 25));
  EXPECT_FALSE(form_->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form_->minimumSize(), form_->maximumSize());
}

// The Help menu's three items: each makes its dialog with no owner and shows it modally; the
// dialog is gone once it has closed.
TEST_F(MainWindowTest, HelpMenuItemsShowTheirDialogsModallyAndReleaseThem) {
  for (const auto& [item, dialogClass] : {std::pair{form_->M1, "merolune::TSendMsgDlg"},
                                          {form_->E1, "merolune::TRiderDlg"}, {form_->V1, "merolune::TVersionDlg"}}) {
    QString shown;
    QTimer::singleShot(0, [&shown] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      if (dialog->isModal() && dialog->parent() == nullptr) shown = dialog->metaObject()->className();
      dialog->accept();
    });
    item->trigger();
    EXPECT_EQ(shown, dialogClass);
    for (const QWidget* widget : QApplication::topLevelWidgets()) EXPECT_FALSE(widget->inherits(dialogClass));
  }
}

}  // namespace
}  // namespace merolune
