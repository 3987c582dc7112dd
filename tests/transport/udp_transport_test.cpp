// Real datagrams over 127.0.0.1: the socket's bindings and local addresses, and the whole
// transport (receive thread, table, send thread) against a raw client socket.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "transport/ConnectionTable.h"
#include "transport/udp/UDPSocket.h"
#include "transport/udp/VHUDPSender.h"

namespace vh {
namespace {

// Collects what a socket's receive thread hands over; the test thread waits on it.
class TInbox {
 public:
  TUDPServerSocket::THandler Handler() {
    return [this](std::unique_ptr<TPacket> p) {
      std::lock_guard<std::mutex> lock(mutex_);
      packets_.push_back(std::move(p));
      cv_.notify_all();
    };
  }
  // The next packet, or null after 5 s (a lost datagram on loopback means a broken socket).
  std::unique_ptr<TPacket> Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::seconds(5), [this] { return !packets_.empty(); }))
      return nullptr;
    auto p = std::move(packets_.front());
    packets_.pop_front();
    return p;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<TPacket>> packets_;  // guarded by mutex_
};

std::unique_ptr<TPacket> Addressed(std::unique_ptr<TPacket> p, uint16_t port,
                                   const std::string& local = "127.0.0.1") {
  p->SetAddress("127.0.0.1", port, local);
  return p;
}

TEST(UDPSocket, DatagramsCarryPeerAndLocalAddresses) {
  TInbox serverInbox, clientInbox;
  TUDPServerSocket server(0, serverInbox.Handler());  // no binding: every address
  server.Open();
  TUDPServerSocket client(0, clientInbox.Handler());
  client.Bindings().push_back({"127.0.0.1", 0});
  client.Open();
  ASSERT_TRUE(server.Active());

  auto hello = NewAckPacket(1, 2, 3, 4);
  EXPECT_EQ(client.Send(*Addressed(std::move(hello), server.BoundPort())), 1u);
  auto got = serverInbox.Next();
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->IsAckPacket());
  EXPECT_EQ(got->SequenceNumber(), 4u);
  EXPECT_EQ(got->Position(), 0);
  EXPECT_EQ(got->PeerAddress(), "127.0.0.1");
  EXPECT_EQ(got->PeerPort(), client.BoundPort());
  EXPECT_EQ(got->LocalAddress(), "127.0.0.1");  // learnt per datagram on the wildcard socket

  // The answer goes back through the binding the packet names; another name matches none.
  auto answer = ClonePacket(*got);
  answer->SetAddress(got->PeerAddress(), got->PeerPort(), got->LocalAddress());
  EXPECT_EQ(server.Send(*answer), 1u);
  auto back = clientInbox.Next();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Bytes(), answer->Bytes());
  EXPECT_EQ(back->PeerPort(), server.BoundPort());
  EXPECT_EQ(client.Send(*Addressed(NewAckPacket(0, 0, 0, 0), server.BoundPort(), "10.0.0.1")), 0u);
  EXPECT_EQ(client.Send(*Addressed(NewAckPacket(0, 0, 0, 0), server.BoundPort(), "")), 0u);

  client.Close();
  server.Close();
  EXPECT_FALSE(server.Active());
}

TEST(UDPSocket, TakenPortAndBadAddressFailToOpen) {
  TInbox inbox;
  TUDPServerSocket first(0, inbox.Handler());
  first.Bindings().push_back({"127.0.0.1", 0});
  first.Open();
  TUDPServerSocket second(first.BoundPort(), inbox.Handler());
  second.Bindings().push_back({"127.0.0.1", 0});
  EXPECT_THROW(second.Open(), ESocketError);
  EXPECT_FALSE(second.Active());
  TUDPServerSocket third(0, inbox.Handler());
  third.Bindings().push_back({"not-an-address", 0});
  EXPECT_THROW(third.Open(), ESocketError);
}

