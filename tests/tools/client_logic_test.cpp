// The protocol client's own logic, without a server: request layouts, hostile server packets,
// client-side reliable delivery driven with a hand-held clock, and one exchange over loopback
// with a scripted peer socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/ClientPackets.h"
#include "client/ClientSession.h"
#include "client/ProtocolClient.h"
#include "gtest/gtest.h"

namespace vh::client {
namespace {

using std::chrono::milliseconds;

constexpr uint32_t kConn = 7001;
constexpr uint32_t kPlayer = 42;

// A server command packet as it would leave the server: numbered, CRC over its header.
std::string ServerCommand(uint16_t number, uint32_t seq, std::string_view payload,
                          uint8_t fragmentsLeft = 0, uint16_t resend = 0) {
  auto p = NewCommandPacket(number, kConn, kPlayer, seq);
  p->Write(payload.data(), static_cast<int32_t>(payload.size()));
  p->SetWordAt(16, resend);
  p->SetByteAt(18, fragmentsLeft);
  p->SetCRC();
  return std::string(p->Bytes());
}

std::string Ack(uint32_t seq, uint16_t resend) {
  return std::string(NewAckPacket(resend, kConn, kPlayer, seq)->Bytes());
}

struct TSentAck {
  uint32_t seq;
  uint16_t resend;
  bool operator==(const TSentAck&) const = default;
};

std::vector<TSentAck> AcksIn(const std::vector<std::string>& out) {
  std::vector<TSentAck> acks;
  for (const auto& d : out) {
    auto p = PacketFromBytes(d);
    if (p->IsAckPacket()) acks.push_back({p->SequenceNumber(), p->AckResendCount()});
  }
  return acks;
}

class ClientSessionTest : public ::testing::Test {
 protected:
  ClientSessionTest() { session.SetIdentity(kConn, kPlayer); }

  std::vector<uint32_t> DeliveredSequences() {
    std::vector<uint32_t> seqs;
    while (auto p = session.TakeAnyCommand()) seqs.push_back(p->SequenceNumber());
    return seqs;
  }

