// Reliable delivery, refusals, states and time-outs of the connection table, driven by crafted
// datagrams on a manual clock.
#include <gtest/gtest.h>

#include <random>

#include "TransportTestSupport.h"

namespace vh::test {
namespace {

std::vector<uint32_t> DeliveredSeqs(const std::vector<TEvent>& events) {
  std::vector<uint32_t> seqs;
  for (const auto& e : events)
    if (e.kind == EV_PACKET && e.packet->IsCommandPacket())
      seqs.push_back(e.packet->SequenceNumber());
  return seqs;
}

using ReceiveWindow = TTableTest;

TEST_F(ReceiveWindow, HoldsFifteenAheadDropsSixteenAndDeliversInOrder) {
  Connect();
  EXPECT_EQ(Receive(ClientCommand(16)), "");  // next expected 1, so 1 + 15 is still held
  EXPECT_EQ(Receive(ClientCommand(17)), "");  // 1 + 16 is beyond the window
  EXPECT_EQ(AckSeqs(Outgoing()), std::vector<uint32_t>{16});
  EXPECT_TRUE(Events().empty());

  for (uint32_t s : {3u, 2u, 1u}) Receive(ClientCommand(s));
  EXPECT_EQ(DeliveredSeqs(Events()), (std::vector<uint32_t>{1, 2, 3}));
  for (uint32_t s = 4; s <= 15; ++s) Receive(ClientCommand(s));
  auto seqs = DeliveredSeqs(Events());
  ASSERT_EQ(seqs.size(), 13u);
  EXPECT_EQ(seqs.front(), 4u);
  EXPECT_EQ(seqs.back(), 16u);
  EXPECT_EQ(table.GetServerStats().datagramsRefused, 1u);
}

TEST_F(ReceiveWindow, DuplicatesAreAcknowledgedWithTheirOwnResendCountButDeliveredOnce) {
  Connect();
  Receive(ClientCommand(1));
  Receive(ClientCommand(1, 3));  // delivered before: acknowledged again
  Receive(ClientCommand(3));
  Receive(ClientCommand(3, 1));  // held in the window: acknowledged, still one copy
  auto out = Outgoing();
  ASSERT_EQ(AckSeqs(out), (std::vector<uint32_t>{1, 1, 3, 3}));
  EXPECT_EQ(out[0]->AckResendCount(), 0);
  EXPECT_EQ(out[1]->AckResendCount(), 3);
  EXPECT_EQ(out[3]->AckResendCount(), 1);
  for (const auto& p : out) EXPECT_EQ(p->PacketConnectionId(), kConn);
  Receive(ClientCommand(2));
  EXPECT_EQ(DeliveredSeqs(Events()), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(ReceiveWindow, LongMessageTravelsAsTwoFragmentsAndIsReassembled) {
  Connect();
  auto message = NewCommandPacket(430, 0, kPlayer);
  for (int i = 0; i < 1000; ++i) message->WriteU8(static_cast<uint8_t>(i * 31));
  ASSERT_EQ(message->Size(), 1024);
  std::string payload(message->Bytes().substr(24));
  table.SendPacket(std::move(message), false);

  auto out = Outgoing();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0]->FragmentsRemaining(), 1);
  EXPECT_EQ(out[1]->FragmentsRemaining(), 0);
  EXPECT_EQ(out[0]->Size(), 24 + 536);
  EXPECT_EQ(out[1]->Size(), 24 + 464);
  EXPECT_EQ(std::string(out[0]->Bytes().substr(24)) + std::string(out[1]->Bytes().substr(24)),
            payload);

  // The same two datagrams, read by the table as if the client had sent them.
  for (auto& p : out) {
    ASSERT_TRUE(p->CheckCRC());
    EXPECT_EQ(Receive(std::move(p)), "");
  }
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  const TPacket& whole = *events[0].packet;
  EXPECT_EQ(whole.Size(), 1024);
  EXPECT_EQ(whole.SequenceNumber(), 1u);  // the first fragment's header
  EXPECT_EQ(whole.CommandNumber(), 430);
  EXPECT_EQ(std::string(whole.Bytes().substr(24)), payload);
}

TEST_F(ReceiveWindow, ClientFloodOfFragmentsIsCappedByTheReassemblyLimit) {
  Connect();
  uint32_t seq = 1;
  size_t delivered = 0;
  for (int i = 0; i < 250 && delivered == 0; ++i) {
    auto p = ClientCommand(seq++, 0, 536);
    p->SetByteAt(18, 1);  // "more follow", forever
    Receive(Wire(std::move(p)));
    for (const auto& e : Events()) {
      ++delivered;
      EXPECT_GT(e.packet->Size(), TSingleConnection::kLongestReassembly);
      EXPECT_LE(e.packet->Size(), TSingleConnection::kLongestReassembly + 536);
    }
    Outgoing();
  }
  EXPECT_EQ(delivered, 1u);
}

using Acknowledgements = TTableTest;

TEST_F(Acknowledgements, ResendCountEchoAddsToLostAndGivesNoRoundTrip) {
  ConnectAndLogIn();
  table.SendPacket(ServerCommand(), false);
  ASSERT_EQ(CommandSeqs(Outgoing()), std::vector<uint32_t>{9});
  clock.Advance(500);
  Ack(9, 2);
  auto stats = table.GetConnectionStats(kPlayer);
  EXPECT_EQ(stats.ping, 50);             // untouched: no sample
  ASSERT_EQ(stats.packetsReceived, 9u);  // the eight login acknowledgements and this one
  EXPECT_EQ(stats.packetLoss, 1818);     // round(2 * 10000 / 11)
}

TEST_F(Acknowledgements, RoundTripSamplesSetPingAndResendTimeout) {
  ConnectAndLogIn();
  auto sampleRoundTrip = [&](double ms) {
    table.SendPacket(ServerCommand(), false);
    auto seqs = CommandSeqs(Outgoing());
    ASSERT_EQ(seqs.size(), 1u);
    clock.Advance(ms);
    Ack(seqs[0]);
  };
  for (int i = 0; i < 15; ++i) sampleRoundTrip(50);
  sampleRoundTrip(300);
  EXPECT_EQ(table.GetConnectionStats(kPlayer).ping, 66);  // round(1050 / 16)

  for (int i = 0; i < 16; ++i) sampleRoundTrip(200);
  EXPECT_EQ(table.GetConnectionStats(kPlayer).ping, 200);
  // Resend time-out is now 300 ms: no resend at 299 ms (the old 100 ms would have), one by
  // the next pass.
  table.SendPacket(ServerCommand(), false);
  auto first = Outgoing();
  ASSERT_EQ(first.size(), 1u);
  clock.Advance(299);
  EXPECT_TRUE(Outgoing().empty());
  clock.Advance(51);
  auto again = Outgoing();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0]->SequenceNumber(), first[0]->SequenceNumber());
  EXPECT_EQ(again[0]->ResendCount(), 1);
  EXPECT_TRUE(again[0]->CheckCRC());  // the CRC covers the new resend count
}

