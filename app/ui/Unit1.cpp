// The main window: its controls, menus and toolbar, the commands, and its share of the reduction job.

#include "Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <csignal>
#include <cstdio>

#include "Banners.h"
#include "Colors.h"
#include "Convert.h"
#include "EncsetDlg.h"
#include "ErrorBox.h"
#include "Fonts.h"
#include "Gauges.h"
#include "Icons.h"
#include "KDrop.h"
#include "KThdCmp.h"
#include "Messages.h"
#include "Monitor.h"
#include "Notifications.h"
#include "RemoteControl.h"
#include "SignalWatcher.h"
#include "Unit2.h"
#include "Unit6.h"
#include "Unit7.h"
#include "Unit8.h"
#include "YTrackBar.h"

namespace merolune {

namespace {

// A text of the window in the interface's language.
QString Text(const char* japanese) { return QCoreApplication::translate("TForm1", japanese); }

// The seek bar counts bytes in 32 bits.
std::int32_t ClampToInt32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, 0, INT32_MAX));
}


constexpr int kClientWidth = 320;
constexpr int kClientHeight = 326;
constexpr int kProgressSteps = 1000;
// Pixels between the progress bar and a banner moved below it.
constexpr int kBannerGap = 4;
// Shutdown waits this long for the last output file to disappear.
constexpr int kDeleteWaitMs = 2000;

// Where the extension of `path` starts, or -1: the last "." with no "/" after it.
qsizetype ExtensionStart(const QString& path) {
  const qsizetype dot = path.lastIndexOf('.');
  if (dot < 0 || path.indexOf('/', dot) >= 0) return -1;
  return dot;
}

// The extension of a file-dialog filter "Name (*.ext)", or `otherwise` when it names none.
QString FilterSuffix(const QString& filter, const QString& otherwise) {
  static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.(\\w+)\\)"));
  const QRegularExpressionMatch match = pattern.match(filter);
  return match.hasMatch() ? match.captured(1) : otherwise;
}

QToolButton* MakeToolButton(QToolBar* bar, Glyph glyph, const QString& hint, bool checkable) {
  auto* button = new QToolButton(bar);
  button->setIcon(GlyphIcon(glyph));
  button->setToolTip(hint);
  button->setCheckable(checkable);
  button->setAutoRaise(true);
  bar->addWidget(button);
  return button;
}

}  // namespace

QString ReplaceExtension(const QString& path, const QString& extension) {
  const qsizetype dot = ExtensionStart(path);
  return (dot < 0 ? path : path.left(dot)) + extension;
}

QString DefaultDestination(const QString& source) { return ReplaceExtension(source, "_cc.wav"); }

TForm1::TForm1(QWidget* parent, std::unique_ptr<SoundDevice> sound)
    : QMainWindow(parent),
      monitor_(std::make_unique<Monitor>(sound ? std::move(sound) : MakePortAudioDevice())),
      convForm_(std::make_unique<TConvForm>()),
      job_(*this, *this, *this, convForm_.get()) {
  job_.SetTagCopier(&tagCopier_);
  setWindowTitle("Merolune");
  setObjectName("TForm1");
  setWindowIcon(ApplicationIcon());
  setFont(UiFont(UiFace::JapaneseP, 12));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

  BuildMenus();
  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);
  BuildToolBar(client);
  BuildControls(client);

  KThdComp1 = new TKThdComp(this);
  KThdComp1->SetPriority(TThreadPriority::tpHigher);
  KAddDrop1 = new TKAddDrop(this);
  KAddDrop1->SetControl(this);
  KAddDrop1->OnDropFiles = [this](TKAddDrop&, QWidget*, const QStringList& files) {
    Guarded(this, [&] { KAddDrop1DropFiles(files); });
  };

  // Start-up, in order: the tuning dialog (no owner), the block size, the dialog's flags and its
  // range boxes; the monitor's thread last.
  TuneDlg = std::make_unique<TTuneDlg>();
  TuneDlg->OnClose = [this] { SpeedButton2->setChecked(false); };
  connect(TuneDlg.get(), &TTuneDlg::PrecisionChanged, this, [this](int size) { ComboBox1Change(size); });
  blockSize_ = 8192;
  TuneDlg->ClearTransientFlags();
  TuneDlg->ComboBox2Change();
  EncsetDlg = std::make_unique<TEncsetDlg>();
  StartMonitor();

  setFixedSize(sizeHint());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
}

