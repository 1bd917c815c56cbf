// The message dialog against a receiver in the test: the raw request, success and the failures.

#include "Unit8.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "ErrorBox.h"
#include "MessageQuery.h"

namespace merolune {
namespace {

// An HTTP receiver on the loopback address that records the raw bytes of each request and
// answers with the status line `status` ("" never answers).
class Receiver {
 public:
  explicit Receiver(QByteArray status) : status_(std::move(status)) {
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost));
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      QTcpSocket* socket = server_.nextPendingConnection();
      requests_.emplace_back();
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        requests_.back() += socket->readAll();
        if (status_.isEmpty() || !requests_.back().endsWith("\r\n\r\n")) return;
        socket->write("HTTP/1.1 " + status_ + "\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK");
        socket->disconnectFromHost();
      });
    });
  }
  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/cgi-bin/SoftMsg/message.cgi";
  }
  const std::vector<QByteArray>& Requests() const { return requests_; }

 private:
  QTcpServer server_;
  QByteArray status_;
  std::vector<QByteArray> requests_;
};

// A port that refuses: a server that listened there and was closed.
std::string RefusingUrl() {
  QTcpServer server;
  EXPECT_TRUE(server.listen(QHostAddress::LocalHost));
  const quint16 port = server.serverPort();
  server.close();
  return "http://127.0.0.1:" + std::to_string(port) + "/cgi-bin/SoftMsg/message.cgi";
}

struct Box {
  QString caption;
  QString text;
};

class SendMsgDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorBoxHook([this](const QString& title, const QString& text) { errors_.push_back({title, text}); });
    TSendMsgDlg::NoticeHook = [this](const QString& caption, const QString& text) { notices_.push_back({caption, text}); };
    ::setenv(kMessageTimeoutVariable, "400", 1);
    dialog_ = std::make_unique<TSendMsgDlg>();
    dialog_->show();
  }
  void TearDown() override {
    dialog_.reset();
    SetErrorBoxHook(nullptr);
    TSendMsgDlg::NoticeHook = nullptr;
    ::unsetenv(kMessageUrlVariable);
    ::unsetenv(kMessageTimeoutVariable);
  }
  // Types `text`, presses "送る" and waits until the request has ended.
  void Send(const std::string& url, const QString& text) {
    ::setenv(kMessageUrlVariable, url.c_str(), 1);
    dialog_->Memo1->setPlainText(text);
    QTest::mouseClick(dialog_->BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(dialog_->BitBtn1->isEnabled());  // while the request runs
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dialog_->Sending(); }, 60000));
    QApplication::processEvents();
  }

  std::unique_ptr<TSendMsgDlg> dialog_;
  std::vector<Box> errors_;
  std::vector<Box> notices_;
};

TEST_F(SendMsgDlgTest, ControlsTextsAndBounds) {
  EXPECT_EQ(dialog_->windowTitle(), "SendMsgDlg");
  EXPECT_EQ(dialog_->size(), QSize(394, 249));
  EXPECT_EQ(dialog_->Label1->text(), "一言メッセージ");
  EXPECT_EQ(dialog_->Label1->font().pixelSize(), 19);
  EXPECT_TRUE(dialog_->Label1->font().bold());
  EXPECT_EQ(dialog_->Label2->text(), "作者へメッセージを送ることができます。お気軽にご利用ください。");
  EXPECT_LE(dialog_->Label2->geometry().right(), 394 - 8);  // the whole invitation is seen
  EXPECT_EQ(dialog_->BitBtn1->text(), "送る");
  EXPECT_EQ(dialog_->BitBtn2->text(), "閉じる");
  EXPECT_TRUE(dialog_->Memo1->toPlainText().isEmpty());
  const std::pair<QWidget*, QRect> bounds[] = {
      {dialog_->Shape1, {0, 0, 394, 73}},      {dialog_->Memo1, {8, 80, 377, 129}},
      {dialog_->BitBtn1, {104, 216, 81, 25}},  {dialog_->BitBtn2, {192, 216, 81, 25}},
      {dialog_->Label1, {16, 16, dialog_->Label1->width(), dialog_->Label1->height()}},
      {dialog_->Label2, {32, 48, dialog_->Label2->width(), dialog_->Label2->height()}}};
  for (const auto& [widget, rect] : bounds) EXPECT_EQ(widget->geometry(), rect) << widget->metaObject()->className();
}

