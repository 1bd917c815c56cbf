// The encoding settings dialog: a page per coded format, its controls and the values they stand for.

#include "EncsetDlg.h"

#include <QCoreApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QString>
#include <QTabWidget>
#include <QVBoxLayout>
#include <array>
#include <cmath>

#include "Fonts.h"

namespace merolune {

std::function<void(TEncsetDlg& dialog)> TEncsetDlg::ModalHook;

namespace {

// A text of the dialog in the interface's language.
QString Text(const char* japanese) { return QCoreApplication::translate("TEncsetDlg", japanese); }

constexpr int kClientWidth = 289;
constexpr int kClientHeight = 216;

constexpr std::array<const char*, kApeItems> kApeItemTexts{"最速 (Fast)", "標準 (Normal)", "高品質 (High)",
                                                           "最高品質 (Extra-High)"};
// The FLAC bar's position while "デフォルト" is ticked.
constexpr int kFlacBarDefault = 4;

// One line per library the conversions use, with the licence Debian ships it under.
constexpr std::array<const char*, 9> kAcknowledgements{
    "libogg: Copyright (C) 1994-2020 Xiph.Org Foundation; BSD 3-clause licence",
    "libvorbis, vorbisfile, vorbisenc: Copyright (C) 2002-2020 Xiph.Org Foundation; BSD 3-clause licence",
    "libmpg123 (MP3 decoding): Copyright (C) 1995-2021 the mpg123 project; GNU LGPL 2.1",
    "LAME (MP3 encoding): Copyright (C) 1998-2008 the LAME project and contributors; GNU LGPL 2 or later",
    "libFLAC: Copyright (C) 2000-2009 Josh Coalson, 2011-2022 Xiph.Org Foundation; BSD 3-clause licence",
    "libopus, libopusenc (Opus encoding): Copyright (C) 2001-2018 Xiph.Org Foundation and contributors; "
    "BSD 3-clause licence",
    "FFmpeg libavformat, libavcodec, libswresample (WMA, Monkey's Audio and other sources; AAC encoding): "
    "Copyright (C) the FFmpeg developers; GNU LGPL 2.1 or later (as built by Debian: GNU GPL 2 or later)",
    "Monkey's Audio (format by Matthew T. Ashland): written by Merolune's own encoder, read through "
    "FFmpeg; no Monkey's Audio SDK code is used",
    "TagLib (tags and covers): Copyright (C) 2002-2023 Scott Wheeler and the TagLib contributors; "
    "GNU LGPL 2.1 or MPL 1.1",
};

// Page geometry: a caption column, then the controls. The rows sit near the top of each page so
// that the pages look alike as the user flips through them.
constexpr int kCaptionX = 12;
constexpr int kCaptionWidth = 80;
constexpr int kControlX = 96;
constexpr int kRowY = 20;
constexpr int kRowHeight = 22;
constexpr int kBarWidth = 130;
constexpr int kBarHeight = 30;
// A slider's groove runs along its upper part because the ticks take the lower part; starting
// the bar a little higher centres the groove on the caption's row.
constexpr int kBarY = kRowY - 3;
constexpr int kValueX = kControlX + kBarWidth + 4;
constexpr int kValueWidth = 28;

QLabel* MakeLabel(const QString& text, QWidget* parent, const QRect& geometry) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(geometry);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

QComboBox* MakeList(const QStringList& items, QWidget* parent, const QRect& geometry) {
  // A plain QComboBox is a drop-down list: the user picks an item and cannot type another.
  auto* box = new QComboBox(parent);
  box->addItems(items);
  box->setGeometry(geometry);
  return box;
}

template <std::size_t N>
QStringList Texts(const std::array<const char*, N>& items) {
  QStringList texts;
  for (const char* item : items) texts << Text(item);
  return texts;
}

template <std::size_t N>
QStringList Texts(const std::array<int, N>& rates) {
  QStringList texts;
  for (const int rate : rates) texts << QString::number(rate);
  return texts;
}

// A track bar with a tick at every position and a label that shows the position as a number,
// so the user sees the setting without counting ticks.
QSlider* MakeTrackBar(int minimum, int maximum, int value, QWidget* parent, QLabel** valueLabel) {
  auto* bar = new QSlider(Qt::Horizontal, parent);
  bar->setRange(minimum, maximum);
  bar->setSingleStep(1);
  bar->setPageStep(1);
  bar->setTickInterval(1);
  bar->setTickPosition(QSlider::TicksBelow);
  bar->setGeometry(kControlX, kBarY, kBarWidth, kBarHeight);

  auto* label = new QLabel(parent);
  label->setGeometry(kValueX, kRowY, kValueWidth, kRowHeight);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QObject::connect(bar, &QSlider::valueChanged, label, [label](int position) { label->setNum(position); });
  bar->setValue(value);
  label->setNum(bar->value());
  *valueLabel = label;
  return bar;
}

// The selected item's text as a number of kbit/s, rounded to the nearest integer (ties to even)
// the way every setting is carried; a list without a selection counts as 0.
int KbpsOf(const QComboBox& box) {
  if (box.currentIndex() < 0) return 0;
  return static_cast<int>(std::nearbyint(box.currentText().toDouble()));
}

bool SelectKbps(QComboBox& box, int kbps) {
  const int index = box.findText(QString::number(kbps), Qt::MatchExactly);
  if (index < 0) return false;
  box.setCurrentIndex(index);
  return true;
}

}  // namespace

TEncsetDlg::TEncsetDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Text("エンコード"));
  // A fixed dialog frame: a title and a close box, nothing to resize, minimise or maximise.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);
  setSizeGripEnabled(false);
  setFont(UiFont(UiFace::JapaneseUi, 12));
  setFixedSize(kClientWidth, kClientHeight);

  PageControl1 = new QTabWidget(this);
  PageControl1->setGeometry(8, 8, kClientWidth - 16, 168);
  // Eight tabs share 273 pixels: less padding than the styles' default lets every title show in
  // full, with no scroll buttons hiding the last page.
  PageControl1->setUsesScrollButtons(false);
  PageControl1->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 3px 2px; }"));

  const auto addPage = [this](const char* title) {
    auto* page = new QWidget;
    PageControl1->addTab(page, QString::fromUtf8(title));
    return page;
  };
  // A page per coded format, titled as its row says, in the pages' order; the licences last.
  std::array<QWidget*, kEncoderPages> settingsPages{};
  for (int page = 0; page < kEncoderPages; ++page)
    settingsPages[static_cast<std::size_t>(page)] = addPage(FormatWithSettingsPage(page)->PageTitle);
  TabSheet1 = settingsPages[kApePage];
  TabSheet2 = settingsPages[kOggPage];
  TabSheet3 = settingsPages[kMp3Page];
  TabSheet4 = settingsPages[kFlacPage];
  TabSheet5 = settingsPages[kWmaPage];
  TabSheet7 = settingsPages[kOpusPage];
  TabSheet8 = settingsPages[kAacPage];
  TabSheet6 = addPage("Lisences");

  const QRect caption(kCaptionX, kRowY, kCaptionWidth, kRowHeight);
  const EncoderControls defaults;

  Label1 = MakeLabel(Text("品質:"), TabSheet1, caption);
  ComboBox3 = MakeList(Texts(kApeItemTexts), TabSheet1, QRect(kControlX, kRowY, 150, kRowHeight));

  Label2 = MakeLabel(Text("クオリティ:"), TabSheet2, caption);
  TrackBar1 = MakeTrackBar(kOggPositionMin, kOggPositionMax, defaults.OggPosition, TabSheet2, &Label8);

  Label3 = MakeLabel(Text("ビットレート:"), TabSheet3, caption);
  ComboBox1 = MakeList(Texts(kMp3Rates), TabSheet3, QRect(kControlX, kRowY, 70, kRowHeight));
  Label4 = MakeLabel("Kbps", TabSheet3, QRect(kControlX + 76, kRowY, 40, kRowHeight));

  Label5 = MakeLabel(Text("クオリティ:"), TabSheet4, caption);
  TrackBar2 = MakeTrackBar(0, kFlacLevelMax, kFlacBarDefault, TabSheet4, &Label9);
  CheckBox1 = new QCheckBox(Text("デフォルト"), TabSheet4);
  CheckBox1->setGeometry(kControlX, kBarY + kBarHeight + 8, 120, kRowHeight);

  Label6 = MakeLabel(Text("ビットレート:"), TabSheet5, caption);
  ComboBox4 = MakeList(Texts(kWmaRates), TabSheet5, QRect(kControlX, kRowY, 70, kRowHeight));
  Label7 = MakeLabel("Kbps", TabSheet5, QRect(kControlX + 76, kRowY, 40, kRowHeight));

  Label10 = MakeLabel(Text("ビットレート:"), TabSheet7, caption);
  ComboBox5 = MakeList(Texts(kOpusRates), TabSheet7, QRect(kControlX, kRowY, 70, kRowHeight));
  Label11 = MakeLabel("Kbps", TabSheet7, QRect(kControlX + 76, kRowY, 40, kRowHeight));

  Label12 = MakeLabel(Text("ビットレート:"), TabSheet8, caption);
  ComboBox6 = MakeList(Texts(kAacRates), TabSheet8, QRect(kControlX, kRowY, 70, kRowHeight));
  Label13 = MakeLabel("Kbps", TabSheet8, QRect(kControlX + 76, kRowY, 40, kRowHeight));

  SetApeItem(defaults.ApeItem);
  SetMp3Kbps(defaults.Mp3Kbps);
  SetFlacLevel(defaults.FlacLevel);
  SetWmaKbps(defaults.WmaKbps);
  SetOpusKbps(defaults.OpusKbps);
  SetAacKbps(defaults.AacKbps);

  Memo1 = new QPlainTextEdit(TabSheet6);
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  // The acknowledgements are plain Latin text: a compact sans face fits all the lines on the page
  // where the CJK font's tall line spacing would not.
  Memo1->setFont(UiFont(UiFace::Sans, 11));
  QString text;
  for (const char* line : kAcknowledgements) {
    if (!text.isEmpty()) text += QLatin1Char('\n');
    text += QString::fromUtf8(line);
  }
  Memo1->setPlainText(text);
  auto* memoLayout = new QVBoxLayout(TabSheet6);
  memoLayout->setContentsMargins(2, 2, 2, 2);
  memoLayout->addWidget(Memo1);

  Button1 = new QPushButton(QStringLiteral("OK"), this);
  Button1->setGeometry(kClientWidth - 8 - 80, 184, 80, 24);
  Button1->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

  CentreOnDesktop();
}

