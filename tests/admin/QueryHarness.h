// The TCP query interface over real sockets on 127.0.0.1: a fresh SQLite database in a
// temporary directory, the process log written to a file there, running virtual servers in a
// real virtual-server list, a super server admin account "root"/"rootpw", and the query
// listener on a port the system picks. Time for the query (idle limit, failed-login purge,
// re-validation) comes from a manual clock the test moves.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admin/AdminContext.h"
#include "admin/tcpquery/TCPQuery.h"
#include "client/ProtocolClient.h"
#include "storage/CustomStorage.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "support/TempDir.h"
#include "transport/Clocks.h"
#include "vserver/ServerObject.h"
#include "vserver/VServerEnvironment.h"
#include "vserver/VirtualServerList.h"

namespace vh::test {

using namespace std::chrono_literals;

// A UDP port that is free on 127.0.0.1 right now.
uint16_t FreeUdpPort();

// One query connection: line-based reads with a deadline (no sleeps).
class TQueryConnection {
 public:
  // From `source` (an address of 127.0.0.0/8; empty: the system's choice).
  explicit TQueryConnection(uint16_t port, const std::string& source = {});
  ~TQueryConnection();
  TQueryConnection(const TQueryConnection&) = delete;
  TQueryConnection& operator=(const TQueryConnection&) = delete;

  bool Connected() const { return fd_ >= 0; }
  void Send(std::string_view bytes);
  // The next line without its CR LF; none when the connection closed or nothing came in time.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 5s);
  // Sends `line` and reads the answer up to and including the final "OK", "ERROR, ..." or
  // "error" line.
  std::vector<std::string> Command(const std::string& line);
  // The final line of Command's answer.
  std::string Final(const std::string& line);
  // True once the server has closed the connection (read gives end of file).
  bool WaitClosed(std::chrono::milliseconds timeout = 5s);

 private:
  int fd_ = -1;
  std::string buffer_;
};

// The harness's SQLite storage, whose queries can be made to fail as a database that went
// away does (no result, the failure flagged).
class TFailableStorage : public TSQLiteStorage {
 public:
  using TSQLiteStorage::TSQLiteStorage;
  std::unique_ptr<TStorageContainer> Open() REQUIRES(Mutex()) override {
    if (failing_.load()) {
      SetLastOpenFailed(true);
      return nullptr;
    }
    return TSQLiteStorage::Open();
  }
  void SetFailing(bool failing) { failing_.store(failing); }

 private:
  std::atomic<bool> failing_{false};
};

class TQueryHarness {
 public:
  explicit TQueryHarness(TQueryLimits limits = {});
  ~TQueryHarness();

  TTCPQuery& Query() { return *query_; }
  TManualClock& Clock() { return clock_; }
  TCustomStorage& Storage() { return *storage_; }
  // Every query of the storage fails from now on (true) or runs again (false).
  void FailStorage(bool failing) { storage_->SetFailing(failing); }
  TVirtualServerList& Servers() { return *servers_; }
  TAdminContext& Context() { return context_; }
  // The host's rules the servers read at each event (log switches and limits).
  TFixedVServerEnvironment& Environment() { return *environment_; }
  const TTempDir& Dir() const { return dir_; }
  // The first virtual server, started with the harness.
  TServerObject& Server() { return *server_; }
  uint16_t ServerPort() const { return serverPort_; }
  std::string LogFile() const { return dir_.File("server.log"); }

  // A new virtual server on a free port; its port.
  uint16_t AddServer();
  std::unique_ptr<TQueryConnection> Connect(const std::string& source = {});
  // Connected, super-logged-in as root and with the first server selected.
  std::unique_ptr<TQueryConnection> Admin();
  // A player on `port` (the first server by default) in the default channel; null on failure.
  std::unique_ptr<client::TProtocolClient> Join(const std::string& nickname, uint16_t port = 0,
                                                const std::string& login = {},
                                                const std::string& password = {});

 private:
  TTempDir dir_;
  TManualClock clock_;
  std::unique_ptr<TFixedVServerEnvironment> environment_;
  std::unique_ptr<TFailableStorage> storage_;
  std::unique_ptr<TVirtualServerList> servers_;
  TAdminContext context_;
  std::shared_ptr<TServerObject> server_;
  uint16_t serverPort_ = 0;
  std::unique_ptr<TTCPQuery> query_;
};

}  // namespace vh::test
