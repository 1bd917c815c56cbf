#pragma once
// The one HTTP request of the message to the author: a GET with three fixed headers and a time-out.

#include <QObject>
#include <QString>
#include <chrono>
#include <string>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace merolune {

// The request's fixed headers.
inline constexpr const char* kMessageAccept = "text/html, */*";
inline constexpr const char* kMessageUserAgent = "Mozilla/3.0 (compatible; Indy Library)";
inline constexpr const char* kMessageContentType = "text/html";

// Sends one GET request at a time through QNetworkAccessManager, without a proxy, with the
// headers Accept, User-Agent and Content-Type set as above and no body; the answer's body is read
// and dropped. Finished comes once per Send, from the event loop (never inside Send): delivered
// when the server answered with a success status, else false with a readable message: the HTTP
// status line for an error status ("HTTP 500 Internal Server Error"), the network's own text
// ("Connection refused"), or kMessageNoAnswer when nothing came within the time-out.
// UI thread (any thread with an event loop) only; nothing here throws.
class TMessageSender : public QObject {
  Q_OBJECT

 public:
  explicit TMessageSender(QObject* parent = nullptr);
  ~TMessageSender() override;

  TMessageSender(const TMessageSender&) = delete;
  TMessageSender& operator=(const TMessageSender&) = delete;

  // Starts the request for `url` (already encoded, sent byte for byte). Ignored while Busy.
  void Send(const std::string& url, std::chrono::milliseconds timeout);
  bool Busy() const { return reply_ != nullptr; }
  // Drops the running request without a Finished signal.
  void Abort();

 signals:
  void Finished(bool delivered, const QString& message);

 private:
  void ReplyFinished();

  QNetworkAccessManager* manager_;
  QNetworkReply* reply_ = nullptr;
  QTimer* timer_;
  std::chrono::milliseconds timeout_{};
  bool timedOut_ = false;
};

// The message when the server has not answered in time; %1 is the time-out in seconds.
inline constexpr const char* kMessageNoAnswer = "The server did not answer within %1 s";

}  // namespace merolune