TForm1::~TForm1() { Shutdown(); }

void TForm1::BuildMenus() {
  FileMenu = menuBar()->addMenu(Text("ファイル(&F)"));
  O1 = FileMenu->addAction(Text("対象ファイルを開く(&O)..."));
  S1 = FileMenu->addAction(Text("保存先ファイルを指定(&S)..."));
  FileMenu->addSeparator();
  X1 = FileMenu->addAction(Text("終了(&X)"));
  OptionMenu = menuBar()->addMenu(Text("オプション(&O)"));
  E2 = OptionMenu->addAction(Text("エンコード設定(&E)..."));
  M1 = OptionMenu->addAction(Text("一言メッセージ(&M)..."));
  HelpMenu = menuBar()->addMenu(Text("ヘルプ(&H)"));
  E1 = HelpMenu->addAction(Text("補足説明(&E)..."));
  V1 = HelpMenu->addAction(Text("バージョン(&V)..."));
  // The small dialogs: each made for one showing, with no owner, and gone when it closes.
  connect(M1, &QAction::triggered, this, [this] { Guarded(this, [] { TSendMsgDlg().exec(); }); });
  connect(E1, &QAction::triggered, this, [this] { Guarded(this, [] { TRiderDlg().exec(); }); });
  connect(V1, &QAction::triggered, this, [this] { Guarded(this, [] { TVersionDlg().exec(); }); });
  connect(E2, &QAction::triggered, this, [this] { Guarded(this, [&] { EncsetDlg->exec(); }); });
  connect(O1, &QAction::triggered, this, [this] { Button2Click(); });
  connect(S1, &QAction::triggered, this, [this] { Button3Click(); });
  connect(X1, &QAction::triggered, this, [this] { close(); });

  PopupMenu1 = new QMenu(this);
  for (int tag = 0; tag < static_cast<int>(kFormats.size()); ++tag) {
    QAction*& item = SaveFormats[tag];
    item = PopupMenu1->addAction(QString::fromUtf8(FormatWithMenuTag(tag)->MenuCaption));
    connect(item, &QAction::triggered, this, [this, tag] { SoundClick(tag); });
  }
  PopupMenu1->addSeparator();
  Dontconfirmoverwrite1 = PopupMenu1->addAction("Don't &confirm overwrite");
  Dontconfirmoverwrite1->setCheckable(true);
}