TEncsetDlg::~TEncsetDlg() = default;

void TEncsetDlg::ShowPage(int page) {
  if (page >= pgApe && page < pgLicences) PageControl1->setCurrentIndex(page);
  CentreOnDesktop();
  if (ModalHook) {
    ModalHook(*this);
    return;
  }
  // Any way out of the modal loop (OK, close box, Escape) returns here; the job goes on with the
  // values in the controls, so the result is of no interest.
  exec();
}

EncoderControls TEncsetDlg::Controls() const {
  EncoderControls controls;
  controls.ApeItem = ComboBox3->currentIndex();
  controls.OggPosition = TrackBar1->value();
  controls.Mp3Kbps = KbpsOf(*ComboBox1);
  controls.FlacLevel = CheckBox1->isChecked() ? kFlacDetailedSettings : TrackBar2->value();
  controls.WmaKbps = KbpsOf(*ComboBox4);
  controls.OpusKbps = KbpsOf(*ComboBox5);
  controls.AacKbps = KbpsOf(*ComboBox6);
  return controls;
}

EncoderSettings TEncsetDlg::Settings() const { return MakeEncoderSettings(Controls()); }

int TEncsetDlg::ApeLevel() const { return Settings().ApeLevel; }

double TEncsetDlg::OggQuality() const { return Settings().OggQuality; }

