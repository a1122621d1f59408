// CopiedDataServer: the scan window's end of the copied-data path, a local
// socket in the user's private temporary folder. Records are handed to the
// handler on the GUI thread, which owns the server. GUI thread only.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>

#include "dslink/copied_data.h"

class QLocalServer;
class QLocalSocket;

namespace tavrin {

class CopiedDataServer : public QObject {
 public:
  using Handler = std::function<void(const CopiedDataRecord& record)>;

  explicit CopiedDataServer(Handler handler, QObject* parent = nullptr);
  ~CopiedDataServer() override;

  // Listens at path. A socket left there by a window that has ended is
  // replaced; one that a running window answers on is left to it, and
  // false is returned.
  bool Listen(const QString& path);
  // Stops taking connections and drops the open ones; the socket file goes.
  void Close();
  bool IsListening() const;
  QString Path() const { return path; }
  QString LastError() const { return lastError; }

 private:
  // What a connection has read so far, and whether its records are being
  // handed out: a handler that opens a message box runs a nested event
  // loop, in which the same connection may read again.
  struct Connection {
    CopiedDataReader reader;
    bool dispatching = false;
  };

  void OnNewConnection();
  void OnReadyRead(QLocalSocket* socket);

  Handler handler;
  QLocalServer* server = nullptr;
  std::map<QLocalSocket*, std::unique_ptr<Connection>> connections;
  QString path;
  QString lastError;
};

}  // namespace tavrin
