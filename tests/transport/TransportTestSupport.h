// Drives a connection table the way a client and the two protocol threads would, on a manual
// clock: crafted client datagrams in, outgoing picks and listener events out. Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "transport/ConnectionTable.h"

namespace vh::test {

struct TEvent {
  uint32_t playerId = 0;
  uint8_t kind = 255;
  std::unique_ptr<TPacket> packet;
};

class TTableTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kPlayer = 7;
  static constexpr uint32_t kConn = 0x00ABCDEF;

  TManualClock clock;
  TCustomPacketBuffer table{kServerConnectionFlags, clock};

  void Connect(uint32_t player = kPlayer, uint32_t conn = kConn) {
    table.AddConnection(player, conn, "127.0.0.1", 1, 5000 + static_cast<uint16_t>(player),
                        "10.1.1.1");
  }

  // A command from the client, addressed and with its CRC, as it arrives off the wire.
  static std::unique_ptr<TPacket> ClientCommand(uint32_t seq, uint16_t resend = 0,
                                                int32_t payload = 4, uint32_t player = kPlayer,
                                                uint32_t conn = kConn) {
    auto p = NewCommandPacket(300, conn, player, seq);
    p->SetWordAt(16, resend);
    for (int32_t i = 0; i < payload; ++i) p->WriteU8(static_cast<uint8_t>(seq + i));
    return Wire(std::move(p));
  }
  static std::unique_ptr<TPacket> Wire(std::unique_ptr<TPacket> p) {
    p->SetCRC();
    p->SetAddress("10.1.1.1", 5007, "127.0.0.1");
    p->SetPosition(0);
    return p;
  }
  static std::unique_ptr<TPacket> ServerCommand(uint32_t player = kPlayer, int32_t payload = 8) {
    auto p = NewCommandPacket(100, 0, player);
    for (int32_t i = 0; i < payload; ++i) p->WriteU8(static_cast<uint8_t>(i * 7));
    return p;
  }
  static std::unique_ptr<TPacket> ServerVoice(uint32_t speaker, int32_t bytes = 40,
                                              uint32_t player = kPlayer) {
    auto p = NewServerVoicePacket(0, 0, 0, player, 0, 0, speaker, 0);
    for (int32_t i = 0; i < bytes; ++i) p->WriteU8(0x55);
    return p;
  }

  // The refusal text of the receive path, or "" when the datagram was taken.
  std::string Receive(std::unique_ptr<TPacket> p) {
    try {
      table.ReceiveDatagram(std::move(p));
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  std::vector<std::unique_ptr<TPacket>> Outgoing() {
    std::vector<std::unique_ptr<TPacket>> out;
    while (auto p = table.NextOutgoingPacket(0)) out.push_back(std::move(p));
    return out;
  }
  std::vector<TEvent> Events() {
    std::vector<TEvent> out;
    TEvent e;
    int32_t wait = 0;
    while (table.PollEvent(e.playerId, e.kind, e.packet, wait)) out.push_back(std::move(e));
    return out;
  }
  // Sequence numbers of the command packets among `out`.
  static std::vector<uint32_t> CommandSeqs(const std::vector<std::unique_ptr<TPacket>>& out) {
    std::vector<uint32_t> seqs;
    for (const auto& p : out)
      if (p->IsCommandPacket()) seqs.push_back(p->SequenceNumber());
    return seqs;
  }
  static std::vector<uint32_t> AckSeqs(const std::vector<std::unique_ptr<TPacket>>& out) {
    std::vector<uint32_t> seqs;
    for (const auto& p : out)
      if (p->IsAckPacket()) seqs.push_back(p->SequenceNumber());
    return seqs;
  }
  void Ack(uint32_t seq, uint16_t resend = 0, uint32_t player = kPlayer, uint32_t conn = kConn) {
    ASSERT_EQ(Receive(Wire(NewAckPacket(resend, conn, player, seq))), "");
  }

  // Runs eight server commands through, the login's closing packet (command 8) last, and
  // acknowledges them: state 1.
  void ConnectAndLogIn(uint32_t player = kPlayer, uint32_t conn = kConn) {
    Connect(player, conn);
    for (int i = 0; i < 7; ++i) table.SendPacket(ServerCommand(player), false);
    table.SendPacket(NewCommandPacket(8, 0, player), false);
    auto out = Outgoing();
    ASSERT_EQ(CommandSeqs(out).size(), 8u);
    for (uint32_t s = 1; s <= 8; ++s) Ack(s, 0, player, conn);
    ASSERT_EQ(table.ConnectionState(player), CS_CONNECTED);
  }
};

}  // namespace vh::test
