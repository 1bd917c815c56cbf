#pragma once
// The encoding settings dialog: one page of encoder settings per output format, and the licences.

#include <QDialog>
#include <functional>

#include "Formats.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QWidget;

namespace merolune {

// A modal dialog that the conversion service creates once at start-up and keeps for the whole
// run: its controls are the only place the encoder settings live, so they keep their values
// between jobs and every run starts from the defaults. Before an encoding the job calls ShowPage
// for the destination format and then reads the value getters, whatever way the dialog was
// closed. User-interface thread only. The controls are public, named as the rest of the program
// names them, so that the conversion service and the tests can reach them; the dialog owns them
// through Qt parenting. Nothing here throws.
class TEncsetDlg : public QDialog {
  Q_OBJECT

 public:
  // The settings pages, in the page control's order; the licences follow as the last page.
  enum Page {
    pgApe = kApePage,
    pgOgg = kOggPage,
    pgMp3 = kMp3Page,
    pgFlac = kFlacPage,
    pgWma = kWmaPage,
    pgOpus = kOpusPage,
    pgAac = kAacPage,
    pgLicences = kEncoderPages,
  };

  explicit TEncsetDlg(QWidget* parent = nullptr);
  ~TEncsetDlg() override;

  TEncsetDlg(const TEncsetDlg&) = delete;
  TEncsetDlg& operator=(const TEncsetDlg&) = delete;

  // Selects the page of a format (a Page value before pgLicences; any other leaves the current page),
  // centres the dialog on the desktop and shows it modally; returns once it is closed, by the OK
  // button, the close box or Escape alike. With ModalHook set, the hook runs instead of the
  // modal loop.
  void ShowPage(int page);

  // Test hook, process-wide: when set, ShowPage calls it with the dialog on the chosen page in
  // place of exec(), so a test can inspect or change the controls without a modal loop.
  static std::function<void(TEncsetDlg& dialog)> ModalHook;

  // The controls' values, and the encoder settings they stand for (MakeEncoderSettings).
  EncoderControls Controls() const;
  EncoderSettings Settings() const;
  // The encoder arguments the controls stand for, one by one.
  int ApeLevel() const;       // (item index + 1) x 1000: 1000 to 4000
  double OggQuality() const;  // track bar position / 10: -0.1 to 1.0
  int Mp3Kbps() const;        // the selected bit rate, kbit/s
  int FlacLevel() const;      // -1 with "デフォルト" ticked, else the track bar position 0 to 8
  int WmaKbps() const;        // the selected bit rate, kbit/s
  int OpusKbps() const;       // the selected bit rate, kbit/s
  int AacKbps() const;        // the selected bit rate, kbit/s

  // Setters for the same settings, e.g. from command-line defaults. Each returns false and
  // leaves its control as it was when the value is not one the control offers.
  bool SetApeItem(int index);         // 0 to 3
  bool SetOggPosition(int position);  // -1 to 10
  bool SetMp3Kbps(int kbps);          // one of the 18 listed rates
  bool SetFlacLevel(int level);       // -1 ticks "デフォルト"; 0 to 8 unticks it and moves the bar
  bool SetWmaKbps(int kbps);          // one of the 21 listed rates
  bool SetOpusKbps(int kbps);         // one of the 11 listed rates
  bool SetAacKbps(int kbps);          // one of the 10 listed rates

  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;  // "Ape"
  QWidget* TabSheet2 = nullptr;  // "Ogg"
  QWidget* TabSheet3 = nullptr;  // "MP3"
  QWidget* TabSheet4 = nullptr;  // "FLAC"
  QWidget* TabSheet5 = nullptr;  // "WMA"
  QWidget* TabSheet7 = nullptr;  // "Opus"
  QWidget* TabSheet8 = nullptr;  // "AAC"
  QWidget* TabSheet6 = nullptr;  // "Lisences"

  QLabel* Label1 = nullptr;         // "品質:" (Ape)
  QComboBox* ComboBox3 = nullptr;   // Ape compression, 4 items
  QLabel* Label2 = nullptr;         // "クオリティ:" (Ogg)
  QSlider* TrackBar1 = nullptr;     // Ogg quality, -1 to 10
  QLabel* Label8 = nullptr;         // TrackBar1's position as text
  QLabel* Label3 = nullptr;         // "ビットレート:" (MP3)
  QComboBox* ComboBox1 = nullptr;   // MP3 bit rate, 18 items
  QLabel* Label4 = nullptr;         // "Kbps" (MP3)
  QLabel* Label5 = nullptr;         // "クオリティ:" (FLAC)
  QSlider* TrackBar2 = nullptr;     // FLAC level, 0 to 8
  QLabel* Label9 = nullptr;         // TrackBar2's position as text
  QCheckBox* CheckBox1 = nullptr;   // "デフォルト": the encoder's detailed settings
  QLabel* Label6 = nullptr;         // "ビットレート:" (WMA)
  QComboBox* ComboBox4 = nullptr;   // WMA bit rate, 21 items
  QLabel* Label7 = nullptr;         // "Kbps" (WMA)
  QLabel* Label10 = nullptr;        // "ビットレート:" (Opus)
  QComboBox* ComboBox5 = nullptr;   // Opus bit rate, 11 items
  QLabel* Label11 = nullptr;        // "Kbps" (Opus)
  QLabel* Label12 = nullptr;        // "ビットレート:" (AAC)
  QComboBox* ComboBox6 = nullptr;   // AAC bit rate, 10 items
  QLabel* Label13 = nullptr;        // "Kbps" (AAC)
  QPlainTextEdit* Memo1 = nullptr;  // the acknowledgements
  QPushButton* Button1 = nullptr;   // "OK"

 private:
  void CentreOnDesktop();
};

}  // namespace merolune