  TTime t0 = TClock::now();
  TClientSession session;
};

// ---- Requests the client builds -----------------------------------------------------------

TEST(ClientRequestTest, LoginRequestLayout) {
  TLoginOptions o;
  o.version = {2, 0, 32, 60};
  o.registered = true;
  o.rename = true;
  o.loginName = "alice";
  o.password = "pw";
  o.nickname = std::string(40, 'n');  // longer than a short string holds
  auto p = BuildLoginRequest(o, 1);
  ASSERT_EQ(p->Size(), kLoginRequestSize);
  EXPECT_TRUE(p->IsConnectionPacket());
  EXPECT_EQ(p->CommandNumber(), kConnLoginRequest);
  EXPECT_EQ(p->PacketConnectionId(), 0u);
  EXPECT_EQ(p->PacketPlayerId(), 0u);
  EXPECT_TRUE(p->CheckCRC());
  EXPECT_EQ(p->WordAt(84), 32);
  EXPECT_EQ(p->WordAt(86), 60);
  EXPECT_EQ(p->ByteAt(88), 1);  // rename
  EXPECT_EQ(p->ByteAt(89), 2);  // registered
  EXPECT_EQ(p->ByteAt(90), 5);
  EXPECT_EQ(std::string(p->Bytes().substr(91, 5)), "alice");
  EXPECT_EQ(p->ByteAt(120), 2);
  EXPECT_EQ(p->ByteAt(150), 29);  // nickname cut to its room
  o.registered = false;
  EXPECT_EQ(BuildLoginRequest(o, 1)->ByteAt(89), 1);
}

TEST(ClientRequestTest, JoinAndWhisperLayouts) {
  TJoinOptions j;
  j.channel = "Lobby";
  j.subchannel = "Corner";
  j.password = "secret";
  j.uploadBandwidth = 4000;
  j.option = 1;
  std::string payload = BuildJoinPayload(j);
  ASSERT_EQ(kCommandHeaderSize + static_cast<int32_t>(payload.size()), kJoinRequestSize);
  auto p = PacketFromBytes(ServerCommand(CMD_cs_LoginStep3, 1, payload));
  EXPECT_EQ(p->ByteAt(25), 1);
  EXPECT_EQ(std::string(p->Bytes().substr(27, p->ByteAt(26))), "Lobby");
  EXPECT_EQ(std::string(p->Bytes().substr(57, p->ByteAt(56))), "Corner");
  EXPECT_EQ(std::string(p->Bytes().substr(87, p->ByteAt(86))), "secret");
  EXPECT_EQ(p->LongAt(116), 4000u);

  // Three targets and 100 bytes of voice make a 132-byte datagram.
  TClientSession s;
  s.SetIdentity(kConn, kPlayer);
  s.QueueVoice(1, 9, 17, 0x1234,
               BuildWhisperPayload({{1, 5}, {0, 3}, {1, 6}}, std::string(100, 'v')));
  auto out = s.TakeOutbox();
  ASSERT_EQ(out.size(), 1u);
  auto v = PacketFromBytes(out[0]);
  ASSERT_EQ(v->Size(), 132);
  EXPECT_TRUE(v->IsClientVoicePacket());
  EXPECT_EQ(v->VoiceSelector(), 1);
  EXPECT_EQ(v->VoiceCounter(), 17);
  EXPECT_EQ(v->PacketPlayerId(), kPlayer);
  EXPECT_EQ(v->ByteAt(16), 3);
  EXPECT_EQ(v->ByteAt(22), 0);  // second target's kind
  EXPECT_EQ(v->LongAt(23), 3u);
}

// ---- What the server sends -------------------------------------------------------------------

TEST(ClientParserTest, LoginReplyFieldsAndShortReply) {
  auto p = NewConnectionPacket(kConnLoginReply, 0, kPlayer, 2);
  p->SetPosition(20);
  p->WriteShortString("Main", 29);
  p->WriteShortString("Linux", 29);
  for (uint16_t v : {2, 0, 20, 1}) p->WriteU16(v);
  p->WriteI32(-4);
  p->WriteU32(0x1FFF);
  p->WriteI32(0);
  p->WriteU16(2);
  for (int i = 0; i < 66; ++i) p->WriteU8(static_cast<uint8_t>(i));
  p->WriteI32(32);
  p->WriteU32(kConn);
  p->WriteU32(kPlayer);
  p->WriteShortString("Welcome!", 255);
  ASSERT_EQ(p->Size(), kLoginReplySize);
  auto r = ParseLoginReply(*p);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, -4);
  EXPECT_EQ(r->serverName, "Main");
  EXPECT_EQ(r->serverVersion[2], 20);
  EXPECT_EQ(r->codecs, 0x1FFFu);
  EXPECT_EQ(r->serverFlags, 2);
  EXPECT_EQ(r->permissions[65], 65);
  EXPECT_EQ(r->maxPlayers, 32);
  EXPECT_EQ(r->connectionId, kConn);
  EXPECT_EQ(r->playerId, kPlayer);
  EXPECT_EQ(r->text, "Welcome!");
  p->SetSize(179);
  EXPECT_FALSE(ParseLoginReply(*p));
}

TEST(ClientParserTest, ListsAndErrorReply) {
  TPacket body;
  body.WriteU32(2);
  for (int id : {1, 2}) {
    body.WriteI32(id);
    body.WriteU16(16);
    body.WriteU16(5);
    body.WriteI32(id == 1 ? -1 : 1);
    body.WriteU16(0);
    body.WriteU16(64);
    body.WriteCString(id == 1 ? "Lobby" : "Corner");
    body.WriteCString("topic");
    body.WriteCString("");
  }
  auto channels = ParseChannelList(*PacketFromBytes(ServerCommand(6, 1, body.Bytes())));
  ASSERT_TRUE(channels);
  ASSERT_EQ(channels->size(), 2u);
  EXPECT_EQ((*channels)[1].name, "Corner");
  EXPECT_EQ((*channels)[1].parentId, 1);
  EXPECT_EQ((*channels)[0].parentId, -1);
  // A count that promises more entries than the packet holds is refused.
  body.SetLongAt(0, 3);
  EXPECT_FALSE(ParseChannelList(*PacketFromBytes(ServerCommand(6, 1, body.Bytes()))));

  TPacket players;
  players.WriteU32(11);  // more than the ten slots a packet has
  players.WriteU32(9);
  players.WriteI32(1);
  for (int i = 0; i < 3; ++i) players.WriteU16(0);
  players.WriteShortString("Bob", 29);
  players.Write(std::string(440 - 44, '\0').data(), 440 - 44);
  EXPECT_FALSE(ParsePlayerList(*PacketFromBytes(ServerCommand(7, 1, players.Bytes()))));
  players.SetLongAt(0, 1);
  auto list = ParsePlayerList(*PacketFromBytes(ServerCommand(7, 1, players.Bytes())));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0].playerId, 9u);
  EXPECT_EQ((*list)[0].nickname, "Bob");

  // Wrong-password form of the error reply: code in place of the number, then the channel.
  auto e = NewCommandPacket(static_cast<uint16_t>(-111), kConn, kPlayer, 3);
  e->WriteU16(303);
  e->WriteU32(12);
  e->WriteI32(77);
  auto err = ParseErrorReply(*e);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->code, -111);
  EXPECT_EQ(err->command, 303);
  EXPECT_EQ(err->sequence, 12u);
  EXPECT_EQ(err->channelId, 77);
  EXPECT_FALSE(IsErrorReply(*PacketFromBytes(ServerCommand(104, 1, std::string(6, '\0')))));
}

