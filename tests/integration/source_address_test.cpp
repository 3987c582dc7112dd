// Datagrams with another session's ids from another source, over UDP on 127.0.0.1. On
// loopback only the port can differ, so "the victim's address" is a socket of its own.
#include <gtest/gtest.h>

#include "ServerHarness.h"
#include "client/UdpSocket.h"
#include "transport/PacketBuffer.h"

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

}  // namespace
}  // namespace vh::test
