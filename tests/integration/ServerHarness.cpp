#include "ServerHarness.h"

#include <algorithm>
#include <stdexcept>

#include "model/Clients.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "support/LogInAndJoin.h"
#include "support/Process.h"
#include "transport/ConnectionTable.h"

namespace vh::test {

TServerHarness::TServerHarness(const std::function<void(THostPolicy&)>& configure,
                               const TClock* clock, std::vector<std::string> boundAddresses,
                               TPasswordCheckPool* checks)
    : clock_(clock) {
  auto log = std::make_unique<TMemoryLog>();
  log_ = log.get();
  InstallLog(std::move(log));
  THostPolicy policy;
  if (configure) configure(policy);
  environment_ =
      std::make_unique<TFixedVServerEnvironment>(std::move(policy), std::move(boundAddresses));
  if (checks) environment_->SetPasswordChecks(checks);
  storage_ = std::make_unique<TSQLiteStorage>(dir_.File("server.dbs"),
                                              std::string(VH_SOURCE_DIR) + "/sqlite_sql/");
  if (!CreateTables(storage_.get()) || !UpgradeDatabase(storage_.get()))
    throw std::runtime_error("cannot create the tables");
  StartServer(0, "the server did not start");
}

void TServerHarness::StartServer(int32_t id, const char* failure) {
  // The system picks the port as the socket binds it, so no other test can take it first.
  server_ = std::make_shared<TServerObject>(storage_.get(), nullptr, environment_.get());
  if (clock_) server_->SetClock(*clock_);
  server_->SetBindAnyPort(true);
  if (!server_->Start(id, 0)) throw std::runtime_error(failure);
  port_ = server_->BoundPort();
  SourcesByPort();
}

void TServerHarness::SourcesByPort() {
  TLoginLimits limits;
  limits.sourceByPort = true;
  server_->PacketBuffer()->SetLoginLimits(limits);
}

TServerHarness::~TServerHarness() {
  if (server_) server_->Stop();
  server_.reset();
  storage_.reset();
  DestroyLog();
}

void TServerHarness::StopServer() {
  server_->Stop();
}

void TServerHarness::Restart() {
  const int32_t id = server_->ServerID();
  server_->Stop();
  StartServer(id, "the server did not restart");
}

void TServerHarness::EditSettings(const std::function<void(TVirtualServerSettings&)>& edit) {
  TVirtualServerSettings s = server_->Settings();
  edit(s);
  server_->SetSettings(s);
}

void TServerHarness::AdvanceClock(TManualClock& clock, double ms) {
  constexpr double kStep = 5000;  // well inside the pass timer's 10-second range
  constexpr double kNudge = 60;   // more than one pass interval
  TCustomPacketBuffer& table = *server_->PacketBuffer();
  // A table without connections makes no passes (nothing in it can time out): no wait then.
  auto waitForPass = [&] {
    const uint64_t passes = table.EventPasses();
    WaitUntil([&] { return table.EventPasses() > passes || table.ConnectionCount() == 0; }, 5000ms);
  };
  while (ms > 0) {
    const double step = std::min(ms, kStep);
    ms -= step;
    clock.Advance(step - kNudge);
    waitForPass();  // may be a pass that began before the step
    clock.Advance(kNudge);
    waitForPass();  // began after the step: it saw the new time
  }
}

int32_t TServerHarness::AddAccount(const std::string& login, const std::string& password,
                                   uint16_t privileges) {
  TClients accounts(static_cast<uint32_t>(server_->ServerID()), storage_.get());
  TClientRecord record;
  record.LoginName = login;
  record.Password = password;
  record.PlayerPrivileges = privileges;
  if (accounts.DBAddUser(static_cast<uint32_t>(server_->ServerID()), &record) != 0)
    throw std::runtime_error("cannot add account " + login);
  return record.DBID;
}

std::unique_ptr<client::TProtocolClient> TServerHarness::NewClient() {
  auto c = std::make_unique<client::TProtocolClient>();
  if (!c->Connect(clientHost_, port_)) throw std::runtime_error("client cannot connect");
  return c;
}

std::unique_ptr<client::TProtocolClient> TServerHarness::Join(const std::string& nickname,
                                                              const std::string& login,
                                                              const std::string& password,
                                                              const std::string& channel) {
  auto c = NewClient();
  if (!LogInAndJoin(*c, nickname, login, password, channel)) return nullptr;
  return c;
}

}  // namespace vh::test
