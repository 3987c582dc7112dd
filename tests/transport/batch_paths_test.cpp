// The batched paths of the transport: sendmmsg batches against a fake socket (partial sends,
// EAGAIN, a refused datagram), a receive batch and a send pick that mix connections and packet
// classes, the drop of late voice on a manual clock, and the socket buffer sizes in the log.
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <set>
#include <string>
#include <utility>

#include "TransportTestSupport.h"
#include "common/Log.h"
#include "transport/udp/UDPSocket.h"

namespace vh {
namespace {

using test::TTableTest;

// A socket that takes what its script says, one step per sendmmsg call: a count to accept
// (-1 for EAGAIN, -2 for a refusal of the first message); past the script it takes everything.
class TFakeSocket {
 public:
  std::deque<int> script;
  std::vector<std::string> accepted;  // datagram bytes, in the order taken
  int waits = 0;

  TDatagramCalls Calls() {
    TDatagramCalls calls;
    calls.sendMany = [this](int, mmsghdr* messages, unsigned count) {
      int step = static_cast<int>(count);
      if (!script.empty()) {
        step = script.front();
        script.pop_front();
      }
      if (step == -1) {
        errno = EAGAIN;
        return -1;
      }
      if (step == -2) {
        errno = EPERM;
        return -1;
      }
      step = std::min(step, static_cast<int>(count));
      for (int i = 0; i < step; ++i) {
        const iovec& v = *messages[i].msg_hdr.msg_iov;
        accepted.emplace_back(static_cast<const char*>(v.iov_base), v.iov_len);
      }
      return step;
    };
    calls.waitWritable = [this](int, int) {
      ++waits;
      return true;
    };
    return calls;
  }
};

class SendBatch : public ::testing::Test {
 protected:
  TFakeSocket fake;
  TUDPServerSocket socket{0, [](std::unique_ptr<TPacket>) {}};