void TForm1::BuildToolBar(QWidget* client) {
  ToolBar1 = new QToolBar(client);
  ToolBar1->setGeometry(0, 0, kClientWidth, 29);
  ToolBar1->setIconSize(QSize(16, 16));
  ToolBar1->setStyleSheet("QToolBar { border-top: 1px solid palette(light); border-bottom: 1px solid palette(mid); }");
  auto* indent = new QWidget(ToolBar1);
  indent->setFixedWidth(10);
  ToolBar1->addWidget(indent);
  ToolButton1 = MakeToolButton(ToolBar1, Glyph::Open, Text("ソースを開く"), false);
  ToolButton2 = MakeToolButton(ToolBar1, Glyph::Save, Text("保存先を指定する"), false);
  ToolBar1->addSeparator();
  ToolButton3 = MakeToolButton(ToolBar1, Glyph::Run, Text("実行"), false);
  ToolButton5 = MakeToolButton(ToolBar1, Glyph::Cancel, Text("キャンセル"), false);
  ToolBar1->addSeparator();
  ToolButton13 = MakeToolButton(ToolBar1, Glyph::BypassAll, Text("すべての処理をバイパス"), true);
  ToolButton10 = MakeToolButton(ToolBar1, Glyph::Inverse, Text("逆モード"), true);
  ToolButton11 = MakeToolButton(ToolBar1, Glyph::SubtractionBypass, Text("減算処理バイパス"), true);
  ToolButton12 = MakeToolButton(ToolBar1, Glyph::Enhancer, Text("エンハンサー"), true);
  ToolBar1->addSeparator();
  ToolButton6 = MakeToolButton(ToolBar1, Glyph::Play, Text("再生"), false);
  ToolButton8 = MakeToolButton(ToolBar1, Glyph::Stop, Text("停止"), false);

  connect(ToolButton1, &QToolButton::clicked, this, [this] { Button2->click(); });
  connect(ToolButton2, &QToolButton::clicked, this, [this] { Button3->click(); });
  connect(ToolButton3, &QToolButton::clicked, this, [this] { Button1->click(); });
  connect(ToolButton5, &QToolButton::clicked, this, [this] { BitBtn1->click(); });
  connect(ToolButton10, &QToolButton::clicked, this, [this] { ToolButton10Click(); });
  connect(ToolButton12, &QToolButton::clicked, this, [this] { ToolButton12Click(); });
  connect(ToolButton6, &QToolButton::clicked, this, [this] { ToolButton6Click(); });
  connect(ToolButton8, &QToolButton::clicked, this, [this] { ToolButton8Click(); });
}

