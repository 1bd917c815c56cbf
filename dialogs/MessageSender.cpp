// The message's GET request over QNetworkAccessManager, its time-out and its outcome as a text.

#include "MessageSender.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace merolune {

TMessageSender::TMessageSender(QObject* parent)
    : QObject(parent), manager_(new QNetworkAccessManager(this)), timer_(new QTimer(this)) {
  manager_->setProxy(QNetworkProxy::NoProxy);
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, [this] {
    if (reply_ == nullptr) return;
    timedOut_ = true;
    reply_->abort();  // finished() follows, and reports the time-out
  });
}

TMessageSender::~TMessageSender() { Abort(); }

void TMessageSender::Send(const std::string& url, std::chrono::milliseconds timeout) {
  if (Busy()) return;
  // fromEncoded keeps the form-encoded bytes as they are (QUrl(QString) would re-encode "%").
  QNetworkRequest request(QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode));
  request.setRawHeader("Accept", kMessageAccept);
  request.setRawHeader("User-Agent", kMessageUserAgent);
  request.setRawHeader("Content-Type", kMessageContentType);
  request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
  timedOut_ = false;
  timeout_ = timeout;
  reply_ = manager_->get(request);
  connect(reply_, &QNetworkReply::finished, this, &TMessageSender::ReplyFinished);
  // The body is not wanted: read it as it comes so that it never piles up.
  connect(reply_, &QNetworkReply::readyRead, reply_, [reply = reply_] { reply->readAll(); });
  timer_->start(timeout);
}

void TMessageSender::Abort() {
  timer_->stop();
  if (reply_ == nullptr) return;
  QNetworkReply* reply = reply_;
  reply_ = nullptr;
  reply->disconnect(this);
  reply->abort();
  reply->deleteLater();
}

void TMessageSender::ReplyFinished() {
  timer_->stop();
  QNetworkReply* reply = reply_;
  reply_ = nullptr;
  reply->deleteLater();
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  QString message;
  if (timedOut_) {
    message = QString::fromUtf8(kMessageNoAnswer).arg(static_cast<double>(timeout_.count()) / 1000.0);
  } else if (reply->error() == QNetworkReply::NoError) {
    emit Finished(true, QString());
    return;
  } else if (status.isValid() && status.toInt() >= 400) {
    // The network's own text repeats the whole URL, message and all; the status line says it.
    message = QStringLiteral("HTTP %1 %2")
                  .arg(status.toInt())
                  .arg(QString::fromUtf8(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray()))
                  .trimmed();
  } else {
    message = reply->errorString();
  }
  emit Finished(false, message);
}

}  // namespace merolune
