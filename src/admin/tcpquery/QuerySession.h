// The state of one query connection: its remote address, selected virtual server, login,
// the server list taken at connect, and the last command. Owned and changed by the
// connection's thread alone; the summary that "lc" shows of every connection is published
// under the session's own mutex so that other connection threads can read it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"
#include "model/ClientRecord.h"

namespace vh {

class TServerObject;

// A virtual server as a session knows it. The weak reference only identifies the server: it
// is looked up in the virtual-server list (under the list lock) before any use, so a server
// stopped meanwhile is never touched.
struct TListedServer {
  int32_t Id = 0;
  uint16_t Port = 0;
  std::weak_ptr<TServerObject> Server;
};

// The account a session is logged in with; it belongs to the session alone.
struct TQueryLogin {
  std::string LoginName;  // as typed, at most 29 characters
  std::string Password;   // as typed, at most 29 characters
  int32_t DBID = 0;
  uint16_t PlayerPrivileges = 0;  // PP_SERVER_ADMIN, PP_SUPER_SERVER_ADMIN
  double LastCheckMs = 0;         // the last re-validation, on the query clock

  bool IsSuperServerAdmin() const { return (PlayerPrivileges & PP_SUPER_SERVER_ADMIN) != 0; }
  bool IsServerAdmin() const { return (PlayerPrivileges & PP_SERVER_ADMIN) != 0; }
};

// What "lc" lists of a connection.
struct TSessionSummary {
  bool LoggedIn = false;
  std::string LoginName;
  int32_t LoginServerId = 0;
  bool SuperServerAdmin = false;
  bool ServerAdmin = false;
  std::string RemoteIP;
  std::string LastCommand;
};

class TQuerySession {
 public:
  explicit TQuerySession(std::string remoteIP) : RemoteIP(std::move(remoteIP)) {}

  // Connection thread only.
  const std::string RemoteIP;
  std::optional<TListedServer> SelectedServer;
  std::optional<TQueryLogin> Login;
  int32_t LoginServerId = 0;
  std::string LastCommand;  // at most 255 characters
  std::vector<TListedServer> ServerList;
  bool Close = false;  // the connection ends after the answer is written
  // A login answer is held back until then (query clock; 0: no wait), so that an account under
  // attack slows down; the connection waits, nothing shared does.
  double AnswerNotBeforeMs = 0;

  // Copies the fields "lc" shows into the published summary.
  void Publish();
  // Any thread.
  TSessionSummary Summary() const;

 private:
  mutable TMutex mutex_;
  TSessionSummary summary_ GUARDED_BY(mutex_);
};

}  // namespace vh