  void SetUp() override {
    socket.Bindings().push_back({"127.0.0.1", 0});
    socket.SetDatagramCalls(fake.Calls());
    socket.Open();
  }
  static std::vector<std::unique_ptr<TPacket>> Batch(int n) {
    std::vector<std::unique_ptr<TPacket>> batch;
    for (int i = 0; i < n; ++i) {
      auto p = NewAckPacket(0, 1, static_cast<uint32_t>(i), static_cast<uint32_t>(i));
      p->SetAddress("127.0.0.1", 9, "127.0.0.1");
      batch.push_back(std::move(p));
    }
    return batch;
  }
  // The player ids of the accepted datagrams, in order.
  std::vector<uint32_t> AcceptedIds() const {
    std::vector<uint32_t> ids;
    for (const std::string& bytes : fake.accepted) {
      TPacket p;
      p.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
      ids.push_back(p.PacketPlayerId());
    }
    return ids;
  }
};

TEST_F(SendBatch, PartialSendsAndEagainLoseNothingAndRepeatNothing) {
  fake.script = {3, -1, 2};  // three taken, no room, two taken, then the rest
  auto batch = Batch(10);
  EXPECT_EQ(socket.SendBatch(batch), 10u);
  EXPECT_EQ(AcceptedIds(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(fake.waits, 1);
  EXPECT_EQ(socket.SendFailures(), 0u);
}

TEST_F(SendBatch, EndlessEagainGivesUpAfterBoundedWaitsAndCountsTheRest) {
  fake.script = {2};
  for (int i = 0; i < 100; ++i) fake.script.push_back(-1);
  auto batch = Batch(10);
  EXPECT_EQ(socket.SendBatch(batch), 2u);
  EXPECT_EQ(fake.waits, TUDPServerSocket::kSendWaits);
  EXPECT_EQ(socket.SendFailures(), 8u);
}

TEST_F(SendBatch, ARefusedDatagramIsSkippedAndTheOthersGo) {
  fake.script = {1, -2};  // the second datagram is refused for itself
  auto batch = Batch(5);
  EXPECT_EQ(socket.SendBatch(batch), 4u);
  EXPECT_EQ(AcceptedIds(), (std::vector<uint32_t>{0, 2, 3, 4}));
  EXPECT_EQ(socket.SendFailures(), 1u);
}

TEST(SocketBuffers, SizesObtainedAreLoggedAtOpen) {
  auto owned = std::make_unique<TMemoryLog>();
  TMemoryLog* log = owned.get();
  InstallLog(std::move(owned));
  {
    TUDPServerSocket socket(0, [](std::unique_ptr<TPacket>) {});
    socket.Bindings().push_back({"127.0.0.1", 0});
    socket.Open();
    ASSERT_GT(socket.ReceiveBufferBytes(), 0);
    ASSERT_GT(socket.SendBufferBytes(), 0);
    EXPECT_TRUE(log->Contains("UDP socket 127.0.0.1:" + std::to_string(socket.BoundPort()) +
                              ": receive buffer " + std::to_string(socket.ReceiveBufferBytes()) +
                              " bytes, send buffer " + std::to_string(socket.SendBufferBytes()) +
                              " bytes"))
        << (log->Lines().empty() ? "" : log->Lines().back());
  }
  DestroyLog();
}

using Batches = TTableTest;

TEST_F(Batches, AReceiveBatchAndASendPickMixConnectionsAndClasses) {
  constexpr uint32_t kOther = 9;
  constexpr uint32_t kOtherConn = 0x00112233;
  ConnectAndLogIn();
  ConnectAndLogIn(kOther, kOtherConn);
  Outgoing();

  std::vector<std::unique_ptr<TPacket>> in;
  in.push_back(ClientCommand(1));  // player 7's command: acknowledged and delivered
  auto voice = NewClientVoicePacket(0, 5, kOtherConn, kOther, 1, 0);
  voice->WriteU32(0xCAFE);
  voice->SetAddress("10.1.1.1", 5000 + kOther, "127.0.0.1");
  in.push_back(std::move(voice));
  in.push_back(Wire(NewAckPacket(0, kOtherConn, kPlayer, 1)));  // a forged pair: refused
  EXPECT_EQ(table.OfferDatagrams(in), 1u);
  EXPECT_TRUE(in.empty());
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].playerId, kPlayer);
  EXPECT_TRUE(events[0].packet->IsCommandPacket());
  EXPECT_EQ(events[1].playerId, kOther);
  EXPECT_TRUE(events[1].packet->IsClientVoicePacket());

  table.SendPacket(ServerCommand(kPlayer), false);
  table.SendPacket(ServerVoice(kOther, 40, kPlayer), false);
  table.SendPacket(ServerCommand(kOther), false);
  table.SendPacket(ServerVoice(kPlayer, 40, kOther), false);
  std::vector<std::unique_ptr<TPacket>> out;
  ASSERT_EQ(table.NextOutgoingPackets(out, 64, 0), 5u);
  std::multiset<std::pair<uint32_t, uint16_t>> got;
  for (const auto& p : out) got.insert({p->PacketPlayerId(), p->ClassWord()});
  const std::multiset<std::pair<uint32_t, uint16_t>> want = {{kPlayer, kClassAck},
                                                             {kPlayer, kClassCommand},
                                                             {kPlayer, kClassServerVoice},
                                                             {kOther, kClassCommand},
                                                             {kOther, kClassServerVoice}};
  EXPECT_EQ(got, want);
  // Each connection's acknowledgement leaves before its commands, commands before voice.
  for (uint32_t id : {kPlayer, kOther}) {
    std::vector<uint16_t> order;
    for (const auto& p : out)
      if (p->PacketPlayerId() == id) order.push_back(p->ClassWord());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end(),
                               [](uint16_t a, uint16_t b) {
                                 auto rank = [](uint16_t c) {
                                   return c == kClassAck ? 0 : c == kClassCommand ? 1 : 2;
                                 };
                                 return rank(a) < rank(b);
                               }))
        << "player " << id;
  }

  // The next pick takes the sent batch back; spares handed out later come from it, empty.
  EXPECT_EQ(table.NextOutgoingPackets(out, 64, 0), 0u);
  EXPECT_TRUE(out.empty());
  std::vector<std::unique_ptr<TPacket>> none, spares;
  table.SendPackets(none, &spares, 3);
  ASSERT_EQ(spares.size(), 3u);
  for (const auto& p : spares) EXPECT_EQ(p->Size(), 0);
}

