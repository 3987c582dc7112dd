// Voice copies that leave from the relaying thread: when a copy may go direct, and that one
// which may not waits behind what its connection has queued or in the send thread's hand.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "TransportTestSupport.h"
#include "support/FreePorts.h"
#include "transport/udp/UDPSocket.h"

namespace vh {
namespace {

using test::TTableTest;

class DirectVoice : public TTableTest {
 protected:
  std::vector<uint8_t> data = std::vector<uint8_t>(40, 0x5A);

  TVoiceFanout Fanout(uint32_t speaker, double arrivedMs = -1) const {
    TVoiceFanout f;
    f.speakerId = speaker;
    f.speakerCounter = 77;
    f.data = data;
    f.arrivedMs = arrivedMs;
    return f;
  }
  // Relays one voice packet of `speaker` to kPlayer; the copies that went direct.
  std::vector<TDirectVoice> Relay(uint32_t speaker, double arrivedMs = -1) {
    std::vector<TDirectVoice> direct;
    const TVoiceListener to[] = {{kPlayer, 0}};
    table.RelayVoiceCopies(Fanout(speaker, arrivedMs), to, &direct);
    return direct;
  }
  static uint16_t Counter(const TDirectVoice& d) {
    return static_cast<uint16_t>(d.header[12] | d.header[13] << 8);
  }
};

TEST_F(DirectVoice, ACopyNeverOvertakesVoiceQueuedOrInTheSendThreadsHand) {
  ConnectAndLogIn();
  const uint32_t sentBefore = table.GetConnectionStats(kPlayer).packetsSent;
  // Nothing ahead: it goes direct, numbered, addressed and counted as a sent packet.
  auto first = Relay(3);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(Counter(first[0]), 1);
  EXPECT_EQ(SockAddrText(&first[0].addresses.peerIn4.any), "10.1.1.1");
  EXPECT_EQ(SockAddrPort(&first[0].addresses.peerIn4.any), 5007);
  EXPECT_EQ(SockAddrText(&first[0].addresses.peerIn6.any), "10.1.1.1");
  EXPECT_EQ(first[0].data.size(), data.size());
  EXPECT_EQ(table.GetConnectionStats(kPlayer).packetsSent, sentBefore + 1);

  // A copy queued by another path waits: the next relayed one queues behind it.
  table.SendPacket(ServerVoice(4), false);
  EXPECT_TRUE(Relay(5).empty());
  // The send thread takes both; while that batch is in its hand, a third still queues.
  std::vector<std::unique_ptr<TPacket>> batch;
  ASSERT_EQ(table.NextOutgoingPackets(batch, 8, 0), 2u);
  EXPECT_EQ(batch[0]->SpeakerId(), 4u);
  EXPECT_EQ(batch[0]->VoiceCounter(), 2);
  EXPECT_EQ(batch[1]->SpeakerId(), 5u);
  EXPECT_EQ(batch[1]->VoiceCounter(), 3);
  EXPECT_TRUE(Relay(6).empty());
  // The batch comes back sent: the queued copy goes next, and only then voice goes direct.
  ASSERT_EQ(table.NextOutgoingPackets(batch, 8, 0), 1u);
  EXPECT_EQ(batch[0]->VoiceCounter(), 4);
  EXPECT_TRUE(Relay(7).empty());  // still in hand
  EXPECT_EQ(table.NextOutgoingPackets(batch, 8, 0), 1u);
  EXPECT_EQ(batch[0]->SpeakerId(), 7u);
  EXPECT_EQ(table.NextOutgoingPackets(batch, 8, 0), 0u);
  auto later = Relay(8);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(Counter(later[0]), 6);
}

TEST_F(DirectVoice, AConnectionOverItsBudgetQueuesAndIsThinnedAsBefore) {
  ConnectAndLogIn();
  table.SetClientBandwidth(kPlayer, 1);  // 128 bytes a second: one copy fills a tick
  table.SetVoiceAgeLimitMs(0);           // only the budget holds voice back here
  clock.Advance(5000);                   // the login's commands are paid off in the budget's ticks
  ASSERT_EQ(Relay(3).size(), 1u);
  for (uint32_t speaker : {3, 4, 3, 4}) EXPECT_TRUE(Relay(speaker).empty());
  EXPECT_TRUE(Outgoing().empty());  // the budget holds them, and the queue is thinned
  EXPECT_EQ(TTrafficCounters::Read(table.Counters()->voiceDroppedThinned), 2u);
  std::vector<uint32_t> speakers;
  for (int tick = 0; tick < 40 && speakers.size() < 2; ++tick) {
    clock.Advance(250);
    for (auto& p : Outgoing())
      if (p->IsServerVoicePacket()) speakers.push_back(p->SpeakerId());
  }
  EXPECT_EQ(speakers, (std::vector<uint32_t>{3, 3}));
}

TEST_F(DirectVoice, ACopyThatMustQueueWaitsForTheUnsentBatchOfItsConnection) {
  ConnectAndLogIn();
  table.SetClientBandwidth(kPlayer, 1);  // one copy fills a tick
  table.SetVoiceAgeLimitMs(0);
  clock.Advance(5000);
  const TVoiceListener to[] = {{kPlayer, 0}};
  std::vector<TDirectVoice> direct;
  const uint64_t batch = table.NewDirectBatch();
  size_t relayed = 0;
  EXPECT_EQ(table.RelayVoiceCopies(Fanout(3), to, &direct, batch, &relayed), 1u);
  EXPECT_EQ(relayed, 1u);
  // Over budget now, the next copy would be queued while the first is still unsent here: the
  // relay stops before it and queues nothing.
  EXPECT_EQ(table.RelayVoiceCopies(Fanout(4), to, &direct, batch, &relayed), 0u);
  EXPECT_EQ(relayed, 0u);
  EXPECT_EQ(direct.size(), 1u);
  EXPECT_TRUE(Outgoing().empty());
  // Once the caller has sent its batch, a new batch queues the copy as before.
  EXPECT_EQ(table.RelayVoiceCopies(Fanout(4), to, &direct, table.NewDirectBatch(), &relayed), 0u);
  EXPECT_EQ(relayed, 1u);
  std::vector<uint32_t> queued;
  for (int tick = 0; tick < 8 && queued.empty(); ++tick) {
    clock.Advance(250);
    for (auto& p : Outgoing())
      if (p->IsServerVoicePacket()) queued.push_back(p->VoiceCounter());
  }
  EXPECT_EQ(queued, (std::vector<uint32_t>{2}));
}

TEST_F(DirectVoice, TimeInTheSocketBufferCountsTowardsTheAgeBound) {
  ConnectAndLogIn();
  clock.Advance(1000);
  uint16_t counter = 1;
  auto voice = [&](double waitedMs) {
    auto p = Wire(NewClientVoicePacket(0, 0, kConn, kPlayer, counter++, 0));
    p->SetSocketWaitMs(waitedMs);
    EXPECT_EQ(Receive(std::move(p)), "");
    auto events = Events();
    return events.size() == 1 ? events[0].packet->QueuedMs() : -1.0;
  };
  // Received this instant, but it sat in the buffer past the bound: dropped, never sent.
  EXPECT_TRUE(Relay(3, voice(TVoiceAgeLimit::kDefaultMs + 5)).empty());
  EXPECT_EQ(table.LateVoiceDrops(), 1u);
  EXPECT_EQ(Relay(3, voice(TVoiceAgeLimit::kDefaultMs - 5)).size(), 1u);
  EXPECT_EQ(table.LateVoiceDrops(), 1u);
}

TEST(DirectVoiceSocket, TheKernelStampMeasuresTheWaitAndCopiesShareTheirData) {
  std::promise<void> release, entered;
  std::shared_future<void> released = release.get_future().share();
  std::promise<std::vector<double>> waits;
  std::vector<double> seen;
  bool held = false;
  TUDPServerSocket socket(
      0, [&](std::vector<std::unique_ptr<TPacket>>& batch, std::vector<std::unique_ptr<TPacket>>&) {
        for (auto& p : batch) seen.push_back(p->SocketWaitMs());
        if (!held) {
          held = true;
          entered.set_value();
          released.wait();  // the next datagram waits in the buffer meanwhile
        } else if (seen.size() >= 2) {
          waits.set_value(seen);
        }
      });
  socket.Bindings().push_back({"127.0.0.1", 0});
  socket.Open();
  int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
  const timeval patience{5, 0};  // a copy that never comes fails the test instead of hanging it
  ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(socket.BoundPort());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char one = 1;
  ::sendto(peer, &one, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  ::sendto(peer, &one, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));  // the wait being measured
  release.set_value();
  auto result = waits.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  auto w = result.get();
  EXPECT_LT(w[0], 30);
  EXPECT_GE(w[1], 35);

  // Two copies sharing one data block arrive whole, each with its own header.
  sockaddr_in self{};
  socklen_t len = sizeof self;
  ::getsockname(peer, reinterpret_cast<sockaddr*>(&self), &len);
  const std::vector<uint8_t> shared(30, 0xC3);
  std::vector<TDirectVoice> copies(2);
  for (int i = 0; i < 2; ++i) {
    copies[i].header.fill(static_cast<uint8_t>(i + 1));
    copies[i].data = shared;
    copies[i].addresses = MakeDirectAddresses("127.0.0.1", ntohs(self.sin_port), "127.0.0.1");
  }
  EXPECT_EQ(socket.SendVoiceCopies(copies), 2u);
  for (int i = 0; i < 2; ++i) {
    uint8_t got[128] = {};
    ASSERT_EQ(::recv(peer, got, sizeof got, 0), kServerVoiceHeaderSize + 30);
    EXPECT_EQ(got[0], i + 1);
    EXPECT_EQ(got[kServerVoiceHeaderSize - 1], i + 1);
    EXPECT_EQ(got[kServerVoiceHeaderSize], 0xC3);
    EXPECT_EQ(got[kServerVoiceHeaderSize + 29], 0xC3);
  }
  ::close(peer);
  socket.Close();
}

}  // namespace
}  // namespace vh
