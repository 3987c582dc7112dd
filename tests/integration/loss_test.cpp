// Sessions through a relay that loses, duplicates and reorders datagrams in both directions:
// logins, joins, channel switches, text messages and channel edits all complete, each exactly
// once. And the lost-login-reply trap: a half-made session's commands at the client's own
// address and port must not break the session the client really gets.
#include <gtest/gtest.h>

#include "ImpairmentProxy.h"
#include "PlayerWorld.h"
#include "common/Mutex.h"
#include "model/ClientRecord.h"
#include "support/Process.h"

namespace vh::test {
namespace {

using client::TClientGroup;
using client::TProtocolClient;

void Configure(THostPolicy& s) {
  s.SpamMaxCommands = 100000;  // bursts of requests faster than any player would send
}

std::unique_ptr<TProtocolClient> JoinThrough(TImpairmentProxy& proxy, TClientGroup& group,
                                             const std::string& nick, const std::string& login = {},
                                             const std::string& password = {}) {
  auto c = std::make_unique<TProtocolClient>();
  if (!c->Connect("127.0.0.1", proxy.Port())) return nullptr;
  group.Add(*c);
  client::TLoginOptions o;
  o.nickname = nick;
  o.registered = !login.empty();
  o.loginName = login;
  o.password = password;
  auto reply = c->LoginPersistently(o, 20s);
  if (!reply || reply->result != 1) return nullptr;
  if (!c->Join({}, 10s).complete) return nullptr;
  return c;
}

// Pumps until `done` holds; false after `timeout`.
bool PumpUntil(TProtocolClient& c, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    c.Pump(20ms);
  }
  return true;
}

struct TSeen {
  int switches = 0;                 // 103 about the actor
  std::vector<int32_t> texts;       // values of 130, in arrival order
  std::vector<std::string> topics;  // 112 texts, in arrival order
};

void Collect(TProtocolClient& observer, uint32_t actor, TSeen& seen) {
  while (auto p = observer.Session().TakeAnyCommand()) {
    if (p->CommandNumber() == 103 && p->LongAt(24) == actor) ++seen.switches;
    if (p->CommandNumber() == 130)
      if (auto m = client::ParseTextMessage(*p)) seen.texts.push_back(m->value);
    if (p->CommandNumber() == 112)
      if (auto t = client::ParseChannelText(*p)) seen.topics.push_back(t->text);
  }
}

void RunProfile(const TImpairment& profile, int operations) {
  TServerHarness h(Configure);
  const int32_t side = AddChannel(h.Server(), "Side");
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  TImpairmentProxy proxy(h.Port(), profile);
  TClientGroup group;
  auto actor = JoinThrough(proxy, group, "root", "root", "secret");
  ASSERT_TRUE(actor);
  auto observer = JoinThrough(proxy, group, "observer");
  ASSERT_TRUE(observer);
  const int32_t lobby = ChannelOf(h.Server(), actor->PlayerId());
  const uint32_t actorId = actor->PlayerId();
  TSeen seen;
  auto observed = [&](const std::function<bool()>& done) {
    return PumpUntil(*actor, [&] {
      Collect(*observer, actorId, seen);
      while (actor->Session().TakeAnyCommand()) {
      }
      return done();
    });
  };

  // In batches, so that no queue on the way grows without bound.
  constexpr int kBatch = 25;
  for (int i = 0; i < operations; i += kBatch) {
    for (int k = i; k < std::min(operations, i + kBatch); ++k) {
      actor->SendCommand(303, TPayload().I32(k % 2 == 0 ? side : lobby).Name29(""));
      actor->SendCommand(430, TPayload()
                                  .I32(k)
                                  .U8(2)
                                  .I32(static_cast<int32_t>(observer->PlayerId()))
                                  .Text("text " + std::to_string(k)));
      if (k % 4 == 0)
        actor->SendCommand(207, TPayload().I32(side).Text("topic " + std::to_string(k)));
    }
    const int upTo = std::min(operations, i + kBatch);
    ASSERT_TRUE(observed([&] {
      return seen.switches >= upTo && static_cast<int>(seen.texts.size()) >= upTo;
    })) << "after "
        << i << ": " << seen.switches << " switches, " << seen.texts.size() << " texts";
  }
  const int edits = (operations + 3) / 4;
  ASSERT_TRUE(observed([&] { return static_cast<int>(seen.topics.size()) >= edits; }));
  ASSERT_TRUE(actor->WaitUntilAcknowledged(30s));
  // Late duplicates would show up now.
  observer->DrainFor(300ms);
  Collect(*observer, actorId, seen);

  EXPECT_EQ(seen.switches, operations);
  std::vector<int32_t> expected(static_cast<size_t>(operations));
  for (int k = 0; k < operations; ++k) expected[static_cast<size_t>(k)] = k;
  EXPECT_EQ(seen.texts, expected);
  ASSERT_EQ(static_cast<int>(seen.topics.size()), edits);
  EXPECT_EQ(seen.topics.back(), "topic " + std::to_string((edits - 1) * 4));
  EXPECT_EQ(ChannelOf(h.Server(), actorId), operations % 2 ? side : lobby);
  EXPECT_GT(proxy.Dropped(), 0u);
  if (profile.reorder > 0) {
    EXPECT_GT(proxy.Delayed(), 0u);
  }
}

// 100 operations rather than 200: at 30% loss each way the run takes about 9 s per hundred.
TEST(Loss, ThirtyPercentLossBothWays) {
  RunProfile({0.30, 0, 0, 30}, 100);
}

TEST(Loss, TenPercentLossFivePercentDuplicatesQuarterReordered) {
  RunProfile({0.10, 0.05, 0.25, 1025}, 200);
}

// The login reply is lost. While the server keeps that half-made session, it sends it
// commands (an administrator's channel edit goes to every player) at the client's address
// and port. The client's repeated login must still end in a working session.
TEST(Loss, ALostLoginReplyLeavesNoTrapForTheRealSession) {
  TServerHarness h(Configure);
  const int32_t side = AddChannel(h.Server(), "Side");
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  TImpairmentProxy proxy(h.Port(), {});
  TClientGroup group;
  auto admin = JoinThrough(proxy, group, "root", "root", "secret");
  ASSERT_TRUE(admin);

  auto late = std::make_unique<TProtocolClient>();
  ASSERT_TRUE(late->Connect("127.0.0.1", proxy.Port()));
  group.Add(*late);
  proxy.DropToClient([](std::string_view d) {
    return d.size() >= 4 && static_cast<uint8_t>(d[0]) == 0xF4 &&
           static_cast<uint8_t>(d[1]) == 0xBE && d[2] == 4 && d[3] == 0;
  });
  client::TLoginOptions o;
  o.nickname = "late";
  late->SendLogin(o);
  // The half-made session exists; the edit reaches it too.
  ASSERT_TRUE(WaitUntil(
      [&] {
        TLockGuard registry(h.Server().Clients()->Mutex());
        return h.Server().Clients()->GetClientByNickName("late") != nullptr;
      },
      3000ms));
  for (int i = 0; i < 3; ++i)
    admin->SendCommand(207, TPayload().I32(side).Text("topic " + std::to_string(i)));
  ASSERT_TRUE(PumpUntil(
      *late, [&] { return late->Stats().foreign >= 3; }, 5s));
  EXPECT_FALSE(late->Session().TakeLoginReply());

  auto reply = late->LoginPersistently(o, 10s);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->result, 1);
  ASSERT_TRUE(late->Join({}, 5s).complete);
  admin->SendCommand(207, TPayload().I32(side).Text("after"));
  auto topic = WaitFor(*late, 112);
  ASSERT_TRUE(topic);
  EXPECT_EQ(client::ParseChannelText(*topic)->text, "after");
}

}  // namespace
}  // namespace vh::test
