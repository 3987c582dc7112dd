// Both address families against a real virtual server listening on every address: players
// on ::1 and 127.0.0.1 together, IPv6 bans, and (inside a network namespace of its own, as
// root) the login limits of several addresses of one /64 and the cut address field of 404.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "PlayerWorld.h"
#include "common/ResultCodes.h"
#include "model/BanMatch.h"
#include "transport/ConnectionTable.h"

namespace vh::test {
namespace {

using client::TProtocolClient;

bool HasIPv6Loopback() {
  std::ifstream in("/proc/net/if_inet6");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("00000000000000000000000000000001", 0) == 0) return true;
  return false;
}

// A server on every address of both families.
std::unique_ptr<TServerHarness> DualStackServer() {
  return std::make_unique<TServerHarness>([](THostPolicy& s) { s.SpamMaxCommands = 1000; }, nullptr,
                                          std::vector<std::string>{});
}

std::vector<TBanEntry> ServerBans(TServerObject& server) {
  TLockGuard lock(server.BansLock());
  return BanEntriesFrom(server.Bans());
}

int32_t LoginResult(TServerHarness& h, const std::string& nickname) {
  auto c = h.NewClient();
  client::TLoginOptions o;
  o.nickname = nickname;
  auto reply = c->Login(o, 3s);
  return reply ? reply->result : 1000;
}

std::unique_ptr<TProtocolClient> JoinAdmin(TServerHarness& h) {
  h.AddAccount("boss", "pw", PP_SERVER_ADMIN);
  return h.Join("boss", "boss", "pw");
}

TEST(DualStack, PlayersOnBothFamiliesHearEachOtherInOneChannel) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this host has no IPv6 loopback (::1)";
  auto h = DualStackServer();
  auto four = h->Join("four");
  h->SetClientHost("::1");
  auto six = h->Join("six");
  ASSERT_TRUE(four && six);

  four->SendVoice(0, 0, four->NextVoiceCounter(), 0, "over IPv4");
  auto heard = six->WaitForVoice(3s);
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->data, "over IPv4");
  six->SendVoice(0, 0, six->NextVoiceCounter(), 0, "over IPv6");
  heard = four->WaitForVoice(3s);
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->data, "over IPv6");

  // The IPv4 player keeps his dotted address (not ::ffff:127.0.0.1).
  TCustomPacketBuffer& table = *h->Server().PacketBuffer();
  EXPECT_EQ(table.LoginAddress(four->PlayerId()), "127.0.0.1");
  EXPECT_EQ(table.LoginAddress(six->PlayerId()), "::1");
}

TEST(DualStack, IPv6BansByAddressAndPrefixAtLoginAndForAConnectedPlayer) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this host has no IPv6 loopback (::1)";
  auto h = DualStackServer();
  auto boss = JoinAdmin(*h);
  ASSERT_TRUE(boss);

  // A malformed IPv6 pattern is refused; a ban of ::1 (any spelling) refuses ::1 alone.
  EXPECT_EQ(Refusal(*boss, 324, TPayload().U16(0).Text("::1::")), RC_BAD_ARGUMENT);
  EXPECT_EQ(Refusal(*boss, 324, TPayload().U16(0).Text("0:0::0001")), 0);
  ASSERT_EQ(ServerBans(h->Server()).size(), 1u);
  EXPECT_EQ(ServerBans(h->Server())[0].Pattern, "::1");
  h->SetClientHost("::1");
  EXPECT_EQ(LoginResult(*h, "six"), -6);
  h->SetClientHost("127.0.0.1");
  EXPECT_EQ(LoginResult(*h, "four"), 1);
  EXPECT_EQ(Refusal(*boss, 326, TPayload().Text("::0:1")), 0);
  EXPECT_TRUE(ServerBans(h->Server()).empty());

  // A prefix holding ::1.
  EXPECT_EQ(Refusal(*boss, 324, TPayload().U16(10).Text("::/120")), 0);
  h->SetClientHost("::1");
  EXPECT_EQ(LoginResult(*h, "six"), -6);
  EXPECT_EQ(Refusal(*boss, 326, TPayload().Text("::/120")), 0);

  // A connected IPv6 player: his /64 is banned and he is removed.
  auto six = h->Join("six");
  ASSERT_TRUE(six);
  EXPECT_EQ(
      Refusal(*boss, 325, TPayload().I32(static_cast<int32_t>(six->PlayerId())).U16(5).Name29("")),
      0);
  auto left = WaitFor(*six, 101, [&](const TPacket& q) { return q.LongAt(24) == six->PlayerId(); });
  EXPECT_TRUE(left);
  const auto bans = ServerBans(h->Server());
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].Pattern, "::/64");
  EXPECT_EQ(LoginResult(*h, "again"), -6);
}