void TForm1::BuildControls(QWidget* client) {
  Image2 = new QLabel(client);
  Image2->setGeometry(16, 40, 74, 20);
  Image2->setPixmap(PictureLabel("SOURCE", 74, 20));
  Edit1 = new QLineEdit(client);
  Edit1->setGeometry(96, 40, 177, 20);
  Button2 = new QPushButton("...", client);
  Button2->setGeometry(280, 40, 25, 20);

  Image3 = new QLabel(client);
  Image3->setGeometry(16, 64, 74, 20);
  Image3->setPixmap(PictureLabel("OUTPUT", 74, 20));
  Image3->setContextMenuPolicy(Qt::CustomContextMenu);
  Edit2 = new QLineEdit(client);
  Edit2->setGeometry(96, 64, 177, 20);
  Button3 = new QPushButton("...", client);
  Button3->setGeometry(280, 64, 25, 20);
  Button3->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Image3, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) { ShowPopupMenu1(Image3, p); });
  connect(Button3, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { ShowPopupMenu1(Button3, p); });

  Button1 = new QPushButton(GlyphIcon(Glyph::Run), Text("カラオケ化 実行"), client);
  Button1->setGeometry(16, 88, 249, 25);
  QFont bold = Button1->font();
  bold.setBold(true);
  Button1->setFont(bold);
  BitBtn1 = new QPushButton(GlyphIcon(Glyph::Cancel), QString(), client);
  BitBtn1->setGeometry(272, 88, 33, 25);
  BitBtn1->setToolTip(Text("キャンセル"));
  // Esc clicks the cancel button wherever the focus is in the window.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, BitBtn1, &QPushButton::click);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });

  ProgressBar1 = new QProgressBar(client);
  ProgressBar1->setGeometry(16, 120, 289, 25);
  ProgressBar1->setRange(0, kProgressSteps);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  auto* bevel2 = new QFrame(client);
  bevel2->setGeometry(16, 136, 289, 9);
  bevel2->setFrameShape(QFrame::HLine);
  bevel2->setFrameShadow(QFrame::Sunken);
  bevel2->lower();

  Image4 = new QLabel(client);
  Image4->setGeometry(16, 152, 143, 17);
  Image4->setPixmap(PictureLabel("MONITOR", 143, 17));

  SpeedButton1 = new QPushButton("Play", client);
  SpeedButton1->setGeometry(16, 176, 113, 25);
  SpeedButton1->setCheckable(true);
  SpeedButton1->setEnabled(false);
  SpeedButton1->setFont(UiFont(UiFace::Sans, 12, true));

  auto* panel2 = new QWidget(client);
  panel2->setGeometry(16, 208, 113, 17);
  Gauge1 = new TGauge(panel2);
  Gauge1->setGeometry(3, 9, 107, 5);
  Gauge1->SetBackColor(palette().color(QPalette::Button));
  Gauge1->SetForeColor(ColorFromTColor(16744576));
  Gauge1->SetBorderStyle(TBorderStyle::bsNone);
  Gauge1->SetShowText(false);
  YTrackBar1 = new TYTrackBar(panel2);
  YTrackBar1->setGeometry(0, 0, 113, 17);
  YTrackBar1->setCursor(Qt::PointingHandCursor);
  YTrackBar1->SetMin(0);
  YTrackBar1->SetMax(100);
  YTrackBar1->SetThumbWidth(10);
  YTrackBar1->SetThumbColor(palette().color(QPalette::Button));
  YTrackBar1->SetGageColor(Qt::white);

  auto* groupBox4 = new QGroupBox("Current Time", client);
  groupBox4->setGeometry(16, 232, 113, 49);
  Label8 = new QLabel("00:00", groupBox4);
  Label8->setGeometry(2, 14, 109, 32);
  Label8->setAlignment(Qt::AlignCenter);
  Label8->setFont(UiFont(UiFace::Serif, 24, true));

  TrackBar3 = new QSlider(Qt::Vertical, client);
  TrackBar3->setGeometry(132, 176, 33, 105);
  TrackBar3->setRange(0, 5000);
  TrackBar3->setValue(500);
  TrackBar3->setTickInterval(500);
  TrackBar3->setTickPosition(QSlider::TicksBothSides);
  // Attenuation grows downwards: full volume (0) at the top, as on a mixing desk.
  TrackBar3->setInvertedAppearance(true);
  TrackBar3->setInvertedControls(true);

  auto* groupBox3 = new QGroupBox(Text("リサジュー"), client);
  groupBox3->setGeometry(168, 152, 137, 129);
  auto* panel1 = new QFrame(groupBox3);
  panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel1->setGeometry(16, 18, 105, 105);
  // The figure fills the panel inside its one-pixel bevel.
  Image1 = new QLabel(panel1);
  Image1->setGeometry(1, 1, 103, 103);
  QImage scope(103, 103, QImage::Format_RGB888);
  scope.fill(Qt::black);
  Image1->setPixmap(QPixmap::fromImage(scope));

  SpeedButton2 = new QPushButton(Text("カラオケ化調整"), client);
  SpeedButton2->setGeometry(16, 288, 289, 25);
  SpeedButton2->setCheckable(true);
  connect(SpeedButton2, &QPushButton::clicked, this, [this] { SpeedButton2Click(); });
}

void TForm1::ShowPopupMenu1(QWidget* at, const QPoint& pos) { PopupMenu1->popup(at->mapToGlobal(pos)); }

bool TForm1::StartRemoteControl() {
  remote_ = std::make_unique<RemoteControl>([this](unsigned code) {
    int result = 0;
    Guarded(this, [&] { result = RemoteMessage(code); });
    return result;
  });
  return remote_->Register();
}

void TForm1::StopOnSignals() {
  signals_ = std::make_unique<SignalWatcher>(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP});
  connect(signals_.get(), &SignalWatcher::Received, this, [this](int) {
    job_.RequestCancel();
    // Every event loop ends, a modal dialog's too; a job in progress returns once it sees the cancel.
    QCoreApplication::exit(1);
  });
}

