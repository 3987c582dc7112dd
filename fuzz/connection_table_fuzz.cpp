// The connection table's receive path against two connections on a manual clock: arbitrary
// datagrams (raw, or with the ids and CRC of a connection patched in so that they pass the
// first checks), from the login address, another port or another address, interleaved with
// server sends, clock steps, outgoing picks and listener events. Checks that what leaves
// the table is well-formed and that a session never leaves its login address.
#include <cstdlib>
#include <memory>

#include "FuzzInput.h"
#include "transport/ConnectionTable.h"

namespace {

using namespace vh;

struct TPeer {
  uint32_t player;
  uint32_t connection;
  const char* address;
  uint16_t port;
};
constexpr TPeer kPeers[2] = {{1, 0x1111, "10.0.0.1", 5001}, {2, 0x2222, "10.0.0.2", 5002}};

void Check(bool holds) {
  if (!holds) std::abort();
}

std::unique_ptr<TPacket> Datagram(fuzz::TFuzzInput& in, bool patch) {
  const TPeer& peer = kPeers[in.Byte() & 1];
  auto p = std::make_unique<TPacket>();
  std::string bytes = in.Bytes(1200);
  p->Write(bytes.data(), static_cast<int32_t>(bytes.size()));
  if (patch && p->Size() >= 16) {
    static const uint16_t kClasses[] = {kClassCommand, kClassAck, kClassClientVoice,
                                        kClassServerVoice, kClassConnection};
    p->SetWordAt(0, kClasses[in.Byte() % 5]);
    p->SetLongAt(4, peer.connection);
    p->SetLongAt(8, peer.player);
    if (p->IsCommandPacket() || p->IsConnectionPacket()) p->SetCRC();
  }
  switch (in.Byte() % 4) {
    case 0:
    case 1:
      p->SetAddress(peer.address, peer.port, "127.0.0.1");
      break;
    case 2:
      p->SetAddress(peer.address, static_cast<uint16_t>(peer.port + 1), "127.0.0.1");
      break;
    default:
      p->SetAddress("10.9.9.9", peer.port, "127.0.0.1");
  }
  p->SetPosition(0);
  return p;
}

void CheckOutgoing(TPacket& p) {
  Check(p.IsValidPacket());
  Check(p.PeerAddress() == kPeers[0].address || p.PeerAddress() == kPeers[1].address);
  const uint32_t player = p.PacketPlayerId();
  Check(player == 1 || player == 2);
  Check(p.PeerAddress() == kPeers[player - 1].address);
  if (p.IsCommandPacket()) Check(p.Size() <= TSingleConnection::kLongestCommand);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput in(data, size);
  TManualClock clock;
  TCustomPacketBuffer table(kServerConnectionFlags, clock);
  for (const TPeer& peer : kPeers)
    table.AddConnection(peer.player, peer.connection, "127.0.0.1", 1, peer.port, peer.address);

  uint32_t player = 0;
  uint8_t kind = 0;
  std::unique_ptr<TPacket> event;
  int32_t wait = 0;
  for (int steps = 0; !in.Done() && steps < 512; ++steps) {
    switch (in.Byte() % 8) {
      case 0:
      case 1:
        try {
          table.ReceiveDatagram(Datagram(in, true));
        } catch (const std::exception&) {
        }
        break;
      case 2:
        table.OfferDatagram(Datagram(in, false));
        break;
      case 3: {  // the server sends: a command (the login's last step among them) or voice
        const TPeer& peer = kPeers[in.Byte() & 1];
        const uint8_t what = in.Byte();
        std::unique_ptr<TPacket> p;
        if (what % 3 == 2) {
          p = NewServerVoicePacket(0, 0, 0, peer.player, 0, 0, in.Byte() % 3, 0);
        } else {
          p = NewCommandPacket(what % 3 == 0 ? 8 : 100, 0, peer.player);
        }
        std::string payload = in.Bytes(3000);
        p->Write(payload.data(), static_cast<int32_t>(payload.size()));
        try {
          table.SendPacket(std::move(p), (what & 0x80) != 0);
        } catch (const std::exception&) {
        }
        break;
      }
      case 4:
        clock.Advance(in.Word() % 40000);
        break;
      case 5:
        for (int i = 0; i < 64; ++i) {
          auto p = table.NextOutgoingPacket(0);
          if (!p) break;
          CheckOutgoing(*p);
        }
        break;
      case 6:
        while (table.PollEvent(player, kind, event, wait)) {
          if (kind == EV_PACKET && player != 0) Check(event && event->PacketPlayerId() == player);
          if (kind == EV_CLOSED || kind == EV_TIMEOUT) table.RemoveConnection(player);
        }
        break;
      default:
        table.SetClientBandwidth(kPeers[in.Byte() & 1].player, static_cast<int8_t>(in.Byte()));
    }
  }
  for (const TPeer& peer : kPeers) {
    const std::string address = table.LoginAddress(peer.player);
    Check(address.empty() || address == peer.address);
  }
  while (auto p = table.DrainOutgoingPacket()) CheckOutgoing(*p);
  while (table.PollEvent(player, kind, event, wait)) {
  }
  return 0;
}