// A client talking to a running transport: login request in, command out and acknowledged,
// a command in and acknowledged, then a clean stop of both threads.
TEST(UDPTransport, ClientRoundTripThroughAllThreads) {
  TCustomPacketBuffer table;
  TUDPServerSocket socket(0, TableReceiveHandler(table));
  socket.Bindings().push_back({"127.0.0.1", 0});
  TVHUDPSender sender(table, socket, 1);
  sender.Start();
  socket.Open();

  TInbox inbox;
  TUDPServerSocket client(0, inbox.Handler());
  client.Bindings().push_back({"127.0.0.1", 0});
  client.Open();
  const uint16_t port = socket.BoundPort();

  auto login = NewConnectionPacket(kConnLoginRequest, 0, 0, 1);
  login->WriteCString("nick");
  login->SetCRC();
  ASSERT_EQ(client.Send(*Addressed(std::move(login), port)), 1u);

  uint32_t player = 99;
  uint8_t kind = 255;
  std::unique_ptr<TPacket> event;
  table.GetNextEvent(player, kind, event);
  ASSERT_EQ(kind, EV_PACKET);
  EXPECT_EQ(player, 0u);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->PeerPort(), client.BoundPort());

  table.AddConnection(5, 777, event->LocalAddress(), 1, event->PeerPort(), event->PeerAddress());
  table.SendPacket(NewConnectionPacket(kConnLoginReply, 0, 5), false);
  auto welcome = NewCommandPacket(100, 0, 5);
  welcome->WriteCString("welcome");
  table.SendPacket(std::move(welcome), false);

  std::unique_ptr<TPacket> reply, command;
  while (!reply || !command) {
    auto p = inbox.Next();
    ASSERT_TRUE(p) << "the send thread delivered nothing";
    ASSERT_TRUE(p->IsValidPacket());
    (p->IsConnectionPacket() ? reply : command) = std::move(p);
  }
  EXPECT_EQ(reply->PacketConnectionId(), 0u);  // a login reply carries no connection id
  EXPECT_EQ(command->PacketConnectionId(), 777u);
  EXPECT_EQ(command->SequenceNumber(), 1u);

  // Acknowledge it and send a command of our own; the table answers with an acknowledgement.
  client.Send(*Addressed(NewAckPacket(0, 777, 5, 1), port));
  auto mine = NewCommandPacket(430, 777, 5, 1);
  mine->WriteCString("hi");
  mine->SetCRC();
  client.Send(*Addressed(std::move(mine), port));
  std::unique_ptr<TPacket> ack;
  while (!ack || !ack->IsAckPacket()) {  // a slow run may see a resend of the welcome first
    ack = inbox.Next();
    ASSERT_TRUE(ack);
  }
  EXPECT_EQ(ack->SequenceNumber(), 1u);
  table.GetNextEvent(player, kind, event);
  ASSERT_EQ(kind, EV_PACKET);
  EXPECT_EQ(player, 5u);
  EXPECT_EQ(event->CommandNumber(), 430);

  auto stats = table.GetConnectionStats(5);
  EXPECT_GE(stats.packetsSent, 3u);  // reply, command (perhaps resent), acknowledgement
  EXPECT_EQ(stats.packetsReceived, 2u);

  table.MarkThreadStopped(1);  // the listener's part; the send thread reports its own
  table.Stop();
  sender.WaitFor();
  socket.Close();
  EXPECT_GE(sender.PacketsSent(), 3u);
  EXPECT_EQ(sender.PacketsUnsent(), 0u);
}