TEST_F(Acknowledgements, InFlightWindowOfEightAndRetransmissionWithoutNewSignal) {
  ConnectAndLogIn();
  for (int i = 0; i < 10; ++i) table.SendPacket(ServerCommand(), false);
  EXPECT_EQ(CommandSeqs(Outgoing()), (std::vector<uint32_t>{9, 10, 11, 12, 13, 14, 15, 16}));
  Ack(12);  // a slot frees: the next command follows at once
  EXPECT_EQ(CommandSeqs(Outgoing()), std::vector<uint32_t>{17});

  // Nothing new is queued and no event is signalled; the 50 ms pass still finds the resend.
  clock.Advance(101);
  auto resent = table.NextOutgoingPacket(0);
  ASSERT_TRUE(resent);
  EXPECT_EQ(resent->SequenceNumber(), 9u);
  EXPECT_EQ(resent->ResendCount(), 1);
}

using States = TTableTest;

TEST_F(States, VoiceCounterWrapAndLateVoice) {
  ConnectAndLogIn(1, 10);
  ConnectAndLogIn(2, 20);
  auto voice = [&](uint32_t player, uint16_t counter) {
    return Receive(Wire(NewClientVoicePacket(0, 0, player * 10, player, counter, 0)));
  };
  EXPECT_EQ(voice(1, 65535), "");  // a jump of more than 10000 is not counted as loss
  EXPECT_EQ(voice(1, 0), "");      // wraps in order
  EXPECT_EQ(table.GetConnectionStats(1).packetLoss, 0);

  EXPECT_EQ(voice(2, 65534), "");
  EXPECT_EQ(voice(2, 65535), "");
  EXPECT_EQ(voice(2, 3), "");   // 0, 1, 2 lost across the wrap
  EXPECT_EQ(voice(2, 9), "");   // 4 .. 8 lost
  EXPECT_EQ(voice(2, 5), "");   // late: delivered, changes nothing
  EXPECT_EQ(voice(2, 10), "");  // in order after 9
  EXPECT_EQ(Events().size(), 8u);
  auto stats = table.GetConnectionStats(2);
  ASSERT_EQ(stats.packetsReceived, 14u);
  EXPECT_EQ(stats.packetLoss, 3636);  // round(8 * 10000 / 22)
}