void TForm1::Button1Click() {
  if (jobRunning_) return;
  jobRunning_ = true;
  // A job that ends while the user is at another window is announced on the desktop; a failure
  // is announced before its error box, which waits for the user.
  const QString destination = Edit2->text();
  const auto announce = [this](const char* summary, const QString& body) {
    // The activation that the end of a banner hands back to this window arrives as an event.
    QCoreApplication::processEvents();
    if (!isActiveWindow()) DesktopNotifier().Notify(QString::fromStdString(LocalizedMessage(summary)), body);
  };
  Guarded(this, [&] {
    try {
      if (DoReduce() == JobResult::Completed) announce(kJobDoneNotice, destination);
    } catch (const std::exception& e) {
      announce(kJobFailedNotice, destination + '\n' + StandardErrorText(e.what()));
      throw;
    }
  });
  jobRunning_ = false;
}

void TForm1::BitBtn1Click() { job_.RequestCancel(); }

JobResult TForm1::DoReduce() {
  ReductionToggles toggles;
  toggles.Inverse = ToolButton10->isChecked();
  toggles.SubtractionBypass = ToolButton11->isChecked();
  toggles.Enhancer = ToolButton12->isChecked();
  toggles.BypassAll = ToolButton13->isChecked();
  JobRequest request;
  request.BlockSize = blockSize_;
  request.Settings = MakeSettings(TuneDlg->Controls(), toggles);
  request.BypassAll = toggles.BypassAll;
  request.Encoder = EncsetDlg->Settings();
  return job_.DoReduce(Edit1->text().toStdString(), Edit2->text().toStdString(), request);
}

void TForm1::Button2Click() {
  Guarded(this, [this] {
    std::optional<QString> chosen;
    if (OpenDialogHook) {
      chosen = OpenDialogHook(Edit1->text());
    } else {
      const QString name = QFileDialog::getOpenFileName(this, QString(), Edit1->text(), QString::fromStdString(OpenDialogFilter()));
      if (!name.isEmpty()) chosen = name;
    }
    if (!chosen) return;
    Edit1->setText(*chosen);
    Edit2->setText(DefaultDestination(*chosen));
  });
}

void TForm1::Button3Click() {
  Guarded(this, [this] {
    std::optional<QString> chosen;
    if (SaveDialogHook) {
      chosen = SaveDialogHook(Edit2->text());
    } else {
      QFileDialog dialog(this, QString(), Edit2->text(), QString::fromStdString(SaveDialogFilter()));
      dialog.setAcceptMode(QFileDialog::AcceptSave);
      dialog.setDefaultSuffix("wav");
      // A name typed without an extension takes the one of the file type chosen, as in the
      // platforms' own save dialogs; "All files" keeps the default.
      connect(&dialog, &QFileDialog::filterSelected, &dialog,
              [&dialog](const QString& filter) { dialog.setDefaultSuffix(FilterSuffix(filter, "wav")); });
      dialog.selectFile(Edit2->text());
      if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) chosen = dialog.selectedFiles().first();
    }
    if (chosen) Edit2->setText(*chosen);
  });
}

void TForm1::SoundClick(int tag) {
  const FormatRow* format = FormatWithMenuTag(tag);
  if (format == nullptr) return;
  Edit2->setText(ReplaceExtension(Edit2->text(), format->Extension));
}

void TForm1::SpeedButton2Click() {
  if (SpeedButton2->isChecked()) {
    // The dialog first appears centred on the window; later it stays where the user put it.
    if (!tuneDlgPlaced_) {
      TuneDlg->move(frameGeometry().center() - TuneDlg->rect().center());
      tuneDlgPlaced_ = true;
    }
    TuneDlg->show();
    TuneDlg->raise();
  } else {
    TuneDlg->hide();
  }
}

void TForm1::ToolButton6Click() {
  if (SpeedButton1->isEnabled() && !SpeedButton1->isChecked()) SpeedButton1->click();
}

void TForm1::ToolButton8Click() {
  if (SpeedButton1->isEnabled() && SpeedButton1->isChecked()) SpeedButton1->click();
}

// A click on inverse mode or the enhancer, setting or clearing it, releases the other.
void TForm1::ToolButton10Click() { ToolButton12->setChecked(false); }
void TForm1::ToolButton12Click() { ToolButton10->setChecked(false); }

