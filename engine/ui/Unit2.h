#pragma once
// The tuning dialog: every reduction parameter except the main window's toolbar toggles.

#include <QDialog>
#include <functional>

#include "ReductionSettings.h"

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSlider;
class QTimer;

namespace merolune {

// A non-modal tool window that the main window creates once (no owner) and shows or closes with
// its toggle button. A job reads the controls once, through Controls(), when it starts; the red
// notice tells the user that later changes wait for the next job. The controls are public so
// that the main window and the tests reach them by the names the rest of the program uses.
//
// The constructor selects the default range preset and runs ComboBox2Change() itself, so the
// range boxes already hold "150" and "14000"; the main window's extra call after creating the
// dialog changes nothing.
class TTuneDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TTuneDlg(QWidget* parent = nullptr);
  ~TTuneDlg() override;

  TTuneDlg(const TTuneDlg&) = delete;
  TTuneDlg& operator=(const TTuneDlg&) = delete;

  // Inside the group box.
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label1 = nullptr;      // "Aパラメータ :"
  QLabel* Label2 = nullptr;      // "Pパラメータ :"
  QLabel* Label3 = nullptr;      // "< ゆるい"
  QLabel* Label4 = nullptr;      // "つよい >"
  QLabel* Label5 = nullptr;      // "精度と速度 :"
  QLabel* Label6 = nullptr;      // "処理範囲 :"
  QLabel* Label7 = nullptr;      // "Hz~"
  QLabel* Label8 = nullptr;      // "Hz"
  QLabel* Label9 = nullptr;      // "キーチェンジ:"
  QSlider* TrackBar1 = nullptr;  // A, 0 .. 1000
  QSlider* TrackBar2 = nullptr;  // P, 0 .. 900
  QSlider* TrackBar4 = nullptr;  // key, -5 .. +5
  QCheckBox* CheckBox1 = nullptr;
  QComboBox* ComboBox1 = nullptr;  // precision and speed
  QComboBox* ComboBox2 = nullptr;  // processing range
  QLineEdit* Edit3 = nullptr;      // low end, Hz
  QLineEdit* Edit4 = nullptr;      // high end, Hz
  QLabel* Label10 = nullptr;       // "高音質 :"
  QCheckBox* CheckBox2 = nullptr;  // "使う": the quality mode
  QLabel* Label11 = nullptr;       // "残響 :"
  QComboBox* ComboBox3 = nullptr;  // the quality mode's reverb handling: "自動", "なし", "あり"

  // Outside the group box.
  QLabel* StaticText1 = nullptr;  // "いま変更しても適用されません", shown while a job runs
  QFrame* Panel3 = nullptr;       // the key value bubble
  QLabel* StaticText4 = nullptr;  // the bubble's text
  QTimer* Timer3 = nullptr;       // hides the bubble, every 500 ms while it shows

  // Called when the dialog closes by its own means (close box, Escape, close()), so that the
  // main window can bring its toggle button up.
  std::function<void()> OnClose;

  // Processing range selected: fills or greys out the range boxes.
  void ComboBox2Change();
  // Either range box changed: a typed value makes the range custom.
  void Edit3Change();
  // Quality mode ticked or unticked: greys out what does not apply to the mode in force.
  void CheckBox2Change();
  // Key track bar moved: shows its position in the bubble near the pointer.
  void TrackBar4Change();
  // Bubble timer tick: hides the bubble once a whole tick passed without a key change.
  void Timer3Timer();

  // Clears the suppress and recent-change flags; the main window calls it at start-up.
  void ClearTransientFlags();
  bool Suppressing() const { return suppress_; }
  bool KeyChangedRecently() const { return keyChangedRecently_; }

  // The controls' raw values, for MakeSettings at the start of a job.
  TuningControls Controls() const;

  // Shows the red notice while a job runs, hides it afterwards.
  void SetJobRunning(bool running);

 signals:
  // The precision selection changed; blockSize is the new block length in frames.
  void PrecisionChanged(int blockSize);

 protected:
  void closeEvent(QCloseEvent* event) override;

 public slots:
  // Escape closes the dialog like its close box, so the toggle button comes up as well.
  void reject() override;

 private:
  void ComboBox1Change(int index);

  bool suppress_ = false;            // set while ComboBox2Change fills the boxes
  bool keyChangedRecently_ = false;  // set by a key change, cleared by each timer tick
};

}  // namespace merolune
