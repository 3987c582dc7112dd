// Hostile datagrams against a running virtual server: random login requests, random commands
// and voice from a logged-in server admin. The server must keep answering, never crash (the
// sanitizer builds run this too) and never log an exception.
#include <gtest/gtest.h>

#include <random>

#include "ServerHarness.h"
#include "model/ClientRecord.h"
#include "vserver/Listener.h"

namespace vh::test {
namespace {

bool ListenerAlive(TServerObject& server) {
  TListenerRequest r;
  r.Type = TListenerRequestKind::CheckAlive;
  return server.ExecuteRequest(r, 3000).ResultCode == 815;
}

// Hostile input gets its defined answer or is dropped; it never ends an operation with an
// exception (which the log would show as "<operation> Exception: <class>.<message>").
void ExpectNoExceptionLogged(TServerHarness& h) {
  for (const std::string& line : h.Log().Lines())
    EXPECT_EQ(line.find(" Exception: "), std::string::npos) << line;
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST(HostileInput, RandomLoginRequestsAreAnsweredOrDropped) {
  TServerHarness h;
  // Well-sized random requests may log in; room for all of them keeps the check below honest.
  h.EditSettings([](TVirtualServerSettings& s) { s.MaxUsers = 1000; });
  std::mt19937 rng(1234);
  auto c = h.NewClient();
  for (int i = 0; i < 300; ++i) {
    const int32_t size = static_cast<int32_t>(rng() % 400);
    auto p = NewConnectionPacket(kConnLoginRequest, 0, 0, static_cast<uint32_t>(i + 1));
    p->SetSize(std::max<int32_t>(size, kConnectionHeaderSize));
    std::string noise = RandomBytes(rng, static_cast<size_t>(p->Size() - kConnectionHeaderSize));
    std::copy(noise.begin(), noise.end(), p->Memory() + kConnectionHeaderSize);
    if (i % 3 == 0 && p->Size() >= 180) {
      p->SetSize(180);  // a well-sized request with random names, modes and versions
    }
    p->SetCRC();
    c->SendRaw(p->Bytes());
    if (i % 7 == 0) c->SendRaw(RandomBytes(rng, rng() % 64));  // not even a packet
  }
  c->DrainFor(200ms);
  EXPECT_TRUE(ListenerAlive(h.Server()));
  auto fine = h.Join("afterwards");
  EXPECT_TRUE(fine);
  ExpectNoExceptionLogged(h);
}

TEST(HostileInput, RandomCommandsAndVoiceFromAServerAdmin) {
  TServerHarness h([](THostPolicy& s) { s.SpamMaxCommands = 1000000; });
  h.AddAccount("root", "pw", PP_SERVER_ADMIN);
  auto admin = h.Join("root", "root", "pw");
  ASSERT_TRUE(admin);
  auto other = h.Join("other");
  ASSERT_TRUE(other);
  std::mt19937 rng(99);
  std::vector<uint16_t> numbers;
  for (const auto& e : TVHUDPListener::kCommandTable) numbers.push_back(e.number);
  for (uint16_t extra : {0, 1, 5, 6, 202, 999, 65535}) numbers.push_back(extra);
  for (int i = 0; i < 600; ++i) {
    const uint16_t number = numbers[rng() % numbers.size()];
    // Quitting would end the run early; banning the players' own address (325) would refuse
    // the login that checks the server afterwards.
    if (number == 300 || number == 325) continue;
    std::string payload = RandomBytes(rng, rng() % 120);
    // Keep ids small now and then, so requests hit real players and channels.
    if (payload.size() >= 4 && rng() % 2) {
      payload[0] = static_cast<char>(rng() % 4);
      payload[1] = payload[2] = payload[3] = 0;
    }
    admin->SendCommand(number, payload);
    if (i % 5 == 0)
      admin->SendVoice(static_cast<uint8_t>(rng() % 4), 0, admin->NextVoiceCounter(), 0,
                       RandomBytes(rng, rng() % 300));
    if (i % 20 == 0) {
      admin->Pump(5ms);
      other->Pump(0ms);
    }
  }
  admin->DrainFor(300ms);
  EXPECT_TRUE(ListenerAlive(h.Server()));
  auto late = h.NewClient();
  client::TLoginOptions o;
  o.nickname = "still-serving";
  auto reply = late->Login(o, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 1) << reply->text;
  ExpectNoExceptionLogged(h);
}

}  // namespace
}  // namespace vh::test