// Every cut of every server packet must parse or be refused, never read past its end.
TEST(ClientParserTest, TruncatedPacketsNeverThrow) {
  const std::vector<std::pair<uint16_t, size_t>> shapes = {
      {6, 60},   {7, 444},  {8, 300},  {100, 44},  {101, 40}, {102, 44}, {103, 14},
      {104, 6},  {105, 34}, {106, 10}, {108, 444}, {109, 18}, {110, 30}, {111, 12},
      {113, 12}, {115, 6},  {116, 10}, {130, 45},  {140, 366}};
  for (auto [number, payloadSize] : shapes) {
    std::string payload(payloadSize, '\x7f');  // long length bytes, counts and no zero bytes
    std::string full = ServerCommand(number, 1, payload);
    for (size_t cut = 0; cut <= full.size(); ++cut) {
      auto p = PacketFromBytes(std::string_view(full).substr(0, cut));
      EXPECT_NO_THROW({
        ParseChannelList(*p);
        ParsePlayerList(*p);
        ParseClosingPacket(*p);
        ParseErrorReply(*p);
        ParsePlayerEntered(*p);
        ParsePlayerLeft(*p);
        ParsePlayerKicked(*p);
        ParsePlayerSwitched(*p);
        ParsePlayerMoved(*p);
        ParsePlayerFlags(*p);
        ParseVoiceRequest(*p);
        ParsePrivilegeChange(*p);
        ParseChannelCreated(*p);
        ParseChannelText(*p);
        ParseChannelProperties(*p);
        ParseChannelDestroyed(*p);
        ParseChannelValue(*p);
        ParseTextMessage(*p);
        ParseServerProperties(*p);
        ParseServerVoice(*p);
        ParseLoginReply(*p);
        DescribeCommand(*p);
      }) << "command "
         << number << " cut to " << cut;
    }
  }
}

// ---- Receiving server commands ----------------------------------------------------------------

TEST_F(ClientSessionTest, ReorderedCommandsAreAckedAndDeliveredInOrder) {
  session.HandleDatagram(ServerCommand(300, 3, "c", 0, 2), t0);
  session.HandleDatagram(ServerCommand(300, 2, "b"), t0);
  EXPECT_EQ(session.QueuedCommands(), 0u);
  session.HandleDatagram(ServerCommand(300, 1, "a", 0, 1), t0);
  EXPECT_EQ(AcksIn(session.TakeOutbox()),
            (std::vector<TSentAck>{{3, 2}, {2, 0}, {1, 1}}));  // each with its own resend count
  EXPECT_EQ(DeliveredSequences(), (std::vector<uint32_t>{1, 2, 3}));

  // A repeat of something delivered is acknowledged again but not delivered twice.
  session.HandleDatagram(ServerCommand(300, 2, "b", 0, 4), t0);
  EXPECT_EQ(AcksIn(session.TakeOutbox()), (std::vector<TSentAck>{{2, 4}}));
  EXPECT_EQ(session.QueuedCommands(), 0u);
  EXPECT_EQ(session.Stats().duplicates, 1u);
  EXPECT_EQ(session.ReceivedCommandNumbers().size(), 3u);
}

