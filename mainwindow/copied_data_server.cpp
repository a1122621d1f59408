#include "mainwindow/copied_data_server.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <cstdio>
#include <utility>

namespace tavrin {

namespace {

constexpr int kLiveProbeMs = 500;

}  // namespace

CopiedDataServer::CopiedDataServer(Handler handler, QObject* parent)
    : QObject(parent), handler(std::move(handler)) {}

CopiedDataServer::~CopiedDataServer() {
  Close();
}

bool CopiedDataServer::Listen(const QString& at) {
  Close();
  path = at;
  lastError.clear();
  if (path.isEmpty()) {
    lastError = QStringLiteral("no private temporary folder for the copied-data socket");
    return false;
  }
  {
    // Taking the name from a window that answers on it would leave that
    // one deaf, and its close would later remove our socket.
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(kLiveProbeMs)) {
      lastError = QStringLiteral("another scan window listens at ") + path;
      return false;
    }
  }
  // Left by a window that has ended.
  QLocalServer::removeServer(path);
  server = new QLocalServer(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(path)) {
    lastError = server->errorString();
    delete server;
    server = nullptr;
    return false;
  }
  connect(server, &QLocalServer::newConnection, this, &CopiedDataServer::OnNewConnection);
  return true;
}

void CopiedDataServer::Close() {
  if (server == nullptr) return;
  for (QLocalSocket* socket : server->findChildren<QLocalSocket*>()) {
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
  }
  connections.clear();
  server->close();
  server->deleteLater();
  server = nullptr;
}

bool CopiedDataServer::IsListening() const {
  return server != nullptr && server->isListening();
}

void CopiedDataServer::OnNewConnection() {
  while (server != nullptr && server->hasPendingConnections()) {
    QLocalSocket* socket = server->nextPendingConnection();
    connections[socket] = std::make_unique<Connection>();
    connect(socket, &QObject::destroyed, this, [this, socket] { connections.erase(socket); });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // Bytes that came with the connection are not announced again.
    if (socket->bytesAvailable() > 0) OnReadyRead(socket);
  }
}

void CopiedDataServer::OnReadyRead(QLocalSocket* socket) {
  const auto found = connections.find(socket);
  if (found == connections.end()) return;
  Connection* connection = found->second.get();
  const QByteArray bytes = socket->readAll();
  if (!connection->reader.Append(std::string_view(bytes.constData(), bytes.size()))) {
    std::fprintf(stderr, "TavrinDesk: a copied-data record over %u bytes; connection dropped\n",
                 CopiedDataReader::kMaxRecordBytes);
    socket->abort();
    socket->deleteLater();
    return;
  }
  if (connection->dispatching) return;
  connection->dispatching = true;
  // The handler may close the window and with it this server.
  const QPointer<QLocalSocket> alive(socket);
  while (alive && server != nullptr && connections.count(socket) != 0) {
    std::optional<CopiedDataRecord> record = connection->reader.Next();
    if (!record) break;
    handler(*record);
  }
  if (alive && connections.count(socket) != 0) connection->dispatching = false;
}

}  // namespace tavrin
