// A real virtual server on a loopback port over a fresh SQLite database in a temporary
// directory, with the process log captured in memory, and protocol clients to talk to it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/ProtocolClient.h"
#include "common/Log.h"
#include "storage/CustomStorage.h"
#include "support/TempDir.h"
#include "transport/Clocks.h"
#include "vserver/ServerObject.h"
#include "vserver/VServerEnvironment.h"

namespace vh::test {

using namespace std::chrono_literals;

class TServerHarness {
 public:
  // `configure` may change the host's rules before the server starts.
  // `clock` drives the connection table's timers when given. `boundAddresses` are the
  // server's bindings (none: every address of both families). `checks` takes the password
  // checks of logins instead of the process's pool; it must outlive the harness.
  explicit TServerHarness(const std::function<void(THostPolicy&)>& configure = {},
                          const TClock* clock = nullptr,
                          std::vector<std::string> boundAddresses = {"127.0.0.1"},
                          TPasswordCheckPool* checks = nullptr);
  ~TServerHarness();

  TServerObject& Server() { return *server_; }
  TCustomStorage& Storage() { return *storage_; }
  TMemoryLog& Log() { return *log_; }
  uint16_t Port() const { return port_; }
  const TTempDir& Dir() const { return dir_; }

  // Every test player logs in from 127.0.0.1, so the per-address login limits of the
  // connection table tell sources apart by port: each client socket is one "address".
  void SourcesByPort();

  // Stops the running server and starts the same record again (settings from the database;
  // the port may change: Port() tells the new one).
  void Restart();
  // Stops the server (players get their left notice).
  void StopServer();
  // Changes settings of the running server in memory (as the administration does).
  void EditSettings(const std::function<void(TVirtualServerSettings&)>& edit);

  // Moves `clock` on by `ms` in steps the table's timers accept, letting the listener finish
  // an event pass (its time-out checks) after each step.
  void AdvanceClock(TManualClock& clock, double ms);

  // An account of this virtual server; returns its id.
  int32_t AddAccount(const std::string& login, const std::string& password,
                     uint16_t privileges = 0);

  // The address the next clients talk to (127.0.0.1 unless set).
  void SetClientHost(std::string host) { clientHost_ = std::move(host); }
  std::unique_ptr<client::TProtocolClient> NewClient();
  // Logs in (anonymously unless `login` is given) and joins the default channel; null when
  // the login was refused or the join did not complete.
  std::unique_ptr<client::TProtocolClient> Join(const std::string& nickname,
                                                const std::string& login = {},
                                                const std::string& password = {},
                                                const std::string& channel = {});

 private:
  void StartServer(int32_t id, const char* failure);

  TTempDir dir_;
  TMemoryLog* log_ = nullptr;  // owned by the process log
  std::unique_ptr<TFixedVServerEnvironment> environment_;
  std::unique_ptr<TCustomStorage> storage_;
  std::shared_ptr<TServerObject> server_;
  const TClock* clock_ = nullptr;
  uint16_t port_ = 0;
  std::string clientHost_ = "127.0.0.1";
};

}  // namespace vh::test