TEST_F(States, KeepAliveAnsweredOnlyWhenConnected) {
  Connect();
  auto ping = [&](uint32_t seq) {
    return Receive(Wire(NewConnectionPacket(kConnKeepAlivePing, kConn, kPlayer, seq)));
  };
  EXPECT_EQ(ping(3), "");
  EXPECT_TRUE(Outgoing().empty());
  ConnectAndLogIn(8, 99);
  ASSERT_EQ(Receive(Wire(NewConnectionPacket(kConnKeepAlivePing, 99, 8, 3))), "");
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 1u);
  const TPacket& reply = *out[0];
  EXPECT_EQ(reply.Size(), 24);
  EXPECT_EQ(reply.CommandNumber(), kConnKeepAliveReply);
  EXPECT_EQ(reply.LongAt(20), 3u);
  EXPECT_EQ(reply.PacketConnectionId(), 99u);
  EXPECT_EQ(reply.SequenceNumber(), 2u);  // first connection packet after number 1
  EXPECT_EQ(reply.PeerAddress(), "10.1.1.1");
  EXPECT_TRUE(out[0]->CheckCRC());
}

TEST_F(States, ReceiveRefusalsAreRaisedAndCounted) {
  Connect();
  auto bad = ClientCommand(1);
  bad->SetByteAt(26, 0xFF);  // in the payload, after the CRC
  EXPECT_EQ(Receive(std::move(bad)), "Invalid Packet");
  EXPECT_EQ(Receive(Wire(ServerVoice(3))), "S2C recv on Server");
  EXPECT_EQ(Receive(ClientCommand(1, 0, 4, kPlayer, kConn + 1)), "wrong Connection + player combo");
  EXPECT_EQ(Receive(Wire(NewClientVoicePacket(0, 0, kConn, kPlayer, 1, 0))),
            "Recv voice data during login");
  EXPECT_EQ(Receive(ClientCommand(1, 0, 4, 4242)), "");  // nobody: dropped without a word

  table.SendPacket(NewConnectionPacket(kConnLoginReply, 0, kPlayer), true);  // state 3
  EXPECT_EQ(Receive(ClientCommand(1)), "recv command while closing.");
  EXPECT_EQ(AckSeqs(Outgoing()), std::vector<uint32_t>{1});  // acknowledged all the same
  EXPECT_EQ(table.ConnectionState(kPlayer), CS_CLOSED);      // login reply gone, no commands
  EXPECT_EQ(Receive(ClientCommand(2)), "recv data after close");
  auto server = table.GetServerStats();
  EXPECT_EQ(server.packetsReceived, 7u);
  EXPECT_EQ(server.datagramsRefused, 7u);
  clock.Advance(51);
  auto events = Events();  // nothing was delivered; the closed connection is reported
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EV_CLOSED);
}