TEST_F(Batches, VoiceIsHandedOutOnlyWhileTheListenerHoldsNoDatagram) {
  ConnectAndLogIn();
  Outgoing();
  uint16_t counter = 0;
  auto voice = [&] { return Wire(NewClientVoicePacket(0, 0, kConn, kPlayer, ++counter, 0)); };
  auto offer = [&](std::vector<std::unique_ptr<TPacket>> in) {
    std::vector<std::unique_ptr<TPacket>> out;
    table.OfferDatagrams(in, nullptr, 0, &out);
    std::vector<uint16_t> counters;
    for (const auto& p : out) counters.push_back(p->VoiceCounter());
    return counters;
  };
  auto batch = [](std::unique_ptr<TPacket> first, std::unique_ptr<TPacket> second = nullptr) {
    std::vector<std::unique_ptr<TPacket>> in;
    in.push_back(std::move(first));
    if (second) in.push_back(std::move(second));
    return in;
  };

  // An idle listener: voice comes out, counted, and no event is queued.
  const uint32_t received = table.GetConnectionStats(kPlayer).packetsReceived;
  auto first = voice();
  EXPECT_EQ(offer(batch(std::move(first), voice())), (std::vector<uint16_t>{1, 2}));
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(table.GetConnectionStats(kPlayer).packetsReceived, received + 2);

  // A command ahead of it in the batch holds the voice back in the queue, behind it.
  EXPECT_TRUE(offer(batch(ClientCommand(1), voice())).empty());
  uint32_t player = 0;
  uint8_t kind = 0;
  std::unique_ptr<TPacket> packet;
  int32_t wait = 0;
  ASSERT_TRUE(table.PollEvent(player, kind, packet, wait));
  EXPECT_TRUE(packet->IsCommandPacket());
  // Taken but not reported done: the voice still waits for the listener.
  EXPECT_TRUE(offer(batch(voice())).empty());
  table.PacketEventHandled();  // the command
  ASSERT_TRUE(table.PollEvent(player, kind, packet, wait));
  EXPECT_EQ(packet->VoiceCounter(), 3);
  table.PacketEventHandled();
  ASSERT_TRUE(table.PollEvent(player, kind, packet, wait));
  EXPECT_EQ(packet->VoiceCounter(), 4);
  table.PacketEventHandled();
  EXPECT_EQ(offer(batch(voice())), (std::vector<uint16_t>{5}));

  // Voice the caller could not relay goes back to the listener, in order.
  std::vector<std::unique_ptr<TPacket>> back = batch(voice());
  back.push_back(voice());
  table.QueueVoiceEvents(back);
  EXPECT_TRUE(back.empty());
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].packet->VoiceCounter(), 6);
  EXPECT_EQ(events[1].packet->VoiceCounter(), 7);
}

TEST_F(Batches, IdleTableWaitsLongBusyTableKeepsItsPasses) {
  uint32_t player = 0;
  uint8_t kind = 0;
  std::unique_ptr<TPacket> packet;
  int32_t wait = 0;
  EXPECT_FALSE(table.PollEvent(player, kind, packet, wait));
  EXPECT_EQ(wait, TCustomPacketBuffer::kIdleWaitMs);
  Connect();
  clock.Advance(TCustomPacketBuffer::kPassMs + 1);
  EXPECT_FALSE(table.PollEvent(player, kind, packet, wait));
  EXPECT_GE(wait, 0);
  EXPECT_LE(wait, TCustomPacketBuffer::kPassMs);
}

using LateVoice = TTableTest;

TEST_F(LateVoice, VoicePastTheBoundIsDroppedACommandOfTheSameAgeIsSent) {
  ConnectAndLogIn();
  ASSERT_EQ(table.VoiceAgeLimitMs(), TVoiceAgeLimit::kDefaultMs);
  table.SendPacket(ServerVoice(3), false);
  table.SendPacket(ServerCommand(), false);
  clock.Advance(TVoiceAgeLimit::kDefaultMs + 1);
  table.SendPacket(ServerVoice(4), false);  // fresh
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(out[0]->IsCommandPacket());
  ASSERT_TRUE(out[1]->IsServerVoicePacket());
  EXPECT_EQ(out[1]->SpeakerId(), 4u);
  EXPECT_EQ(table.LateVoiceDrops(), 1u);
  Ack(out[0]->SequenceNumber());

  // Just inside the bound it still goes; with the bound off any age goes.
  table.SendPacket(ServerVoice(5), false);
  clock.Advance(TVoiceAgeLimit::kDefaultMs - 1);
  EXPECT_EQ(Outgoing().size(), 1u);
  table.SetVoiceAgeLimitMs(0);
  table.SendPacket(ServerVoice(6), false);
  clock.Advance(60000);
  out = Outgoing();
  ASSERT_FALSE(out.empty());
  EXPECT_TRUE(out.back()->IsServerVoicePacket());
  EXPECT_EQ(table.LateVoiceDrops(), 1u);
}

TEST_F(LateVoice, TheBoundCountsFromTheSpeakersDatagramNotFromTheRelay) {
  ConnectAndLogIn();
  // The speaker's datagram waits in the incoming queue past the bound before the relay takes
  // it; a copy that carries its stamp is dropped although it was queued a moment ago.
  ASSERT_EQ(Receive(Wire(NewClientVoicePacket(0, 0, kConn, kPlayer, 1, 0))), "");
  clock.Advance(TVoiceAgeLimit::kDefaultMs + 1);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_TRUE(events[0].packet->IsClientVoicePacket());
  auto copy = ServerVoice(9);
  copy->SetQueuedMs(events[0].packet->QueuedMs());
  table.SendPacket(std::move(copy), false);
  EXPECT_TRUE(Outgoing().empty());
  EXPECT_EQ(table.LateVoiceDrops(), 1u);
}

}  // namespace
}  // namespace vh