// Producers, a send loop that acknowledges what it picks, and a listener loop all at once:
// every command leaves exactly once on its first transmission, numbered 1, 2, 3... per
// connection, whatever the interleaving.
TEST(TableThreads, ProducersSenderAndListenerTogether) {
  constexpr uint32_t kConnections = 8;
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 400;
  TCustomPacketBuffer table;
  for (uint32_t id = 1; id <= kConnections; ++id) {
    table.AddConnection(id, id * 10, "127.0.0.1", 1, 4000, "127.0.0.1");
    for (int i = 0; i < 8; ++i) table.SendPacket(NewCommandPacket(1, 0, id), false);
  }
  while (table.NextOutgoingPacket(0)) {
  }
  for (uint32_t id = 1; id <= kConnections; ++id)
    for (uint32_t s = 1; s <= 8; ++s) {
      auto ack = NewAckPacket(0, id * 10, id, s);
      ack->SetAddress("127.0.0.1", 4000, "127.0.0.1");
      table.ReceiveDatagram(std::move(ack));
    }

  std::mutex mutex;
  std::condition_variable allSeen;
  std::map<uint32_t, std::vector<uint32_t>> firstSends;  // guarded by mutex
  int seen = 0;                                          // guarded by mutex
  std::thread sender([&] {
    while (auto p = table.NextOutgoingPacket(-1)) {
      if (!p->IsCommandPacket()) continue;
      uint32_t player = p->PacketPlayerId();
      auto ack = NewAckPacket(p->ResendCount(), player * 10, player, p->SequenceNumber());
      ack->SetAddress("127.0.0.1", 4000, "127.0.0.1");
      table.ReceiveDatagram(std::move(ack));
      if (p->ResendCount() != 0) continue;
      std::lock_guard<std::mutex> lock(mutex);
      firstSends[player].push_back(p->SequenceNumber());
      ++seen;
      allSeen.notify_all();
    }
    table.MarkThreadStopped(0);
  });
  std::atomic<int> requests{0};
  std::thread listener([&] {
    for (;;) {
      uint32_t player = 0;
      uint8_t kind = 0;
      std::unique_ptr<TPacket> packet;
      table.GetNextEvent(player, kind, packet);
      if (kind == EV_STOP) break;
      if (kind == EV_REQUEST) ++requests;
    }
    table.MarkThreadStopped(1);
  });
  std::vector<std::thread> producers;
  for (int t = 0; t < kProducers; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerProducer; ++i) {
        uint32_t id = static_cast<uint32_t>((i + t) % kConnections) + 1;
        table.SendPacket(NewCommandPacket(300, 0, id), false);
        auto voice = NewServerVoicePacket(0, 0, 0, id, 0, 0, 77, 0);
        voice->WriteU32(static_cast<uint32_t>(i));
        table.SendPacket(std::move(voice), false);
        if (i % 50 == 0) table.WakeListener();
        table.GetServerStats();
      }
    });
  }
  for (auto& t : producers) t.join();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(allSeen.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return seen == kProducers * kPerProducer; }));
  }
  table.Stop();
  sender.join();
  listener.join();
  EXPECT_GE(requests.load(), 1);
  for (uint32_t id = 1; id <= kConnections; ++id) {
    const auto& seqs = firstSends[id];
    ASSERT_EQ(seqs.size(), static_cast<size_t>(kProducers * kPerProducer / kConnections));
    for (size_t i = 0; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], 9 + i);
  }
}

TEST(UDPSender, UnmatchedBindingIsDroppedAndAbandonedThreadEnds) {
  TCustomPacketBuffer table;
  TInbox inbox;
  TUDPServerSocket socket(0, inbox.Handler());
  socket.Bindings().push_back({"127.0.0.1", 0});
  socket.Open();
  {
    // Destroyed while the table runs on: it must leave rather than wait for a stop forever.
    TVHUDPSender abandoned(table, socket, 2);
    abandoned.Start();
  }
  EXPECT_FALSE(table.StopRequested());

  TVHUDPSender sender(table, socket, 1);
  table.AddConnection(3, 30, "10.0.0.1", 1, socket.BoundPort(), "127.0.0.1");
  table.SendPacket(NewConnectionPacket(kConnLoginReply, 0, 3), false);
  sender.Start();
  table.MarkThreadStopped(1);
  table.Stop();  // the sender hands out what is left, then reports
  sender.WaitFor();
  EXPECT_EQ(sender.PacketsSent(), 0u);
  EXPECT_EQ(sender.PacketsUnsent(), 1u);  // no binding has the address 10.0.0.1
}

}  // namespace
}  // namespace vh