// The request line, the three headers with their values, and nothing that would carry a body.
TEST_F(SendMsgDlgTest, DeliveredMessageIsOneGetWithTheThreeHeaders) {
  Receiver receiver("200 OK");
  Send(receiver.Url(), "あ b\n~");
  ASSERT_EQ(receiver.Requests().size(), 1u);
  const QByteArray request = receiver.Requests()[0];
  const qsizetype end = request.indexOf("\r\n\r\n");
  ASSERT_GE(end, 0);
  EXPECT_EQ(request.size(), end + 4) << "no body";
  const QList<QByteArray> lines = request.left(end).split('\n');
  // "~" leaves the form encoding as %7E, and QUrl writes it as "~" again: the same character to
  // any receiver, as it is one of the characters a URL never needs to escape.
  EXPECT_EQ(lines[0].trimmed().toStdString(),
            "GET /cgi-bin/SoftMsg/message.cgi?Pass=h5t2e619&Main=%82%A0+b%0D%0A~&soft=Merolune+1.20 HTTP/1.1");
  std::map<QByteArray, std::vector<QByteArray>> headers;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QByteArray line = lines[i].trimmed();
    const qsizetype colon = line.indexOf(':');
    ASSERT_GT(colon, 0) << line.constData();
    headers[line.left(colon).toLower()].push_back(line.mid(colon + 1).trimmed());
  }
  EXPECT_EQ(headers["accept"], std::vector<QByteArray>{"text/html, */*"});
  EXPECT_EQ(headers["user-agent"], std::vector<QByteArray>{"Mozilla/3.0 (compatible; Indy Library)"});
  EXPECT_EQ(headers["content-type"], std::vector<QByteArray>{"text/html"});
  // Besides them only what the HTTP client adds to every request (the host, and the connection,
  // compression and language it can take); no length, range, body, cookie or credentials.
  const std::set<QByteArray> transport{"host", "connection", "accept-encoding", "accept-language"};
  for (const auto& [name, values] : headers) {
    if (name == "accept" || name == "user-agent" || name == "content-type") continue;
    EXPECT_TRUE(transport.count(name)) << name.constData();
    EXPECT_EQ(values.size(), 1u) << name.constData();
  }
  EXPECT_EQ(headers.count("host"), 1u);

  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].caption, "送達");
  EXPECT_EQ(notices_[0].text, "送信が完了しました。");
  EXPECT_TRUE(errors_.empty());
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Accepted);
}

struct FailureCase {
  const char* name;
  const char* status;    // the receiver's answer ("" never answers), or none: refused
  const char* fragment;  // what the error box says
};

class SendFailure : public SendMsgDlgTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SendFailure, ShowsTheErrorAndKeepsTheDialogWithItsText) {
  std::unique_ptr<Receiver> receiver;
  std::string url;
  if (GetParam().status == nullptr) {
    url = RefusingUrl();
  } else {
    receiver = std::make_unique<Receiver>(GetParam().status);
    url = receiver->Url();
  }
  Send(url, "二行の\nメッセージ");

  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].caption, ApplicationTitle());
  EXPECT_TRUE(errors_[0].text.contains(GetParam().fragment)) << errors_[0].text.toStdString();
  EXPECT_TRUE(notices_.empty());
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_EQ(dialog_->Memo1->toPlainText(), "二行の\nメッセージ");
  EXPECT_TRUE(dialog_->BitBtn1->isEnabled());
  if (receiver) {
    EXPECT_EQ(receiver->Requests().size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, SendFailure,
                         ::testing::Values(FailureCase{"ServerError", "500 Internal Server Error", "HTTP 500 Internal Server Error"},
                                           FailureCase{"Refused", nullptr, "refused"},
                                           FailureCase{"NoAnswer", "", "did not answer within 0.4 s"}),
                         [](const ::testing::TestParamInfo<FailureCase>& tested) { return std::string(tested.param.name); });

TEST_F(SendMsgDlgTest, CloseSendsNothing) {
  Receiver receiver("200 OK");
  ::setenv(kMessageUrlVariable, receiver.Url().c_str(), 1);
  dialog_->Memo1->setPlainText("送らない");
  QTest::mouseClick(dialog_->BitBtn2, Qt::LeftButton);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  QTest::qWait(200);
  EXPECT_TRUE(receiver.Requests().empty());
  EXPECT_TRUE(notices_.empty());
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace merolune
