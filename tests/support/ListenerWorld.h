// One virtual server in process, without socket or threads: the world is its socket, its send
// thread and its listener thread, on a manual clock, over a fresh SQLite database in a
// temporary directory, with the process log captured in memory. Players are client sessions
// that hand their datagrams straight to the connection table; Settle() runs the listener and
// the send side until nothing moves, so a handler's answer is there once it returns.
// Single-threaded: the test thread drives everything (Request runs the administration
// request on a helper thread, as the query or web thread would, while it settles).
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientPackets.h"
#include "client/ClientSession.h"
#include "common/Log.h"
#include "common/PasswordCheckPool.h"
#include "model/Clients.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "support/LogInAndJoin.h"
#include "support/TempDir.h"
#include "transport/Clocks.h"
#include "transport/ConnectionTable.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"
#include "vserver/VServerEnvironment.h"

namespace vh::test {

class TListenerWorld;

// A player of the world: a client session at 127.0.0.1 on a port of its own.
class TWorldPlayer {
 public:
  TWorldPlayer(TListenerWorld& world, uint16_t port) : world_(world), port_(port) {}

  uint32_t PlayerId() const { return session_.PlayerId(); }
  uint16_t LocalPort() const { return port_; }
  client::TClientSession& Session() { return session_; }

  // Queues a reliable command; returns its sequence number. Nothing moves before a Settle.
  inline uint32_t SendCommand(uint16_t number, std::string_view payload);
  // Settles, then takes the first command `number` for which `match` holds (null: none).
  inline std::unique_ptr<TPacket> WaitFor(uint16_t number,
                                          const std::function<bool(const TPacket&)>& match = {});
  inline std::optional<client::TErrorReply> WaitForError();
  // Settles, then takes every command that has arrived.
  inline std::vector<std::unique_ptr<TPacket>> TakeAll();
  // Sends the request and settles: the refusal's code, or 0 when it was not refused.
  inline int Refusal(uint16_t number, std::string_view payload);
  // Quits and settles until the server has let him go (his own left notice acknowledged).
  inline bool Quit();

 private:
  friend class TListenerWorld;
  TListenerWorld& world_;
  const uint16_t port_;
  client::TClientSession session_;
};

class TListenerWorld {
 public:
  // `configure` may change the host's rules before the server starts.
  explicit TListenerWorld(const std::function<void(THostPolicy&)>& configure = {}) {
    auto log = std::make_unique<TMemoryLog>();
    log_ = log.get();
    InstallLog(std::move(log));
    THostPolicy policy;
    if (configure) configure(policy);
    environment_ = std::make_unique<TFixedVServerEnvironment>(
        std::move(policy), std::vector<std::string>{"127.0.0.1"});
    // No threads here: a registered login's password check runs inside the listener's turn.
    environment_->SetPasswordChecks(&checks_);
    storage_ = std::make_unique<TSQLiteStorage>(dir_.File("server.dbs"),
                                                std::string(VH_SOURCE_DIR) + "/sqlite_sql/");
    if (!CreateTables(storage_.get()) || !UpgradeDatabase(storage_.get()))
      throw std::runtime_error("cannot create the tables");
    server_ = std::make_shared<TServerObject>(storage_.get(), nullptr, environment_.get());
    server_->SetClock(clock_);
    server_->SetDetached();
    if (!server_->Start(0, 9)) throw std::runtime_error("the server did not start");
    // Every player comes from 127.0.0.1: the login limits tell them apart by port.
    TLoginLimits limits;
    limits.sourceByPort = true;
    server_->PacketBuffer()->SetLoginLimits(limits);
  }
  ~TListenerWorld() {
    players_.clear();
    server_.reset();
    storage_.reset();
    DestroyLog();
  }
  TListenerWorld(const TListenerWorld&) = delete;
  TListenerWorld& operator=(const TListenerWorld&) = delete;

