// The whole listener in process: one virtual server over a real SQLite file, without socket
// or threads (the harness is its socket, its send thread and its listener thread), on a
// manual clock. Each input logs a fresh anonymous player in from an address of its own, joins
// him, feeds his datagrams (commands of any number with arbitrary payloads, numbered and
// with their CRC; voice; raw bytes) and acknowledges what the server sends, then lets him
// quit and the server tear him down. Checks that the server keeps its player count in step.
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "client/ClientPackets.h"
#include "common/Mutex.h"
#include "model/Clients.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "transport/ConnectionTable.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"

namespace {

using namespace vh;

void Check(bool holds) {
  if (!holds) std::abort();
}

struct TWorld {
  TManualClock clock;
  std::unique_ptr<TFixedVServerEnvironment> environment;
  std::unique_ptr<TCustomStorage> storage;
  std::shared_ptr<TServerObject> server;
  uint32_t inputs = 0;

  TWorld() {
    // In the working directory (scripts/fuzz.sh runs the harnesses in build-fuzz/).
    char dir[] = "listener-fuzz-db-XXXXXX";
    Check(::mkdtemp(dir) != nullptr);
    THostPolicy policy;
    policy.SpamMaxCommands = 1 << 30;  // flood bans would end every session early
    environment = std::make_unique<TFixedVServerEnvironment>(std::move(policy),
                                                             std::vector<std::string>{"127.0.0.1"});
    storage = std::make_unique<TSQLiteStorage>(std::string(dir) + "/server.dbs",
                                               std::string(VH_SOURCE_DIR) + "/sqlite_sql/");
    Check(CreateTables(storage.get()) && UpgradeDatabase(storage.get()));
    server = std::make_shared<TServerObject>(storage.get(), nullptr, environment.get());
    server->SetClock(clock);
    server->SetDetached();
    Check(server->Start(0, 9));
    TLoginLimits limits;
    limits.perSecond = limits.burst = 1e9;
    server->PacketBuffer()->SetLoginLimits(limits);
  }

  TCustomPacketBuffer& Table() { return *server->PacketBuffer(); }

  size_t Players() {
    TLockGuard registry(server->Clients()->Mutex());
    return server->Clients()->Count();
  }
};

TWorld& World() {
  static TWorld* world = new TWorld();  // lives for the whole run
  return *world;
}

struct TSession {
  std::string address;
  uint16_t port = 5000;
  uint32_t connection = 0;
  uint32_t player = 0;
  uint32_t nextCommand = 1;
  bool loggedIn = false;
};

std::unique_ptr<TPacket> From(const TSession& s, std::unique_ptr<TPacket> p) {
  if (p->IsCommandPacket() || p->IsConnectionPacket()) p->SetCRC();
  p->SetAddress(s.address, s.port, "127.0.0.1");
  p->SetPosition(0);
  return p;
}

// Runs the listener and the send side until both are idle: every event handled, every
// outgoing packet taken; the session's client acknowledges each command sent to it and
// reads its login reply.
void Settle(TWorld& w, TSession& s) {
  for (int round = 0; round < 64; ++round) {
    bool busy = false;
    uint32_t playerId = 0;
    uint8_t kind = 0;
    std::unique_ptr<TPacket> event;
    int32_t wait = 0;
    while (w.Table().PollEvent(playerId, kind, event, wait)) {
      busy = true;
      w.server->Listener()->HandleEvent(playerId, kind, std::move(event));
    }
    while (auto p = w.Table().NextOutgoingPacket(0)) {
      busy = true;
      Check(p->IsValidPacket());
      if (p->PeerAddress() != s.address) continue;
      if (p->IsConnectionPacket() && p->CommandNumber() == kConnLoginReply && p->Size() >= 180 &&
          static_cast<int32_t>(p->LongAt(88)) == 1) {
        s.connection = p->LongAt(172);
        s.player = p->LongAt(176);
        s.loggedIn = true;
      }
      if (p->IsCommandPacket() && s.loggedIn && p->PacketPlayerId() == s.player)
        w.Table().OfferDatagram(
            From(s, NewAckPacket(p->ResendCount(), s.connection, s.player, p->SequenceNumber())));
    }
    if (!busy) {
      // Lets the event pass (time-outs, closed connections) and the resend timers run.
      w.clock.Advance(60);
      if (round > 4) return;
    }
  }
}

void SendCommand(TWorld& w, TSession& s, uint16_t number, const std::string& payload) {
  auto p = NewCommandPacket(number, s.connection, s.player, s.nextCommand++);
  p->Write(payload.data(), static_cast<int32_t>(payload.size()));
  w.Table().OfferDatagram(From(s, std::move(p)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TWorld& w = World();
  fuzz::TFuzzInput in(data, size);
  const uint32_t n = ++w.inputs;
  TSession s;
  s.address = "10." + std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) + "." +
              std::to_string(n & 255);
  const size_t before = w.Players();

  client::TLoginOptions login;
  login.nickname = "fuzz" + std::to_string(n);
  w.Table().OfferDatagram(From(s, client::BuildLoginRequest(login, 1)));
  Settle(w, s);
  if (!s.loggedIn) return 0;
  SendCommand(w, s, 5, client::BuildJoinPayload({}));
  Settle(w, s);

  for (int steps = 0; !in.Done() && steps < 64; ++steps) {
    const uint8_t op = in.Byte();
    switch (op % 4) {
      case 0:
      case 1: {  // a command of the table (or any number), arbitrary payload
        const auto& table = TVHUDPListener::kCommandTable;
        const uint8_t pick = in.Byte();
        uint16_t number = pick < TVHUDPListener::kCommandCount * 8
                              ? table[pick % TVHUDPListener::kCommandCount].number
                              : in.Word();
        if (number == 300) number = 405;  // the session quits at the end, not before
        SendCommand(w, s, number, in.Bytes(700));
        break;
      }
      case 2: {  // voice with any selector and target list
        auto p = NewClientVoicePacket(in.Byte() % 4, in.Byte(), s.connection, s.player, in.Word(),
                                      in.Word());
        std::string payload = in.Bytes(600);
        p->Write(payload.data(), static_cast<int32_t>(payload.size()));
        w.Table().OfferDatagram(From(s, std::move(p)));
        break;
      }
      default: {  // raw bytes, with the session's ids where they fit
        auto p = std::make_unique<TPacket>();
        std::string bytes = in.Bytes(900);
        p->Write(bytes.data(), static_cast<int32_t>(bytes.size()));
        if (p->Size() >= 12) {
          p->SetLongAt(4, s.connection);
          p->SetLongAt(8, s.player);
        }
        w.Table().OfferDatagram(From(s, std::move(p)));
      }
    }
    Settle(w, s);
  }
  // Quit; the closing linger and the time-outs end whatever is left of the session.
  SendCommand(w, s, 300, "");
  Settle(w, s);
  for (int i = 0; i < 12 && w.Players() > before; ++i) {
    w.clock.Advance(2500);
    Settle(w, s);
  }
  Check(w.Players() == before);
  return 0;
}