void TForm1::KAddDrop1DropFiles(const QStringList& files) {
  if (files.isEmpty()) return;
  Edit1->setText(files.first());
  Edit2->setText(DefaultDestination(files.first()));
}

void TForm1::ComboBox1Change(int blockSize) { blockSize_ = blockSize; }

int TForm1::RemoteMessage(unsigned code) {
  // The toggles only invert the button: no click handler runs, so nothing else is released.
  const auto toggle = [](QAbstractButton* button) {
    button->setChecked(!button->isChecked());
    return button->isChecked() ? 1 : 0;
  };
  switch (code) {
    case kEyeOnALLPASS: return toggle(ToolButton13);
    case kEyeOnINVERT: return toggle(ToolButton10);
    case kEyeOnPASS: return toggle(ToolButton11);
    case kEyeOnENHANCER: return toggle(ToolButton12);
    case kEyeOnSTART:
      Button1Click();
      return 0;
    case kEyeOnPLAY:
      // A disabled Play button has nothing to play: the request is ignored.
      if (!SpeedButton1->isEnabled()) return 0;
      SpeedButton1->click();
      return SpeedButton1->isChecked() ? 1 : 0;
    case kEyeOnOPENFILE: Button2Click(); return 0;
    case kEyeOnSAVEFILE: Button3Click(); return 0;
    case kEyeOnSETTING:
      // Acts as a click, so the button and the dialog always agree.
      SpeedButton2->click();
      return SpeedButton2->isChecked() ? 1 : 0;
    default: return 0;
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  // Closing is never refused. A running job is asked to stop after its current block, so the
  // program ends promptly instead of finishing the job with no window.
  if (jobRunning_) job_.RequestCancel();
  if (TuneDlg) TuneDlg->hide();
  event->accept();
}

void TForm1::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  KThdComp1->Stop();
  while (KThdComp1->Running()) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  Timer2->stop();
  // Stops channel 0, unbinds and frees the stream (ending its thread), and releases the ring.
  monitor_.reset();
  const std::string last = job_.LastOutputTempFile();
  QElapsedTimer waited;
  waited.start();
  while (!job_.DeleteLastOutput() && waited.elapsed() < kDeleteWaitMs) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  if (!last.empty() && QFile::exists(QString::fromStdString(last)))
    std::fprintf(stderr, "merolune: could not delete %s\n", last.c_str());
  TuneDlg.reset();
}

// The job's progress, questions and monitor -----------------------------------------------------

void TForm1::PumpMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TForm1::ShowError(const std::string& message) {
  ShowErrorBox(this, QString::fromStdString(LocalizedMessage(kErrorCaption)),
               QString::fromStdString(LocalizedMessage(message)));
}

bool TForm1::ConfirmOverwrite(const std::string& destination) {
  (void)destination;
  if (Dontconfirmoverwrite1->isChecked()) return true;
  const QString question = QString::fromStdString(LocalizedMessage(kConfirmOverwrite));
  if (OverwriteQuestionHook) return OverwriteQuestionHook(question);
  QMessageBox box(QMessageBox::Information, QString::fromStdString(LocalizedMessage(kConfirmCaption)), question,
                  QMessageBox::Yes | QMessageBox::No, this);
  return box.exec() == QMessageBox::Yes;
}

void TForm1::Note(const std::string& text) {
  QStatusBar* line = statusBar();
  line->showMessage(QString::fromStdString(LocalizedMessage(text)));
  if (!line->isVisible()) {
    line->show();
    setFixedSize(sizeHint());
  }
}

void TForm1::ClearNote() {
  QStatusBar* line = findChild<QStatusBar*>(QString(), Qt::FindDirectChildrenOnly);
  if (!line || !line->isVisible()) return;
  line->clearMessage();
  line->hide();
  setFixedSize(sizeHint());
}

void TForm1::LockControls() {
  ClearNote();
  SpeedButton1->setChecked(false);
  SpeedButton1->setEnabled(false);
  MirrorPlayState();
  Button1->setEnabled(false);
  for (QMenu* menu : {FileMenu, OptionMenu, HelpMenu}) menu->setEnabled(false);
  ToolButton3->setEnabled(false);
  TuneDlg->SetJobRunning(true);
}