  TServerObject& Server() { return *server_; }
  TCustomStorage& Storage() { return *storage_; }
  TMemoryLog& Log() { return *log_; }
  TManualClock& Clock() { return clock_; }

  // Runs the listener over every queued event and delivers every outgoing packet to the
  // player it is addressed to (their acknowledgements go back in), until nothing moves, even
  // when the clock moves on a little (what the table paces or resends goes out then).
  void Settle() {
    RunUntilIdle();
    for (int step = 0; step < 50; ++step) {
      clock_.Advance(20);
      if (!RunUntilIdle()) return;
    }
  }

  // One Settle without moving the clock; false when nothing moved at all.
  bool RunUntilIdle() {
    TCustomPacketBuffer& table = *server_->PacketBuffer();
    bool moved = false;
    for (int round = 0; round < 10000; ++round) {
      bool busy = false;
      for (auto& [port, player] : players_)
        for (std::string& datagram : player->session_.TakeOutbox()) {
          busy = true;
          auto p = std::make_unique<TPacket>();
          p->Write(datagram.data(), static_cast<int32_t>(datagram.size()));
          p->SetAddress("127.0.0.1", port, "127.0.0.1");
          p->SetPosition(0);
          table.OfferDatagram(std::move(p));
        }
      uint32_t playerId = 0;
      uint8_t kind = 0;
      std::unique_ptr<TPacket> event;
      int32_t wait = 0;
      while (table.PollEvent(playerId, kind, event, wait)) {
        busy = true;
        server_->Listener()->HandleEvent(playerId, kind, std::move(event));
      }
      while (auto p = table.NextOutgoingPacket(0)) {
        busy = true;
        auto to = players_.find(p->PeerPort());
        if (to != players_.end()) to->second->session_.HandleDatagram(p->Bytes(), Now());
      }
      if (!busy) return moved;
      moved = true;
    }
    throw std::runtime_error("the world never settled");
  }

  // Logs in (anonymously unless `login` is given); null when refused.
  TWorldPlayer* Login(const std::string& nickname, const std::string& login = {},
                      const std::string& password = {}) {
    const uint16_t port = nextPort_++;
    TWorldPlayer& p = *(players_[port] = std::make_unique<TWorldPlayer>(*this, port));
    p.session_.QueueLogin(LoginAs(nickname, login, password));
    Settle();
    auto reply = p.session_.TakeLoginReply();
    if (!reply || reply->result != 1) {
      players_.erase(port);
      return nullptr;
    }
    p.session_.SetIdentity(reply->connectionId, reply->playerId);
    return &p;
  }

  // Logs in and joins `channel` (empty: the default one); null when either fails. The join's
  // lists stay queued in the player's session.
  TWorldPlayer* Join(const std::string& nickname, const std::string& login = {},
                     const std::string& password = {}, const std::string& channel = {}) {
    TWorldPlayer* p = Login(nickname, login, password);
    if (!p) return nullptr;
    client::TJoinOptions j;
    j.channel = channel;
    p->SendCommand(5, client::BuildJoinPayload(j));
    Settle();
    if (!p->session_.TakeCommand(8)) return nullptr;
    while (p->session_.TakeCommand(6) || p->session_.TakeCommand(7)) {
    }
    return p;
  }

  // An account of this virtual server; returns its id.
  int32_t AddAccount(const std::string& login, const std::string& password,
                     uint16_t privileges = 0) {
    const auto server = static_cast<uint32_t>(server_->ServerID());
    TClients accounts(server, storage_.get());
    TClientRecord record;
    record.LoginName = login;
    record.Password = password;
    record.PlayerPrivileges = privileges;
    if (accounts.DBAddUser(server, &record) != 0)
      throw std::runtime_error("cannot add account " + login);
    return record.DBID;
  }