TEST_F(ClientSessionTest, ReceiveWindowAndRefusedPackets) {
  session.HandleDatagram(ServerCommand(300, 16, "x"), t0);  // next expected (1) + 15: held
  session.HandleDatagram(ServerCommand(300, 17, "y"), t0);  // + 16: dropped, not acknowledged
  EXPECT_EQ(AcksIn(session.TakeOutbox()), (std::vector<TSentAck>{{16, 0}}));

  std::string corrupt = ServerCommand(300, 1, "z");
  corrupt[18] = 1;  // fragments-remaining is covered by the CRC
  session.HandleDatagram(corrupt, t0);
  auto other = NewCommandPacket(300, kConn, kPlayer + 1, 1);
  other->SetCRC();
  session.HandleDatagram(other->Bytes(), t0);
  EXPECT_TRUE(session.TakeOutbox().empty());
  EXPECT_EQ(session.Stats().invalid, 1u);
  EXPECT_EQ(session.Stats().foreign, 1u);

  for (uint32_t s = 1; s <= 15; ++s) session.HandleDatagram(ServerCommand(300, s, "f"), t0);
  EXPECT_EQ(DeliveredSequences().size(), 16u);
  session.HandleDatagram(ServerCommand(300, 17, "y"), t0);  // now inside the window
  EXPECT_EQ(DeliveredSequences(), (std::vector<uint32_t>{17}));
}

// A login reply is lost: the server's half-made session (other ids) sends commands to the same
// socket before and after the real login. None may be taken, acknowledged or counted against
// the real session's numbering.
TEST(ClientSessionIdentityTest, CommandsOfAnotherConnectionNeverRunTheNumberingAhead) {
  constexpr uint32_t kStaleConn = 9009, kStalePlayer = 41;
  auto stale = [&](uint32_t seq) {
    auto p = NewCommandPacket(110, kStaleConn, kStalePlayer, seq);
    p->WriteU32(5);
    p->SetCRC();
    return std::string(p->Bytes());
  };
  const TTime t0{};
  TClientSession session;
  session.HandleDatagram(stale(1), t0);  // before any identity
  session.HandleDatagram(std::string(NewAckPacket(0, kStaleConn, kStalePlayer, 1)->Bytes()), t0);
  session.SetIdentity(kConn, kPlayer);
  for (uint32_t s = 2; s <= 4; ++s) session.HandleDatagram(stale(s), t0);
  EXPECT_TRUE(session.TakeOutbox().empty());  // nothing acknowledged
  EXPECT_EQ(session.QueuedCommands(), 0u);
  EXPECT_EQ(session.Stats().foreign, 5u);

  // The real session's first commands are delivered, not taken for duplicates.
  session.HandleDatagram(ServerCommand(6, 1, "list"), t0);
  session.HandleDatagram(ServerCommand(8, 2, std::string(256, '\0')), t0);
  EXPECT_EQ(session.ReceivedCommandNumbers(), (std::vector<uint16_t>{6, 8}));
  EXPECT_EQ(session.Stats().duplicates, 0u);

  // A different identity later (a new login) numbers from 1 again in both directions.
  session.QueueCommand(300, "", t0);
  session.SetIdentity(kConn + 1, kPlayer + 1);
  EXPECT_EQ(session.InFlight(), 0u);
  session.TakeOutbox();
  EXPECT_EQ(session.QueueCommand(300, "", t0), 1u);
  auto p = NewCommandPacket(6, kConn + 1, kPlayer + 1, 1);
  p->SetCRC();
  session.HandleDatagram(p->Bytes(), t0);
  EXPECT_EQ(session.ReceivedCommandNumbers().back(), 6);
}