void TForm1::UnlockControls() {
  Button1->setEnabled(true);
  for (QMenu* menu : {FileMenu, OptionMenu, HelpMenu}) menu->setEnabled(true);
  ToolButton3->setEnabled(true);
  if (TuneDlg) TuneDlg->SetJobRunning(false);
}

void TForm1::SourceFormatKnown(const WaveFormatInfo& format) {
  YTrackBar1->SetMax(ClampToInt32(format.DataSize));
  YTrackBar1->SetMin(ClampToInt32(format.DataStart));
  YTrackBar1->SetPosition(ClampToInt32(format.DataStart));
  monitor_->SetOutputFile(job_.OutputTempFile(), format.DataSize);
}

void TForm1::SetPlayEnabled(bool enabled) {
  SpeedButton1->setEnabled(enabled);
  MirrorPlayState();
  // From the first block on the size counts the output's 16-bit bytes.
  monitor_->SetDataSize(job_.SourceFormat().DataSize);
}

// The monitor ---------------------------------------------------------------------------------

namespace {

// The loop's view of KThdComp1: its stop request, and the seek bar and clock updated on the UI
// thread while the loop waits.
class MonitorThreadHost final : public Monitor::LoopHost {
 public:
  MonitorThreadHost(TKThdComp& thread, std::atomic<std::int64_t>& dataSize, std::atomic<std::int64_t>& position)
      : thread_(thread), dataSize_(dataSize), position_(position) {}
  bool Terminated() override { return thread_.Terminated(); }
  void Synchronize(std::int64_t dataSize, std::int64_t position) override {
    dataSize_.store(dataSize);
    position_.store(position);
    thread_.Synchronize(0, 0);
  }

 private:
  TKThdComp& thread_;
  std::atomic<std::int64_t>& dataSize_;
  std::atomic<std::int64_t>& position_;
};

}  // namespace

void TForm1::StartMonitor() {
  connect(SpeedButton1, &QPushButton::toggled, this, [this] { MirrorPlayState(); });
  connect(TrackBar3, &QSlider::valueChanged, this, [this](int value) { monitor_->SetVolumePosition(value); });
  connect(YTrackBar1, &TYTrackBar::OnMouseDown, this, [this] { monitor_->SetSeekDragging(true); });
  connect(YTrackBar1, &TYTrackBar::OnMouseUp, this, [this] {
    monitor_->Seek(YTrackBar1->Position());
    monitor_->SetSeekDragging(false);
  });
  monitor_->SetVolumePosition(TrackBar3->value());
  MirrorPlayState();

  Timer2 = new QTimer(this);
  Timer2->setInterval(50);
  connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });
  Timer2->start();

  KThdComp1->OnExecute = [this](TKThdComp& thread) {
    MonitorThreadHost host(thread, syncDataSize_, syncPosition_);
    monitor_->Run(host);
  };
  KThdComp1->OnSynchronize = [this](TKThdComp&, std::int32_t, std::int32_t, std::int32_t&) {
    KThdComp1Synchronize();
  };
  KThdComp1->Start();
}

void TForm1::MirrorPlayState() { monitor_->SetPlayState(SpeedButton1->isEnabled(), SpeedButton1->isChecked()); }

// The seek bar follows the monitor's reading position unless the user holds it; the clock shows it.
void TForm1::KThdComp1Synchronize() {
  const std::int64_t position = syncPosition_.load();
  YTrackBar1->SetMax(ClampToInt32(syncDataSize_.load()));
  if (!monitor_->SeekDragging()) YTrackBar1->SetPosition(ClampToInt32(position));
  Label8->setText(QString::fromStdString(ClockText(position, job_.SourceFormat().SampleRate)));
}

