#pragma once
// The message to the author: a short text sent to the maker's receiver in one GET request.

#include <QDialog>
#include <QString>
#include <functional>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QWidget;

namespace merolune {

class TMessageSender;

// A modal dialog, 394 x 249 client pixels, created by the menu command for one showing. "送る"
// sends the memo's text (MessageQuery) to MessageEndpoint() through a TMessageSender: while the
// request runs the send button is disabled and the cursor busy, and the event loop goes on. A
// delivered message shows the completion box ("送達") and closes the dialog; a failure shows the
// standard error box with the client's message and leaves the dialog open with the text. "閉じる"
// and the close box send nothing (and drop a running request). UI thread only; its handlers let
// no exception out.
class TSendMsgDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TSendMsgDlg(QWidget* parent = nullptr);
  ~TSendMsgDlg() override;

  TSendMsgDlg(const TSendMsgDlg&) = delete;
  TSendMsgDlg& operator=(const TSendMsgDlg&) = delete;

  void BitBtn1Click();  // "送る": send the text
  void BitBtn2Click();  // "閉じる": close, sending nothing
  bool Sending() const;

  // Test hook, process-wide: when set, it stands in for the completion box (caption, text).
  static std::function<void(const QString& caption, const QString& text)> NoticeHook;

  QWidget* Shape1;         // the white banner behind the two labels
  QFrame* Bevel1;          // the line under it
  QLabel* Label1;          // "一言メッセージ"
  QLabel* Label2;          // the invitation
  QPlainTextEdit* Memo1;   // the message
  QPushButton* BitBtn1;    // "送る"
  QPushButton* BitBtn2;    // "閉じる"
  TMessageSender* IdHTTP1; // the HTTP client

 public slots:
  void reject() override;  // "閉じる", the close box and Esc: drops a running request first

 private:
  void SendFinished(bool delivered, const QString& message);
};

inline constexpr const char* kSendMsgCaption = "SendMsgDlg";
inline constexpr const char* kSentCaption = "送達";
inline constexpr const char* kSentText = "送信が完了しました。";

}  // namespace merolune