TEST_F(States, HostileBytesNeverCrashOrDeliver) {
  Connect();
  std::mt19937 rng(12345);
  for (int i = 0; i < 5000; ++i) {
    auto p = std::make_unique<TPacket>();
    int len = static_cast<int>(rng() % 64);
    for (int b = 0; b < len; ++b) p->WriteU8(static_cast<uint8_t>(rng()));
    if (len >= 2 && i % 2) p->SetWordAt(0, static_cast<uint16_t>(0xBEF0 + rng() % 5));
    if (len >= 12 && i % 4 == 1) p->SetLongAt(8, kPlayer);
    p->SetAddress("10.9.9.9", 1, "127.0.0.1");
    Receive(std::move(p));
  }
  // Random bytes never pass a CRC, so no command reached the listener; voice may have.
  for (const auto& e : Events()) {
    if (e.kind == EV_PACKET) {
      EXPECT_FALSE(e.packet->IsCommandPacket());
    }
  }
  EXPECT_EQ(table.GetServerStats().packetsReceived, 5000u);
}

TEST_F(States, LoginRequestsQueueWithoutConnection) {
  auto login = NewConnectionPacket(kConnLoginRequest, 0, 0, 1);
  login->WriteCString("nick");
  EXPECT_EQ(Receive(Wire(std::move(login))), "");
  EXPECT_EQ(Receive(Wire(NewConnectionPacket(kConnLoginRequest, 0, 5, 1))), "");
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EV_PACKET);
  EXPECT_EQ(events[0].playerId, 0u);
  EXPECT_EQ(events[0].packet->PeerAddress(), "10.1.1.1");
}

TEST_F(States, SendRefusalsAndQueueLimits) {
  Connect();
  table.SendPacket(ServerVoice(3), false);  // state 0: silently freed
  EXPECT_TRUE(Outgoing().empty());
  EXPECT_THROW(table.SendPacket(Wire(NewAckPacket(0, kConn, kPlayer, 1)), false),
               ECustomPacketBuffer);
  table.SendPacket(ServerCommand(4242), false);  // unknown player: freed

  // A client that acknowledges nothing: eight in flight, the rest queue up to the maximum.
  for (int i = 0; i < 1024; ++i) table.SendPacket(ServerCommand(), false);
  EXPECT_EQ(CommandSeqs(Outgoing()).size(), 8u);
  for (int i = 0; i < 8; ++i) table.SendPacket(ServerCommand(), false);
  try {
    table.SendPacket(ServerCommand(), false);
    ADD_FAILURE() << "queue should be full";
  } catch (const EFIFOList& e) {
    EXPECT_STREQ(e.what(), "TFIFOList max items reached( 1024, 8, 1024)");
  }
  // A long message that no longer fits is refused whole, not in part.
  auto big = ServerCommand(kPlayer, 2000);
  EXPECT_THROW(table.SendPacket(std::move(big), false), EFIFOList);
  Ack(1);  // frees a slot; exactly one queued command moves on, the table is intact
  EXPECT_EQ(CommandSeqs(Outgoing()), std::vector<uint32_t>{9});
  clock.Advance(51);
  auto events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].kind, EV_TIMEOUT);  // more than 512 commands wait
}

