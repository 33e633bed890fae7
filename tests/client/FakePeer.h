#pragma once
// A TCP peer on a free port of 127.0.0.1 for the client's tests: it records
// what every connection sent and answers through a test-given handler.

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <vector>

namespace clienttest {

class FakePeer {
 public:
  // Called after each arrival with the connection and all it sent so far.
  using Handler = std::function<void(QTcpSocket*, const QByteArray&)>;

  explicit FakePeer(Handler handler) : handler_(std::move(handler)) {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        const size_t index = received_.size();
        received_.emplace_back();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, index] {
          received_[index] += socket->readAll();
          handler_(socket, received_[index]);
        });
      }
    });
  }

  quint16 port() const { return server_.serverPort(); }
  // What each connection sent, in order of connection.
  const std::vector<QByteArray>& received() const { return received_; }

 private:
  QTcpServer server_;
  Handler handler_;
  std::vector<QByteArray> received_;
};

}  // namespace clienttest