TEST_F(ClientSessionTest, FragmentsOfBothDirectionsReassemble) {
  // The client splits a 1000-byte payload as a server would: 536 + 464 bytes.
  std::string payload(1000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  TClientSession sender;
  sender.SetIdentity(kConn, kPlayer);
  EXPECT_EQ(sender.QueueCommand(201, payload, t0), 1u);
  auto out = sender.TakeOutbox();
  ASSERT_EQ(out.size(), 2u);
  auto f1 = PacketFromBytes(out[0]);
  auto f2 = PacketFromBytes(out[1]);
  EXPECT_EQ(f1->FragmentsRemaining(), 1);
  EXPECT_EQ(f2->FragmentsRemaining(), 0);
  EXPECT_EQ(f1->Size(), 24 + 536);
  EXPECT_EQ(f2->Size(), 24 + 464);
  EXPECT_EQ(f2->SequenceNumber(), 2u);
  EXPECT_TRUE(f2->CheckCRC());

  // Fed to a receiver in reverse order, they come out as one 1024-byte message with the
  // first fragment's header.
  session.HandleDatagram(out[1], t0);
  session.HandleDatagram(out[0], t0);
  ASSERT_EQ(session.QueuedCommands(), 1u);
  auto whole = session.TakeCommand(201);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->Size(), 1024);
  EXPECT_EQ(whole->SequenceNumber(), 1u);
  EXPECT_EQ(std::string(whole->Bytes().substr(24)), payload);
  EXPECT_EQ(session.ReceivedCommandNumbers(), (std::vector<uint16_t>{201}));
}

// ---- Own commands: numbering, window, retransmission ---------------------------------------

TEST_F(ClientSessionTest, WindowHoldsEightAndAcksReleaseTheRest) {
  for (int i = 0; i < 10; ++i) session.QueueCommand(304, "ab", t0);
  auto out = session.TakeOutbox();
  ASSERT_EQ(out.size(), 8u);
  for (uint32_t i = 0; i < 8; ++i) {
    auto p = PacketFromBytes(out[i]);
    EXPECT_EQ(p->SequenceNumber(), i + 1);
    EXPECT_EQ(p->PacketConnectionId(), kConn);
    EXPECT_TRUE(p->CheckCRC());
  }
  session.HandleDatagram(Ack(5, 0), t0 + milliseconds(40));
  session.HandleDatagram(Ack(99, 0), t0 + milliseconds(40));  // unknown: ignored
  out = session.TakeOutbox();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(PacketFromBytes(out[0])->SequenceNumber(), 9u);
  EXPECT_EQ(session.InFlight(), 8u);
  EXPECT_FALSE(session.AllAcknowledged());
}

TEST_F(ClientSessionTest, ResendsUntilAcknowledgedThenGivesUp) {
  TClientSession s(TSessionConfig{.maxResends = 2});
  s.SetIdentity(kConn, kPlayer);
  s.QueueCommand(304, "ab", t0);
  s.QueueCommand(304, "cd", t0);
  s.TakeOutbox();
  s.Tick(t0 + milliseconds(99));
  EXPECT_TRUE(s.TakeOutbox().empty());
  s.Tick(t0 + milliseconds(100));
  auto out = s.TakeOutbox();
  ASSERT_EQ(out.size(), 2u);
  auto resent = PacketFromBytes(out[0]);
  EXPECT_EQ(resent->ResendCount(), 1);
  EXPECT_TRUE(resent->CheckCRC());  // recomputed over the new resend count

  // An ack of a retransmission frees the slot without timing the round trip.
  s.HandleDatagram(Ack(1, 1), t0 + milliseconds(150));
  EXPECT_EQ(s.InFlight(), 1u);
  EXPECT_EQ(s.AverageRoundTrip(), 50u);
  s.Tick(t0 + milliseconds(200));
  EXPECT_FALSE(s.LinkFailed());
  EXPECT_EQ(s.TakeOutbox().size(), 1u);
  EXPECT_EQ(s.Stats().resends, 3u);
  s.Tick(t0 + milliseconds(300));
  EXPECT_TRUE(s.LinkFailed());
  EXPECT_EQ(s.Stats().abandoned, 1u);
  EXPECT_TRUE(s.TakeOutbox().empty());
  EXPECT_FALSE(s.NextDeadline());
}

