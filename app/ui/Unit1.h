#pragma once
// The main window: source and destination, run and cancel, the toggles, and the remote commands.

#include <QMainWindow>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "ReductionJob.h"
#include "SoundDevice.h"
#include "TagCopying.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSlider;
class QToolBar;
class QTimer;
class QToolButton;

namespace merolune {

class RemoteControl;
class SignalWatcher;
class TGauge;
class TKAddDrop;
class TConvForm;
class TEncsetDlg;
class TKThdComp;
class Monitor;
class TTuneDlg;
class TYTrackBar;

// The destination a source gets by default: its extension (from the last ".", when no "/"
// follows it) replaced by "_cc.wav", or "_cc.wav" appended when it has none.
QString DefaultDestination(const QString& source);
// `path` with its extension (same rule) replaced by `extension`, which starts with ".".
QString ReplaceExtension(const QString& path, const QString& extension);

// The remote-control codes.
enum RemoteCode : unsigned {
  kEyeOnALLPASS = 0x8010,
  kEyeOnINVERT = 0x8011,
  kEyeOnPASS = 0x8012,
  kEyeOnENHANCER = 0x8013,
  kEyeOnSTART = 0x8014,
  kEyeOnPLAY = 0x8015,
  kEyeOnOPENFILE = 0x8016,
  kEyeOnSAVEFILE = 0x8017,
  kEyeOnSETTING = 0x8018,
};

// The program's one top-level window, 320 x 326 client pixels, fixed size. Runs on the UI thread:
// every command, the remote-control messages and the reduction job itself, which pumps events
// after every block so that the window stays responsive. Owns the tuning dialog, the worker
// thread component, the drop target, the remote control and the job (with its last output file).
// Handlers never let an exception out: failures go to the standard error box.
class TForm1 : public QMainWindow, private JobProgress, private JobQuestions, private JobMonitor {
  Q_OBJECT

 public:
  // Creates the conversion service first: a missing codec library throws its EAuException here,
  // and the program does not start. The monitor plays through `sound` (the system's default output
  // through PortAudio when null); without a usable output Play stays disabled.
  explicit TForm1(QWidget* parent = nullptr, std::unique_ptr<SoundDevice> sound = nullptr);
  ~TForm1() override;

  // Test hooks: when set, they stand in for the file dialogs (returning the chosen name, or
  // nothing for cancel) and for the overwrite question. Error boxes have SetErrorBoxHook.
  std::function<std::optional<QString>(const QString& current)> OpenDialogHook;
  std::function<std::optional<QString>(const QString& current)> SaveDialogHook;
  std::function<bool(const QString& text)> OverwriteQuestionHook;

  // Connects the remote control to the session bus (see RemoteControl).
  bool StartRemoteControl();
  // From now on an interrupt, terminate or hang-up signal cancels a running job (a conversion stops
  // within a fraction of a second, a reduction after its block, the temporary files go) and ends
  // the event loops with status 1.
  void StopOnSignals();

  // The command handlers.
  void Button1Click();       // Button1 (and ToolButton3, the remote's start): run the job
  void BitBtn1Click();       // BitBtn1 (and ToolButton5, Esc): cancel the running job
  void Button2Click();       // Button2 (and ToolButton1, O1): choose the source in the open dialog
  void Button3Click();       // Button3 (and ToolButton2, S1): choose the destination in the save dialog
  void SoundClick(int tag);  // a save-format menu item: the destination takes the format's extension
  void SpeedButton2Click();  // SpeedButton2: show or close the tuning dialog
  void ToolButton6Click();   // ToolButton6: start playback (clicks Play when it is available and off)
  void ToolButton8Click();   // ToolButton8: stop playback (clicks Play when it is on)
  void ToolButton10Click();  // ToolButton10, inverse mode: releases the enhancer
  void ToolButton12Click();  // ToolButton12, the enhancer: releases inverse mode
  void KAddDrop1DropFiles(const QStringList& files);  // files dropped: the first becomes the source
  void ComboBox1Change(int blockSize);                // the tuning dialog's precision: the block size
  // A remote-control code; returns the result the sender receives.
  int RemoteMessage(unsigned code);
  // Shutdown: stops the worker thread, deletes the last output file (waiting at most 2 s for it
  // to go) and releases the tuning dialog. Runs once; the destructor calls it too.
  void Shutdown();

  bool JobRunning() const { return jobRunning_; }
  int BlockSizeSetting() const { return blockSize_; }
  const ReductionJob& Job() const { return job_; }