TEST_F(States, CloseAfterDeliversQueuedCommandsThenCloses) {
  ConnectAndLogIn();
  table.SendPacket(ServerCommand(), false);
  table.SendPacket(ServerCommand(), true);
  EXPECT_EQ(table.ConnectionState(kPlayer), CS_CLOSING);
  table.SendPacket(ServerCommand(), false);  // refused after close-after
  EXPECT_EQ(CommandSeqs(Outgoing()), (std::vector<uint32_t>{9, 10}));
  EXPECT_EQ(table.ConnectionState(kPlayer), CS_CLOSING_HANDED_OUT);
  Ack(9);
  EXPECT_EQ(table.ConnectionState(kPlayer), CS_CLOSING_HANDED_OUT);
  Ack(10);
  EXPECT_EQ(table.ConnectionState(kPlayer), CS_CLOSED);
  clock.Advance(51);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EV_CLOSED);
  EXPECT_EQ(events[0].playerId, kPlayer);
}

TEST_F(States, CloseAfterLingerEndsUnacknowledgedConnection) {
  ConnectAndLogIn();
  table.SendPacket(ServerCommand(), true);
  Outgoing();
  for (int step = 0; step < 9; ++step) {
    clock.Advance(1000);
    Receive(Wire(NewClientVoicePacket(0, 0, kConn, kPlayer, static_cast<uint16_t>(step + 1), 0)));
    for (const auto& e : Events()) EXPECT_EQ(e.kind, EV_PACKET);
  }
  clock.Advance(1000);  // 10000 ms since the close began
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EV_CLOSED);
}

TEST_F(States, InactivityTimeoutsDependOnState) {
  Connect(1, 11);          // state 0: 2000 ms
  ConnectAndLogIn(2, 22);  // state 1: 30000 ms
  // Passes run at most every 50 ms: one at 1949 ms finds nothing, the next at 2000 ms does.
  clock.Advance(1949);
  EXPECT_TRUE(Events().empty());
  clock.Advance(51);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].playerId, 1u);
  EXPECT_EQ(events[0].kind, EV_TIMEOUT);
  table.RemoveConnection(1);
  for (int second = 3; second < 30; ++second) {  // the listener polls as time goes by
    clock.Advance(1000);
    EXPECT_TRUE(Events().empty()) << second;
  }
  clock.Advance(949);
  EXPECT_TRUE(Events().empty());
  clock.Advance(51);
  events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].playerId, 2u);
  EXPECT_EQ(events[0].kind, EV_TIMEOUT);
}

TEST_F(States, RequestsAndStopComeFirst) {
  Connect();
  Receive(ClientCommand(1));
  table.WakeListener();
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, EV_REQUEST);
  EXPECT_EQ(events[1].kind, EV_PACKET);
  table.MarkThreadStopped(0);
  table.MarkThreadStopped(1);
  table.Stop();  // both threads reported already: returns without the 2 s wait
  uint32_t player = 1;
  uint8_t kind = 0;
  std::unique_ptr<TPacket> packet;
  table.GetNextEvent(player, kind, packet);
  EXPECT_EQ(kind, EV_STOP);
  EXPECT_FALSE(table.NextOutgoingPacket(-1));
}

using Scheduler = TTableTest;

TEST_F(Scheduler, ConnectionsAreServedInTurn) {
  for (uint32_t id = 1; id <= 3; ++id) ConnectAndLogIn(id, id * 10);
  for (int i = 0; i < 30; ++i)
    for (uint32_t id = 1; id <= 3; ++id) table.SendPacket(ServerVoice(9, 40, id), false);
  int served[4] = {};
  for (int i = 0; i < 30; ++i) {
    auto p = table.NextOutgoingPacket(0);
    ASSERT_TRUE(p);
    ++served[p->PacketPlayerId()];
  }
  EXPECT_EQ(served[1], 10);
  EXPECT_EQ(served[2], 10);
  EXPECT_EQ(served[3], 10);
  // Each listener's own counter numbers its voice packets.
  auto rest = Outgoing();
  ASSERT_EQ(rest.size(), 60u);
  EXPECT_EQ(rest.back()->VoiceCounter(), 30);
}