TEST_F(ClientSessionTest, RoundTripSamplesStretchTheResendTimeout) {
  for (int i = 0; i < 16; ++i) {
    uint32_t seq = session.QueueCommand(304, "ab", t0);
    session.HandleDatagram(Ack(seq, 0), t0 + milliseconds(200));
  }
  EXPECT_EQ(session.AverageRoundTrip(), 200u);
  EXPECT_EQ(session.ResendTimeout(), milliseconds(300));
}

TEST_F(ClientSessionTest, ConnectionPacketsAndVoice) {
  uint32_t ping = session.QueuePing();
  auto sent = PacketFromBytes(session.TakeOutbox().at(0));
  EXPECT_TRUE(sent->CheckCRC());
  EXPECT_EQ(sent->PacketPlayerId(), kPlayer);

  auto reply = NewConnectionPacket(kConnKeepAliveReply, kConn, kPlayer, 5);
  reply->WriteU32(ping);
  reply->SetCRC();
  session.HandleDatagram(reply->Bytes(), t0);
  EXPECT_FALSE(session.TakePingReply(ping + 1));
  EXPECT_TRUE(session.TakePingReply(ping));
  EXPECT_FALSE(session.TakePingReply(ping));

  auto voice = NewServerVoicePacket(0, 3, kConn, kPlayer, 11, 0x55, 9, 400);
  voice->SetPosition(22);
  voice->Write("opus", 4);
  session.HandleDatagram(voice->Bytes(), t0);
  session.HandleDatagram(std::string("\xF2\xBE", 2) + std::string(20, '\0'), t0);  // client voice
  auto v = session.TakeVoice();
  ASSERT_TRUE(v);
  EXPECT_EQ(v->speakerId, 9u);
  EXPECT_EQ(v->speakerCounter, 400);
  EXPECT_EQ(v->data, "opus");
  EXPECT_FALSE(session.TakeVoice());
  EXPECT_EQ(session.Stats().invalid, 1u);
}

// ---- TProtocolClient over loopback against a scripted peer ----------------------------------

class TScriptedPeer {
 public:
  TScriptedPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~TScriptedPeer() { ::close(fd_); }
  uint16_t Port() const { return port_; }

  // The next datagram, remembering who sent it; empty after `timeout`.
  std::string Receive(milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
    char buf[2048];
    socklen_t len = sizeof(client_);
    ssize_t n = ::recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&client_), &len);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  void Send(std::string_view bytes) {
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&client_),
             sizeof(client_));
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in client_{};
};