  // The controls, named as in the window's description.
  QToolBar* ToolBar1;         // the toolbar under the menu bar
  QToolButton* ToolButton1;   // open the source (clicks Button2)
  QToolButton* ToolButton2;   // choose the destination (clicks Button3)
  QToolButton* ToolButton3;   // run (clicks Button1)
  QToolButton* ToolButton5;   // cancel (clicks BitBtn1)
  QToolButton* ToolButton13;  // toggle: bypass all processing
  QToolButton* ToolButton10;  // toggle: inverse mode, keep the vocal
  QToolButton* ToolButton11;  // toggle: subtraction bypass
  QToolButton* ToolButton12;  // toggle: the enhancer
  QToolButton* ToolButton6;   // play the result
  QToolButton* ToolButton8;   // stop playing
  QLabel* Image2;             // the "SOURCE" picture label
  QLabel* Image3;             // the "OUTPUT" picture label; its right-click menu is PopupMenu1
  QLabel* Image4;             // the "MONITOR" picture label
  QLineEdit* Edit1;           // the source's path
  QLineEdit* Edit2;           // the destination's path
  QPushButton* Button1;       // "カラオケ化 実行": run the job
  QPushButton* Button2;       // "...": choose the source
  QPushButton* Button3;       // "...": choose the destination; its right-click menu is PopupMenu1
  QPushButton* BitBtn1;       // cancel the running job
  QProgressBar* ProgressBar1; // the job's progress, and a conversion's beside its banner
  QPushButton* SpeedButton1;  // "Play": monitor the result, available once enough of it exists
  TGauge* Gauge1;             // the monitor's gauge of the result's progress
  TYTrackBar* YTrackBar1;     // the monitor's position in the result
  QLabel* Label8;             // the monitor's current time, "00:00"
  QSlider* TrackBar3;         // the monitor's volume
  QLabel* Image1;             // the Lissajous figure of the monitored sound
  QPushButton* SpeedButton2;  // "カラオケ化調整": show or close the tuning dialog
  QMenu* FileMenu;            // "ファイル": O1, S1, X1
  QMenu* OptionMenu;          // "オプション": E2, M1
  QMenu* HelpMenu;            // "ヘルプ": E1, V1
  QMenu* PopupMenu1;          // the save-format menu, then Dontconfirmoverwrite1
  QAction* O1;                // open the source (Button2)
  QAction* S1;                // choose the destination (Button3)
  QAction* X1;                // quit
  QAction* E2;                // the encoding settings dialog
  QAction* M1;                // a short message to the author (TSendMsgDlg)
  QAction* E1;                // the explanation page (TRiderDlg)
  QAction* V1;                // the version (TVersionDlg)
  QAction* SaveFormats[kFormats.size()];  // the save-format menu's items, by tag
  QAction* Dontconfirmoverwrite1;         // toggle: overwrite an existing destination without asking
  std::unique_ptr<TTuneDlg> TuneDlg;      // the tuning dialog, created once without an owner
  // The encoding settings, kept for the whole run; the job shows it before every encoding.
  std::unique_ptr<TEncsetDlg> EncsetDlg;
  TKThdComp* KThdComp1;  // the monitor's thread, running the monitor's loop from creation to Shutdown
  QTimer* Timer2;        // every 50 ms while playing: the Lissajous figure
  TKAddDrop* KAddDrop1;  // takes files dropped on the window

 protected:
  // Closing the window: never refused; a running job is asked to stop and the tuning dialog hides.
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();                    // the menu bar and PopupMenu1
  void BuildToolBar(QWidget* client);   // ToolBar1 and its buttons
  void BuildControls(QWidget* client);  // the client area's controls
  // Runs the job on Edit1 and Edit2 with the request the controls make now.
  JobResult DoReduce();
  void ShowPopupMenu1(QWidget* at, const QPoint& pos);  // right-click on Image3 or Button3

  // JobProgress
  void PumpMessages() override;
  void LockControls() override;
  void UnlockControls() override;
  void SetProgress(std::uint64_t position, std::uint64_t minimum, std::uint64_t maximum) override;
  void BeginConversion(ConversionPhase phase) override;
  void EndConversion(ConversionPhase phase) override;
  void SetConversionProgress(ConversionPhase phase, double fraction) override;
  // JobQuestions
  void ShowError(const std::string& message) override;
  bool ConfirmOverwrite(const std::string& destination) override;
  void ChooseEncoderSettings(FileFormat format, EncoderSettings& settings) override;
  // A status line under the window, added for the note (the window grows by its height) and taken
  // away when the next job starts.
  void Note(const std::string& text) override;
  void ClearNote();
  // JobMonitor
  void ResetMonitor() override;
  bool RenewStream(std::uint32_t sampleRate) override;
  void SourceFormatKnown(const WaveFormatInfo& format) override;
  bool MonitorFileBusy() override;
  void SetPlayEnabled(bool enabled) override;
  bool SuspendPlayback() override;
  void ResumePlayback() override;

  // The monitor's share of the window.
  void StartMonitor();
  // Tells the monitor Play's state; after every change of SpeedButton1.
  void MirrorPlayState();
  void KThdComp1Synchronize();
  void Timer2Timer();

  // Plays the job's output; made before KThdComp1 runs its loop and freed after it ended.
  std::unique_ptr<Monitor> monitor_;
  // What the monitor's loop hands to KThdComp1Synchronize.
  std::atomic<std::int64_t> syncDataSize_{0};
  std::atomic<std::int64_t> syncPosition_{0};
  // Declared before the job, which converts with it and copies the source's tags with tagCopier_.
  std::unique_ptr<TConvForm> convForm_;
  LibraryTagCopier tagCopier_;
  ReductionJob job_;
  // The decoding or encoding banner while one is shown.
  std::unique_ptr<QWidget> banner_;
  bool wasActive_ = false;  // whether the window was active when the banner came
  std::unique_ptr<RemoteControl> remote_;
  std::unique_ptr<SignalWatcher> signals_;
  int blockSize_ = 8192;
  bool jobRunning_ = false;
  bool shutDown_ = false;
  bool tuneDlgPlaced_ = false;
};

}  // namespace merolune
