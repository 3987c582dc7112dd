// What a datagram's source may do to a session, and what one source address may do before it
// has joined: forged sources, NAT rebinding, login floods and half-open logins, on the
// connection table with arbitrary addresses and a manual clock.
#include <gtest/gtest.h>

#include "TransportTestSupport.h"

namespace vh::test {
namespace {

using SourceAddress = TTableTest;

std::unique_ptr<TPacket> From(std::unique_ptr<TPacket> p, const std::string& address,
                              uint16_t port) {
  p->SetCRC();
  p->SetAddress(address, port, "127.0.0.1");
  p->SetPosition(0);
  return p;
}

TEST_F(SourceAddress, ForgedSourcesNeverMoveTheSessionAndOnlyCheckedDatagramsMoveItsPort) {
  ConnectAndLogIn();  // logged in from 10.1.1.1:5007
  auto destination = [&] {
    table.SendPacket(ServerCommand(), false);
    auto out = Outgoing();
    EXPECT_FALSE(out.empty());
    return out.empty() ? std::string()
                       : out.back()->PeerAddress() + ":" + std::to_string(out.back()->PeerPort());
  };
  auto voice = [](uint16_t counter) {
    auto p = NewClientVoicePacket(0, 0, kConn, kPlayer, counter, 0);
    p->WriteU32(0);
    return p;
  };

  // Another address: refused whatever the class, checked or not.
  EXPECT_EQ(Receive(From(NewAckPacket(0, kConn, kPlayer, 9), "10.6.6.6", 5007)),
            "wrong peer address");
  EXPECT_EQ(Receive(From(voice(1), "10.6.6.6", 5007)), "wrong peer address");
  EXPECT_EQ(Receive(From(NewCommandPacket(300, kConn, kPlayer, 1), "10.6.6.6", 5007)),
            "wrong peer address");
  EXPECT_EQ(
      Receive(From(NewConnectionPacket(kConnKeepAlivePing, kConn, kPlayer, 5), "10.6.6.6", 6000)),
      "wrong peer address");
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(destination(), "10.1.1.1:5007");

  // Its own address, another port: acknowledgements and voice are taken but do not move it.
  EXPECT_EQ(Receive(From(NewAckPacket(0, kConn, kPlayer, 9), "10.1.1.1", 6000)), "");
  EXPECT_EQ(Receive(From(voice(2), "10.1.1.1", 6000)), "");
  EXPECT_EQ(Events().size(), 1u);  // the voice packet
  EXPECT_EQ(destination(), "10.1.1.1:5007");

  // A command whose CRC fails moves nothing; one that checks moves the port (NAT rebinding).
  auto broken = From(NewCommandPacket(300, kConn, kPlayer, 1), "10.1.1.1", 6001);
  broken->SetByteAt(19, 1);
  EXPECT_EQ(Receive(std::move(broken)), "Invalid Packet");
  EXPECT_EQ(destination(), "10.1.1.1:5007");
  EXPECT_EQ(Receive(From(NewCommandPacket(300, kConn, kPlayer, 1), "10.1.1.1", 6002)), "");
  EXPECT_EQ(destination(), "10.1.1.1:6002");
  // A keep-alive ping too, and its reply goes to the new port.
  EXPECT_EQ(
      Receive(From(NewConnectionPacket(kConnKeepAlivePing, kConn, kPlayer, 5), "10.1.1.1", 6003)),
      "");
  auto out = Outgoing();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back()->PeerPort(), 6003);
  EXPECT_EQ(table.LoginAddress(kPlayer), "10.1.1.1");
  EXPECT_EQ(table.GetConnectionStats(kPlayer).peerAddress, "10.1.1.1");
}

std::unique_ptr<TPacket> LoginRequest(const std::string& address, uint16_t port = 4000) {
  auto p = NewConnectionPacket(kConnLoginRequest, 0, 0, 1);
  p->SetSize(180);
  return From(std::move(p), address, port);
}

TEST_F(SourceAddress, LoginRequestsBeyondTheirAddressBudgetNeverReachTheListener) {
  const int burst = static_cast<int>(TLoginRateLimiter::kDefaultBurst);
  for (int i = 0; i < burst + 20; ++i) table.OfferDatagram(LoginRequest("10.2.2.2", 4000 + i));
  // Another address has a budget of its own.
  EXPECT_EQ(table.OfferDatagram(LoginRequest("10.3.3.3")), nullptr);
  EXPECT_EQ(Events().size(), static_cast<size_t>(burst) + 1);
  TServerStats stats = table.GetServerStats();
  EXPECT_EQ(stats.loginsRateLimited, 20u);
  EXPECT_EQ(stats.datagramsRefused, 20u);

  // The budget refills at its rate: a tenth of a second gives one more at 10 per second.
  clock.Advance(1000.0 / TLoginRateLimiter::kDefaultPerSecond);
  EXPECT_EQ(table.OfferDatagram(LoginRequest("10.2.2.2")), nullptr);
  EXPECT_STREQ(table.OfferDatagram(LoginRequest("10.2.2.2")), "login rate exceeded");
  // The throwing receive path refuses the same way.
  EXPECT_EQ(Receive(LoginRequest("10.2.2.2")), "login rate exceeded");
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(SourceAddress, LoopbackPortsAreSourcesOfTheirOwn) {
  const int burst = static_cast<int>(TLoginRateLimiter::kDefaultBurst);
  // A login burst of local players (each its own port) passes whole ...
  for (int i = 0; i < 3 * burst; ++i)
    EXPECT_EQ(table.OfferDatagram(LoginRequest("127.0.0.1", static_cast<uint16_t>(4000 + i))),
              nullptr);
  // ... while one port keeps the budget of one source.
  for (int i = 0; i < burst; ++i) table.OfferDatagram(LoginRequest("127.0.0.1", 3999));
  EXPECT_STREQ(table.OfferDatagram(LoginRequest("127.0.0.1", 3999)), "login rate exceeded");
  EXPECT_EQ(Events().size(), static_cast<size_t>(4 * burst));
}

TEST_F(SourceAddress, AnIPv6HostIsOneSourceAcrossItsSlash64) {
  const int burst = static_cast<int>(TLoginRateLimiter::kDefaultBurst);
  // Cycling addresses within one /64 does not buy a new budget ...
  for (int i = 0; i < burst; ++i)
    EXPECT_EQ(table.OfferDatagram(LoginRequest("2001:db8:7:7::" + std::to_string(i + 1))), nullptr);
  EXPECT_STREQ(table.OfferDatagram(LoginRequest("2001:db8:7:7:ffff::9")), "login rate exceeded");
  // ... the next /64 is another source, and so is every port of ::1.
  EXPECT_EQ(table.OfferDatagram(LoginRequest("2001:db8:7:8::1")), nullptr);
  for (int i = 0; i < 2 * burst; ++i)
    EXPECT_EQ(table.OfferDatagram(LoginRequest("::1", static_cast<uint16_t>(5000 + i))), nullptr);

  // Pending logins are counted the same way.
  for (uint32_t id = 1; id <= 5; ++id)
    table.AddConnection(id, id * 10, "::", 1, 4000, "2001:db8:9:9::" + std::to_string(id));
  EXPECT_TRUE(table.TooManyHalfOpenLogins(5));
  table.AddConnection(6, 60, "::", 1, 4000, "2001:db8:9:a::1");
  EXPECT_FALSE(table.TooManyHalfOpenLogins(6));
}

TEST(LoginRateLimiter, ForgetsIdleAddressesAndNeverLocksOutWhenFull) {
  TLoginRateLimiter limiter(10, 2);
  double now = 0;
  for (size_t i = 0; i < TLoginRateLimiter::kMaxTracked; ++i)
    ASSERT_TRUE(limiter.Allow("a" + std::to_string(i), now));
  EXPECT_EQ(limiter.Tracked(), TLoginRateLimiter::kMaxTracked);
  // Full of addresses active just now: a new one passes, untracked.
  EXPECT_TRUE(limiter.Allow("new", now));
  EXPECT_TRUE(limiter.Allow("new", now));
  EXPECT_TRUE(limiter.Allow("new", now));
  EXPECT_EQ(limiter.Tracked(), TLoginRateLimiter::kMaxTracked);
  // Once they have refilled they are forgotten and the newcomer is tracked again.
  now += 1000;
  EXPECT_TRUE(limiter.Allow("new", now));
  EXPECT_EQ(limiter.Tracked(), 1u);
  EXPECT_TRUE(limiter.Allow("new", now));
  EXPECT_FALSE(limiter.Allow("new", now));
  // A clock that steps back neither refills nor locks out for long.
  EXPECT_FALSE(limiter.Allow("new", now - 5000));
  EXPECT_TRUE(limiter.Allow("new", now - 4900));
}

TEST_F(SourceAddress, HalfOpenLoginsAreCountedPerAddressUntilTheyJoin) {
  for (uint32_t id = 1; id <= 4; ++id)
    table.AddConnection(id, id * 10, "127.0.0.1", 1, static_cast<uint16_t>(4000 + id), "10.4.4.4");
  EXPECT_FALSE(table.TooManyHalfOpenLogins(4));  // the fourth and three others
  table.AddConnection(5, 50, "127.0.0.1", 1, 4005, "10.4.4.4");
  EXPECT_TRUE(table.TooManyHalfOpenLogins(5));
  table.AddConnection(9, 90, "127.0.0.1", 1, 4009, "10.5.5.5");
  EXPECT_FALSE(table.TooManyHalfOpenLogins(9));

  // One of them joins (acknowledges the login's closing packet): a slot is free again.
  table.SendPacket(NewCommandPacket(8, 0, 1), false);
  auto out = Outgoing();
  ASSERT_EQ(CommandSeqs(out).size(), 1u);
  ASSERT_EQ(Receive(From(NewAckPacket(0, 10, 1, 1), "10.4.4.4", 4001)), "");
  ASSERT_EQ(table.ConnectionState(1), CS_CONNECTED);
  table.RemoveConnection(5);
  table.AddConnection(5, 50, "127.0.0.1", 1, 4005, "10.4.4.4");
  EXPECT_FALSE(table.TooManyHalfOpenLogins(5));
  // A refused login closes before it connects (state 3) and holds nothing either.
  table.SendPacket(NewConnectionPacket(kConnLoginReply, 0, 5), true);
  table.AddConnection(6, 60, "127.0.0.1", 1, 4006, "10.4.4.4");
  EXPECT_FALSE(table.TooManyHalfOpenLogins(6));
}

}  // namespace
}  // namespace vh::test