// Runs a command in this thread's network namespace; false when it failed.
bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Moves this process into a fresh network namespace with lo up and the given addresses on
// it; empty when that is not possible here, else the reason to skip.
std::string PrivateNetwork(const std::vector<std::string>& addresses) {
  if (::geteuid() != 0) return "needs root for a network namespace of its own";
  if (::unshare(CLONE_NEWNET) != 0) return "unshare(CLONE_NEWNET) refused";
  if (!Run("ip link set lo up")) return "the ip command is missing or failed";
  for (const std::string& a : addresses)
    if (!Run("ip -6 addr add " + a + "/64 dev lo nodad")) return "cannot add " + a;
  return {};
}

TEST(DualStackNamespace, LoginLimitsCountAnIPv6HostByItsSlash64) {
  const std::string prefix = "2001:db8:aaaa:bbbb:";
  std::vector<std::string> addresses;
  for (int i = 1; i <= 5; ++i) addresses.push_back(prefix + "cccc:dddd:eeee:" + std::to_string(i));
  addresses.push_back("2001:db8:aaaa:cccc::1");  // another /64
  if (const std::string why = PrivateNetwork(addresses); !why.empty()) GTEST_SKIP() << why;

  auto h = DualStackServer();
  h->Server().PacketBuffer()->SetLoginLimits(TLoginLimits{});  // no test-only port sources
  h->EditSettings([](TVirtualServerSettings& s) { s.MaxUsers = 20; });
  // Five logins from five addresses of one /64, none of which joins: the source's limit of
  // four pending logins refuses the fifth, as it would from one address.
  std::vector<std::unique_ptr<TProtocolClient>> pending;
  std::vector<int32_t> results;
  for (int i = 0; i < 5; ++i) {
    h->SetClientHost(addresses[i]);
    pending.push_back(h->NewClient());
    client::TLoginOptions o;
    o.nickname = "half" + std::to_string(i);
    auto reply = pending.back()->Login(o, 3s);
    ASSERT_TRUE(reply) << addresses[i];
    results.push_back(reply->result);
  }
  EXPECT_EQ(results, (std::vector<int32_t>{1, 1, 1, 1, -2}));
  // The next /64 is somebody else.
  h->SetClientHost(addresses[5]);
  auto boss = JoinAdmin(*h);
  ASSERT_TRUE(boss);

  // The 29-character address field of 404 cannot hold a full IPv6 address: the longest
  // prefix that fits, marked, and the whole address in the log.
  boss->SendCommand(400, TPayload().I32(static_cast<int32_t>(pending[0]->PlayerId())));
  auto info = WaitFor(*boss, 404);
  ASSERT_TRUE(info && info->Size() >= 96);
  info->SetPosition(64);
  std::string shown;
  ASSERT_TRUE(info->ReadShortString(29, shown));
  EXPECT_EQ(shown, "2001:db8:aaaa:bbbb:cccc:dddd*");
  EXPECT_TRUE(h->Log().Contains("]: address " + addresses[0]));
}

}  // namespace
}  // namespace vh::test