// Black, the two grey diagonals, and a green point per frame of the snapshot's next row.
void TForm1::Timer2Timer() {
  if (!monitor_->Playing()) return;
  const int width = Image1->width();
  const int height = Image1->height();
  QImage picture(width, height, QImage::Format_RGB888);
  picture.fill(Qt::black);
  {
    QPainter painter(&picture);
    painter.setPen(QColor(68, 68, 68));
    painter.drawLine(0, 0, width, height);
    painter.drawLine(width, 0, 0, height);
  }
  const QRgb green = qRgb(0, 255, 0);
  for (const Monitor::Frame& frame : monitor_->NextScopeRow()) {
    if (const auto point = LissajousPoint(frame.Left, frame.Right, width, height))
      picture.setPixel(point->X, point->Y, green);
  }
  Image1->setPixmap(QPixmap::fromImage(picture));
}

void TForm1::ResetMonitor() { monitor_->ResetForJob(); }

bool TForm1::RenewStream(std::uint32_t sampleRate) { return monitor_->RenewStream(sampleRate); }

bool TForm1::MonitorFileBusy() { return monitor_->FileBusy(); }

bool TForm1::SuspendPlayback() {
  const bool playing = monitor_->ChannelPlaying();
  SpeedButton1->setChecked(false);
  return playing;
}

void TForm1::ResumePlayback() { SpeedButton1->setChecked(true); }

void TForm1::SetProgress(std::uint64_t position, std::uint64_t minimum, std::uint64_t maximum) {
  const std::uint64_t span = maximum > minimum ? maximum - minimum : 0;
  const std::uint64_t done = position > minimum ? std::min(position - minimum, span) : 0;
  ProgressBar1->setValue(span ? static_cast<int>(done * kProgressSteps / span) : 0);
  Gauge1->SetMinValue(static_cast<std::int64_t>(minimum));
  Gauge1->SetMaxValue(static_cast<std::int64_t>(std::max(maximum, minimum + 1)));
  Gauge1->SetProgress(static_cast<std::int64_t>(position));
}

// A banner says what the job is converting; the window is disabled meanwhile, so that nothing starts
// a second conversion.
void TForm1::BeginConversion(ConversionPhase phase) {
  wasActive_ = isActiveWindow();
  setEnabled(false);
  // The banner is a window of its own, transient for this one: the window manager keeps it above
  // this window, which a click on it would otherwise raise over the encoding banner.
  if (phase == ConversionPhase::Decoding) {
    banner_ = std::make_unique<TDecodingDlg>(this);
  } else {
    banner_ = std::make_unique<TEncodingDlg>(this);
  }
  // Centred on the desktop, unless it would hide the progress bar that follows the conversion:
  // then just below the bar, over the monitor's controls, which have nothing to do meanwhile.
  const QRect bar(ProgressBar1->mapToGlobal(QPoint(0, 0)), ProgressBar1->size());
  if (banner_->frameGeometry().intersects(bar)) banner_->move(banner_->x(), bar.bottom() + 1 + kBannerGap);
  banner_->show();
  PumpMessages();
}

// The progress bar stays in sight beside the banner and follows the conversion.
void TForm1::SetConversionProgress(ConversionPhase, double fraction) {
  if (fraction >= 0) ProgressBar1->setValue(static_cast<int>(std::min(fraction, 1.0) * kProgressSteps));
}

void TForm1::EndConversion(ConversionPhase) {
  ProgressBar1->setValue(0);
  banner_.reset();
  setEnabled(true);
  // Some window systems hand the activation to the banner; give it back, so that Escape cancels.
  if (wasActive_ && !QApplication::activeWindow()) activateWindow();
}

// The settings dialog opens on the format's page; however it is closed, its values are used.
void TForm1::ChooseEncoderSettings(FileFormat format, EncoderSettings& settings) {
  const FormatRow* row = FindFormat(format);
  EncsetDlg->ShowPage(row != nullptr ? row->SettingsPage : kNoEncoderPage);
  settings = EncsetDlg->Settings();
}

}  // namespace merolune
