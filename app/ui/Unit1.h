#pragma once
// The main window: source and destination, run and cancel, the toggles, and the remote commands.

#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "ReductionJob.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSlider;
class QToolBar;
class QToolButton;

namespace merolune {

class RemoteControl;
class SignalWatcher;
class TGauge;
class TKAddDrop;
class TConvForm;
class TEncsetDlg;
class TKThdComp;
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
class TForm1 : public QMainWindow, private JobHost {
  Q_OBJECT

 public:
  // Creates the conversion service first: a missing codec library throws its EAuException here,
  // and the program does not start.
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Test hooks: when set, they stand in for the file dialogs (returning the chosen name, or
  // nothing for cancel) and for the job's own message boxes.
  std::function<std::optional<QString>(const QString& current)> OpenDialogHook;
  std::function<std::optional<QString>(const QString& current)> SaveDialogHook;
  std::function<void(const QString& caption, const QString& text)> MessageBoxHook;
  std::function<bool(const QString& text)> OverwriteQuestionHook;

  // Connects the remote control to the session bus (see RemoteControl).
  bool StartRemoteControl();
  // From now on an interrupt, terminate or hang-up signal cancels a running job (a conversion stops
  // within a fraction of a second, a reduction after its block, the temporary files go) and ends
  // the event loops with status 1.
  void StopOnSignals();

  // The command handlers.
  void Button1Click();
  void BitBtn1Click();
  void Button2Click();
  void Button3Click();
  void SoundClick(int tag);
  void SpeedButton2Click();
  void ToolButton6Click();
  void ToolButton8Click();
  void ToolButton10Click();
  void ToolButton12Click();
  void KAddDrop1DropFiles(const QStringList& files);
  void ComboBox1Change(int blockSize);
  // A remote-control code; returns the result the sender receives.
  int RemoteMessage(unsigned code);
  // Shutdown: stops the worker thread, deletes the last output file (waiting at most 2 s for it
  // to go) and releases the tuning dialog. Runs once; the destructor calls it too.
  void Shutdown();

  bool JobRunning() const { return jobRunning_; }
  int BlockSizeSetting() const { return blockSize_; }
  const ReductionJob& Job() const { return job_; }

  // The controls, named as in the window's description.
  QToolBar* ToolBar1;
  QToolButton *ToolButton1, *ToolButton2, *ToolButton3, *ToolButton5, *ToolButton13, *ToolButton10, *ToolButton11,
      *ToolButton12, *ToolButton6, *ToolButton8;
  QLabel *Image2, *Image3, *Image4;
  QLineEdit *Edit1, *Edit2;
  QPushButton *Button1, *Button2, *Button3, *BitBtn1;
  QProgressBar* ProgressBar1;
  QPushButton* SpeedButton1;
  TGauge* Gauge1;
  TYTrackBar* YTrackBar1;
  QLabel* Label8;
  QSlider* TrackBar3;
  QLabel* Image1;
  QPushButton* SpeedButton2;
  QMenu *FileMenu, *OptionMenu, *HelpMenu, *PopupMenu1;
  QAction *O1, *S1, *X1, *E2, *M1, *E1, *V1;
  QAction* SaveFormats[kFormats.size()];
  QAction* Dontconfirmoverwrite1;
  std::unique_ptr<TTuneDlg> TuneDlg;
  // The encoding settings, kept for the whole run; the job shows it before every encoding.
  std::unique_ptr<TEncsetDlg> EncsetDlg;
  TKThdComp* KThdComp1;
  TKAddDrop* KAddDrop1;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void BuildToolBar(QWidget* client);
  void BuildControls(QWidget* client);
  JobResult DoReduce();
  void ShowPopupMenu1(QWidget* at, const QPoint& pos);

  // JobHost
  void PumpMessages() override;
  void ShowError(const std::string& message) override;
  bool ConfirmOverwrite(const std::string& destination) override;
  int BlockSize() override { return blockSize_; }
  ReductionSettings Settings() override;
  bool BypassAll() override;
  void LockControls() override;
  void UnlockControls() override;
  void SourceFormatKnown(const WaveFormatInfo& format) override;
  void SetPlayEnabled(bool enabled) override;
  void SetProgress(std::uint64_t position, std::uint64_t minimum, std::uint64_t maximum) override;
  void BeginConversion(ConversionPhase phase) override;
  void EndConversion(ConversionPhase phase) override;
  void SetConversionProgress(ConversionPhase phase, double fraction) override;
  void ChooseEncoderSettings(FileFormat format) override;

  // Declared before the job, which converts with it.
  std::unique_ptr<TConvForm> convForm_;
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