  // An administration request as the query and the web send it: it waits for the listener,
  // which this thread runs meanwhile.
  TListenerRequest Request(TListenerRequestKind type, int32_t target, int32_t argument = 0,
                           uint16_t flags = 0, std::string text = {}) {
    TListenerRequest r;
    r.Type = type;
    r.RequestTarget = target;
    r.RequestArgument = argument;
    r.RequestFlags = flags;
    r.RequestText = std::move(text);
    auto answer = std::async(std::launch::async, [&] { return server_->ExecuteRequest(r); });
    while (answer.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
      RunUntilIdle();
    TListenerRequest done = answer.get();
    Settle();  // what the request sent to the players
    return done;
  }

  // Changes settings of the running server in memory (as the administration does).
  void EditSettings(const std::function<void(TVirtualServerSettings&)>& edit) {
    TVirtualServerSettings settings = server_->Settings();
    edit(settings);
    server_->SetSettings(settings);
  }

  // Moves the clock on in steps, settling after each, so the table's timers run.
  void Advance(double ms) {
    while (ms > 0) {
      const double step = std::min(ms, 1000.0);
      clock_.Advance(step);
      ms -= step;
      Settle();
    }
  }

  client::TTime Now() const {
    return client::TTime{} + std::chrono::milliseconds(static_cast<int64_t>(clock_.NowMs()));
  }

 private:
  TTempDir dir_;
  TManualClock clock_;
  TMemoryLog* log_ = nullptr;     // owned by the process log
  TPasswordCheckPool checks_{0};  // before the server: it outlives it
  std::unique_ptr<TFixedVServerEnvironment> environment_;
  std::unique_ptr<TCustomStorage> storage_;
  std::shared_ptr<TServerObject> server_;
  std::map<uint16_t, std::unique_ptr<TWorldPlayer>> players_;
  uint16_t nextPort_ = 40000;
};

uint32_t TWorldPlayer::SendCommand(uint16_t number, std::string_view payload) {
  return session_.QueueCommand(number, payload, world_.Now());
}

std::unique_ptr<TPacket> TWorldPlayer::WaitFor(uint16_t number,
                                               const std::function<bool(const TPacket&)>& match) {
  world_.Settle();
  return session_.TakeCommandIf(
      [&](const TPacket& q) { return q.CommandNumber() == number && (!match || match(q)); });
}

std::optional<client::TErrorReply> TWorldPlayer::WaitForError() {
  world_.Settle();
  auto p = session_.TakeErrorReply();
  if (!p) return std::nullopt;
  return client::ParseErrorReply(*p);
}

std::vector<std::unique_ptr<TPacket>> TWorldPlayer::TakeAll() {
  world_.Settle();
  std::vector<std::unique_ptr<TPacket>> all;
  while (auto p = session_.TakeAnyCommand()) all.push_back(std::move(p));
  return all;
}

int TWorldPlayer::Refusal(uint16_t number, std::string_view payload) {
  const uint32_t sequence = SendCommand(number, payload);
  world_.Settle();
  auto e = session_.TakeCommandIf([&](const TPacket& q) {
    return client::IsErrorReply(q) && q.Size() >= 30 && q.LongAt(26) == sequence;
  });
  return e ? client::ParseErrorReply(*e)->code : 0;
}

bool TWorldPlayer::Quit() {
  SendCommand(300, {});
  world_.Settle();
  const uint32_t self = PlayerId();
  const bool heard = session_.AllAcknowledged() && session_.TakeCommandIf([self](const TPacket& p) {
    auto left = client::ParsePlayerLeft(p);
    return left && static_cast<uint32_t>(left->playerId) == self;
  }) != nullptr;
  // The table's next event passes close the connection and the listener lets him go.
  TServerObject& server = world_.Server();
  for (int pass = 0; pass < 50; ++pass) {
    {
      TLockGuard registry(server.Clients()->Mutex());
      if (!server.Clients()->GetClientByID(self)) break;
    }
    world_.Clock().Advance(60);
    world_.RunUntilIdle();
  }
  return heard;
}

}  // namespace vh::test