TEST_F(Scheduler, BandwidthLimitThinsVoiceToOneSpeaker) {
  ConnectAndLogIn();
  table.SetClientBandwidth(kPlayer, 10);  // 1280 bytes per second, 321 per tick
  for (int i = 0; i < 40; ++i) table.SendPacket(ServerVoice(i % 2 ? 101 : 102, 100), false);
  auto first = Outgoing();  // the tick's allowance, then thinning starts
  ASSERT_FALSE(first.empty());
  EXPECT_LT(first.size(), 40u);
  for (int i = 0; i < 10; ++i) table.SendPacket(ServerVoice(101, 100), false);
  std::vector<uint32_t> speakers;
  for (int t = 0; t < 200; ++t) {
    clock.Advance(250);
    for (auto& p : Outgoing()) speakers.push_back(p->SpeakerId());
  }
  // Once thinning began only the kept speaker is heard, and the other one's backlog is gone.
  ASSERT_FALSE(speakers.empty());
  for (uint32_t s : speakers) EXPECT_EQ(s, speakers.front());
  EXPECT_LT(speakers.size() + first.size(), 50u);
}

}  // namespace
}  // namespace vh::test

namespace vh::test {
namespace {

// The connection counts as connected once the client acknowledges the login's closing packet
// (command 8), at whatever sequence number the lists before it left that packet.
TEST_F(TTableTest, ConnectedByTheAcknowledgedClosingPacketNotBySequenceEight) {
  Connect();
  table.SendPacket(ServerCommand(), false);
  table.SendPacket(ServerCommand(), false);
  table.SendPacket(NewCommandPacket(8, 0, kPlayer), false);
  ASSERT_EQ(CommandSeqs(Outgoing()).size(), 3u);
  Ack(1);
  Ack(2);
  EXPECT_EQ(table.ConnectionState(kPlayer), CS_PRECONNECTED);
  Ack(3);
  EXPECT_EQ(table.ConnectionState(kPlayer), CS_CONNECTED);
}

}  // namespace
}  // namespace vh::test

namespace vh::test {
namespace {

// The monitoring counters: every voice packet handed to the table is either sent or counted
// under one drop reason.
using TrafficCounters = TTableTest;

TEST_F(TrafficCounters, EveryVoicePacketIsSentOrCountedAsDropped) {
  ConnectAndLogIn();
  const TTrafficCounters& k = *table.Counters();
  constexpr int kOverRoom = 10;
  for (int i = 0; i < TSingleConnection::kVoiceQueueRoom + kOverRoom; ++i)
    table.SendPacket(ServerVoice(101), false);
  EXPECT_EQ(TTrafficCounters::Read(k.voiceDroppedQueueFull), uint64_t{kOverRoom});
  EXPECT_EQ(Outgoing().size(), size_t(TSingleConnection::kVoiceQueueRoom));

  table.SetClientBandwidth(kPlayer, 10);
  const uint64_t outBefore = TTrafficCounters::Read(k.datagramsOut);
  constexpr int kOffered = 60;
  size_t sent = 0;
  for (int i = 0; i < kOffered; ++i) table.SendPacket(ServerVoice(i % 2 ? 101 : 102, 100), false);
  for (int t = 0; t < 400; ++t) {
    clock.Advance(250);
    sent += Outgoing().size();
  }
  EXPECT_GT(TTrafficCounters::Read(k.voiceDroppedThinned), 0u);
  // Voice held back by the thin budget grows old in the queue: what is not thinned is either
  // sent or dropped as late, never lost uncounted.
  EXPECT_EQ(sent + TTrafficCounters::Read(k.voiceDroppedThinned) +
                TTrafficCounters::Read(k.voiceDroppedLate),
            size_t(kOffered));
  EXPECT_EQ(TTrafficCounters::Read(k.datagramsOut) - outBefore, sent);
}

}  // namespace
}  // namespace vh::test