TEST(ProtocolClientLoopbackTest, LoginJoinPingAndQuit) {
  TScriptedPeer peer;
  TProtocolClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port())) << client.LastError();

  TLoginOptions login;
  login.nickname = "Tester";
  client.SendLogin(login);
  std::string request = peer.Receive(milliseconds(2000));
  ASSERT_EQ(request.size(), 180u);
  auto reply = NewConnectionPacket(kConnLoginReply, 0, kPlayer, 2);
  reply->SetSize(kLoginReplySize);
  reply->SetLongAt(88, 1);
  reply->SetLongAt(172, kConn);
  reply->SetLongAt(176, kPlayer);
  reply->SetCRC();
  peer.Send(reply->Bytes());
  auto r = client.WaitForLoginReply(milliseconds(2000));
  ASSERT_TRUE(r);
  EXPECT_EQ(client.PlayerId(), kPlayer);
  EXPECT_EQ(client.ConnectionId(), kConn);

  // The join answers are already waiting, in reverse order, when the client asks.
  TPacket channel;
  channel.WriteU32(1);
  channel.WriteI32(1);
  channel.Write(std::string(12, '\0').data(), 12);
  channel.WriteCString("Lobby");
  channel.WriteCString("");
  channel.WriteCString("");
  TPacket player;
  player.WriteU32(0);
  peer.Send(ServerCommand(8, 3, std::string(256, '\0')));
  peer.Send(ServerCommand(7, 2, player.Bytes()));
  peer.Send(ServerCommand(6, 1, channel.Bytes()));
  TJoinResult join = client.Join(TJoinOptions{}, milliseconds(2000));
  EXPECT_TRUE(join.complete);
  EXPECT_FALSE(join.malformed);
  ASSERT_EQ(join.channels.size(), 1u);
  EXPECT_EQ(join.channels[0].name, "Lobby");
  EXPECT_EQ(client.ReceivedCommandNumbers(), (std::vector<uint16_t>{6, 7, 8}));

  // The peer sees the join request and three acknowledgements, in some order.
  int acks = 0;
  bool joinSeen = false;
  for (int i = 0; i < 4; ++i) {
    auto p = PacketFromBytes(peer.Receive(milliseconds(2000)));
    acks += p->IsAckPacket() ? 1 : 0;
    if (p->IsCommandPacket()) {
      joinSeen = p->CommandNumber() == 5 && p->Size() == kJoinRequestSize;
      peer.Send(Ack(p->SequenceNumber(), 0));
    }
  }
  EXPECT_EQ(acks, 3);
  EXPECT_TRUE(joinSeen);

  uint32_t ping = client.SendPing();
  auto pingIn = PacketFromBytes(peer.Receive(milliseconds(2000)));
  ASSERT_TRUE(pingIn->IsConnectionPacket());
  auto pong = NewConnectionPacket(kConnKeepAliveReply, kConn, kPlayer, 3);
  pong->WriteU32(pingIn->SequenceNumber());
  pong->SetCRC();
  peer.Send(pong->Bytes());
  EXPECT_TRUE(client.WaitForPingReply(ping, milliseconds(2000)));

  // Quit is done once the peer acknowledges command 300.
  client.SendCommand(CMD_cs_PlayerQuit, {});
  auto quit = PacketFromBytes(peer.Receive(milliseconds(2000)));
  EXPECT_EQ(quit->CommandNumber(), CMD_cs_PlayerQuit);
  peer.Send(Ack(quit->SequenceNumber(), 0));
  EXPECT_TRUE(client.WaitUntilAcknowledged(milliseconds(2000)));
  EXPECT_TRUE(client.DrainFor(milliseconds(0)).commands.empty());
}

// While a test waits on one member of a group, the other members keep acknowledging.
TEST(ProtocolClientLoopbackTest, GroupPumpsEveryMember) {
  TScriptedPeer peerA, peerB;
  TClientGroup group;
  TProtocolClient a, b;
  ASSERT_TRUE(a.Connect("127.0.0.1", peerA.Port()));
  ASSERT_TRUE(b.Connect("127.0.0.1", peerB.Port()));
  group.Add(a);
  group.Add(b);
  a.Session().SetIdentity(kConn, kPlayer);  // as after a login
  b.Session().SetIdentity(kConn, kPlayer);
  a.SendRaw("hello");
  b.SendRaw("hello");
  ASSERT_EQ(peerA.Receive(milliseconds(2000)), "hello");
  ASSERT_EQ(peerB.Receive(milliseconds(2000)), "hello");

  peerB.Send(ServerCommand(104, 1, std::string(6, '\0')));
  peerA.Send(ServerCommand(130, 1, std::string(40, '\0')));
  EXPECT_TRUE(a.WaitForCommand(130, milliseconds(2000)));
  auto ack = PacketFromBytes(peerB.Receive(milliseconds(2000)));
  EXPECT_TRUE(ack->IsAckPacket());
  EXPECT_EQ(ack->SequenceNumber(), 1u);
  EXPECT_EQ(b.Session().QueuedCommands(), 1u);

  group.Remove(b);
  peerB.Send(ServerCommand(104, 2, std::string(6, '\0')));
  peerA.Send(ServerCommand(130, 2, std::string(40, '\0')));
  EXPECT_TRUE(a.WaitForCommand(130, milliseconds(2000)));
  EXPECT_EQ(b.Session().QueuedCommands(), 1u);  // no longer pumped along with a
}

}  // namespace
}  // namespace vh::client
