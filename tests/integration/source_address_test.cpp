// What one source can do to others, over UDP on 127.0.0.1: datagrams with another session's
// ids, floods of login requests, logins that never join. On loopback only the port can
// differ, so every socket stands for an address of its own (the harness counts login
// sources by port).
#include <gtest/gtest.h>

#include <algorithm>

#include "ServerHarness.h"
#include "client/UdpSocket.h"
#include "common/Mutex.h"
#include "model/Clients.h"
#include "transport/ConnectionTable.h"

namespace vh::test {
namespace {

using client::TProtocolClient;
using client::TUdpSocket;

std::unique_ptr<TUdpSocket> OpenSocket(uint16_t serverPort) {
  auto s = std::make_unique<TUdpSocket>();
  std::string error;
  if (!s->Open("127.0.0.1", serverPort, error)) throw std::runtime_error(error);
  return s;
}

// Datagrams waiting on the socket right now.
int Pending(TUdpSocket& s) {
  char buffer[8192];
  int n = 0;
  while (s.Receive(buffer, sizeof buffer)) ++n;
  return n;
}

TEST(SourceAddress, ForgedAcknowledgementsAndVoiceDoNotMoveASessionOntoTheVictim) {
  TServerHarness h;
  auto speaker = h.Join("speaker");
  auto mallory = h.Join("mallory");  // the attacker's second session, to be moved
  ASSERT_TRUE(speaker && mallory);
  auto victim = OpenSocket(h.Port());

  // From the victim's socket: an acknowledgement and a voice packet with mallory's ids,
  // neither of which carries a CRC.
  const uint32_t conn = mallory->ConnectionId(), player = mallory->PlayerId();
  victim->Send(NewAckPacket(0, conn, player, 1)->Bytes());
  auto voice = NewClientVoicePacket(0, 0, conn, player, 1, 0);
  voice->WriteU32(0);
  victim->Send(voice->Bytes());
  // Barrier: the server reads its one socket in order, so the speaker's ping is answered
  // after both were handled. (Anything from mallory's own socket would move him back.)
  ASSERT_TRUE(speaker->WaitForPingReply(speaker->SendPing(), 3s));

  // The speaker's voice still reaches mallory's own socket, and the victim gets nothing.
  speaker->SendVoice(0, 0, speaker->NextVoiceCounter(), 0, std::string(40, 'v'));
  auto heard = mallory->WaitForVoice(3s);
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->speakerId, speaker->PlayerId());
  EXPECT_EQ(Pending(*victim), 0);
  const TConnectionStats stats = h.Server().PacketBuffer()->GetConnectionStats(player);
  EXPECT_EQ(stats.peerPort, mallory->LocalPort());
}

TEST(SourceAddress, APlayerWhoseNatChangesHisPortKeepsTalking) {
  TServerHarness h;
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  ASSERT_TRUE(alice && bob);
  // Bob's NAT gives him a new port: his next keep-alive ping comes from there.
  auto rebound = OpenSocket(h.Port());
  auto ping = NewConnectionPacket(kConnKeepAlivePing, bob->ConnectionId(), bob->PlayerId(), 77);
  ping->SetCRC();
  rebound->Send(ping->Bytes());
  ASSERT_TRUE(rebound->WaitReadable(3000));
  char buffer[8192];
  auto n = rebound->Receive(buffer, sizeof buffer);
  ASSERT_TRUE(n);
  auto reply = std::make_unique<TPacket>();
  reply->Write(buffer, static_cast<int32_t>(*n));
  ASSERT_TRUE(reply->IsConnectionPacket());
  EXPECT_EQ(reply->CommandNumber(), kConnKeepAliveReply);
  EXPECT_EQ(reply->LongAt(20), 77u);

  // Alice's voice follows him there.
  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, std::string(40, 'v'));
  ASSERT_TRUE(rebound->WaitReadable(3000));
  n = rebound->Receive(buffer, sizeof buffer);
  ASSERT_TRUE(n);
  auto voice = std::make_unique<TPacket>();
  voice->Write(buffer, static_cast<int32_t>(*n));
  EXPECT_TRUE(voice->IsServerVoicePacket());
  EXPECT_EQ(voice->SpeakerId(), alice->PlayerId());
}

size_t RegistryCount(TServerObject& server) {
  TLockGuard registry(server.Clients()->Mutex());
  return server.Clients()->Count();
}

TEST(LoginLimits, LoginsThatNeverJoinCannotFillTheServer) {
  TServerHarness h;
  h.EditSettings([](TVirtualServerSettings& s) { s.MaxUsers = 5; });
  // The attacker's five login requests from one source, none of which will join.
  auto attacker = h.NewClient();
  for (int i = 0; i < 5; ++i) {
    client::TLoginOptions o;
    o.nickname = "half" + std::to_string(i);
    attacker->SendLogin(o);
  }
  std::vector<int32_t> results;
  for (int i = 0; i < 5; ++i) {
    auto r = attacker->WaitForLoginReply(3s);
    ASSERT_TRUE(r);
    results.push_back(r->result);
  }
  std::sort(results.begin(), results.end());
  EXPECT_EQ(results, (std::vector<int32_t>{-2, 1, 1, 1, 1}));
  EXPECT_EQ(RegistryCount(h.Server()), 4u);  // the refused one took no slot

  // A real player still gets the fifth slot.
  auto victim = h.Join("victim");
  EXPECT_TRUE(victim);
}

TEST(LoginLimits, AFloodOfValidLoginsIsDroppedBeforeTheListenerAndARealLoginIsAnswered) {
  TServerHarness h;
  h.EditSettings([](TVirtualServerSettings& s) { s.MaxUsers = 100; });
  auto flooder = OpenSocket(h.Port());
  client::TLoginOptions o;
  o.nickname = "flood";
  const std::string request(client::BuildLoginRequest(o, 1)->Bytes());
  constexpr int kFlood = 3000;
  for (int i = 0; i < kFlood; ++i) flooder->Send(request);

  auto victim = h.NewClient();
  client::TLoginOptions v;
  v.nickname = "victim";
  auto reply = victim->Login(v, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 1);
  // At most a burst of the flood reached the listener; the socket may have lost some of it.
  const TServerStats stats = h.Server().PacketBuffer()->GetServerStats();
  EXPECT_GE(stats.loginsRateLimited + static_cast<uint64_t>(TLoginRateLimiter::kDefaultBurst) + 5,
            std::min<uint64_t>(stats.packetsReceived, kFlood));
  EXPECT_GT(stats.loginsRateLimited, 0u);
}

}  // namespace
}  // namespace vh::test