int TEncsetDlg::Mp3Kbps() const { return Settings().Mp3Kbps; }

int TEncsetDlg::FlacLevel() const { return Settings().FlacLevel; }

int TEncsetDlg::WmaKbps() const { return Settings().WmaKbps; }

int TEncsetDlg::OpusKbps() const { return Settings().OpusKbps; }

int TEncsetDlg::AacKbps() const { return Settings().AacKbps; }

bool TEncsetDlg::SetApeItem(int index) {
  if (index < 0 || index >= ComboBox3->count()) return false;
  ComboBox3->setCurrentIndex(index);
  return true;
}

bool TEncsetDlg::SetOggPosition(int position) {
  if (position < TrackBar1->minimum() || position > TrackBar1->maximum()) return false;
  TrackBar1->setValue(position);
  return true;
}

bool TEncsetDlg::SetMp3Kbps(int kbps) { return SelectKbps(*ComboBox1, kbps); }

bool TEncsetDlg::SetFlacLevel(int level) {
  if (level == kFlacDetailedSettings) {
    CheckBox1->setChecked(true);
    return true;
  }
  if (level < TrackBar2->minimum() || level > TrackBar2->maximum()) return false;
  CheckBox1->setChecked(false);
  TrackBar2->setValue(level);
  return true;
}

bool TEncsetDlg::SetWmaKbps(int kbps) { return SelectKbps(*ComboBox4, kbps); }

bool TEncsetDlg::SetOpusKbps(int kbps) { return SelectKbps(*ComboBox5, kbps); }

bool TEncsetDlg::SetAacKbps(int kbps) { return SelectKbps(*ComboBox6, kbps); }

void TEncsetDlg::CentreOnDesktop() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // The window frame is known once the window has been shown; before that the client area is
  // centred, a title bar's height from the true centre.
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

}  // namespace merolune
