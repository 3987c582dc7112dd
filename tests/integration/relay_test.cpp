// Voice relay end to end: real clients speak and listen through a real virtual server.
// Absence is proven with a later voice of the same speaker: one connection's voice queue is
// first in, first out, so the first voice a listener gets shows what came before it.
#include <gtest/gtest.h>

#include <thread>

#include "PlayerWorld.h"
#include "model/ModelLock.h"
#include "transport/ConnectionTable.h"
#include "vserver/Notifier.h"

namespace vh::test {
namespace {

using client::TProtocolClient;
using client::TWhisperTarget;

void Configure(THostPolicy& s) {
  s.SpamMaxCommands = 1000;  // the tests send requests faster than any player would
}

std::string NextVoiceData(TProtocolClient& c) {
  auto v = c.WaitForVoice(3s);
  return v ? v->data : "<none>";
}

void Whisper(TProtocolClient& from, const std::vector<TWhisperTarget>& targets,
             std::string_view data) {
  from.SendVoice(1, 0, from.NextVoiceCounter(), 0, client::BuildWhisperPayload(targets, data));
}

TEST(Relay, OwnChannelCarriesTheHeaderAndHonoursFlagsAndMutes) {
  TServerHarness h(Configure);
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  auto carol = h.Join("carol");
  ASSERT_TRUE(alice && bob && carol);

  alice->SendVoice(0, 7, 500, 0x1234, "hello");
  auto v = bob->WaitForVoice(3s);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->selector, 0);
  EXPECT_EQ(v->dataByte, 7);
  EXPECT_EQ(v->dataWord, 0x1234);
  EXPECT_EQ(v->playerId, bob->PlayerId());
  EXPECT_EQ(v->connectionId, bob->ConnectionId());
  EXPECT_EQ(v->speakerId, alice->PlayerId());
  EXPECT_EQ(v->speakerCounter, 500);
  EXPECT_EQ(v->data, "hello");
  alice->SendVoice(0, 7, 900, 0, "again");
  auto v2 = bob->WaitForVoice(3s);
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->speakerCounter, 900);
  EXPECT_EQ(v2->counter, static_cast<uint16_t>(v->counter + 1));  // bob's own count

  EXPECT_EQ(NextVoiceData(*carol), "hello");
  EXPECT_EQ(NextVoiceData(*carol), "again");

  // Carol hears nothing at all; bob refuses whispers but still hears his channel.
  ASSERT_EQ(Refusal(*carol, 304, TPayload().U16(PF_HEARS_NOTHING)), 0);
  ASSERT_EQ(Refusal(*bob, 304, TPayload().U16(PF_REFUSES_WHISPERS)), 0);
  Whisper(*alice, {{1, bob->PlayerId()}, {1, carol->PlayerId()}}, "psst");
  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, "open");
  EXPECT_EQ(NextVoiceData(*bob), "open");

  // A mute holds until it is lifted; the replies tell whether the list changed.
  auto mute = [&](uint8_t op) {
    bob->SendCommand(320, TPayload().I32(static_cast<int32_t>(alice->PlayerId())).U8(op));
    auto r = WaitFor(*bob, 321);
    EXPECT_TRUE(r && r->Size() == 29 && r->LongAt(24) == alice->PlayerId());
    return r ? r->ByteAt(28) : -1;
  };
  EXPECT_EQ(mute(1), 1);
  EXPECT_EQ(mute(1), 0);
  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, "muted");
  ASSERT_EQ(Refusal(*alice, 405, {}), 0);  // the voice was handled before the unmute
  EXPECT_EQ(mute(0), 0);
  EXPECT_EQ(mute(0), 1);
  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, "heard");
  EXPECT_EQ(NextVoiceData(*bob), "heard");

  EXPECT_TRUE(carol->DrainFor(100ms).voice.empty());
  EXPECT_TRUE(alice->DrainFor(0ms).voice.empty());  // nobody hears himself
}

TEST(Relay, VoiceSpokenWhileTheModelIsBusyArrivesOnceItIsFreeInOrder) {
  TServerHarness h(Configure);
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  ASSERT_TRUE(alice && bob);
  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, "free");  // relayed on arrival
  EXPECT_EQ(NextVoiceData(*bob), "free");

  const auto& in = h.Server().PacketBuffer()->Counters()->datagramsIn;
  {
    // As a listener busy with a login would: the receive thread cannot relay now.
    TModelLock busy(*h.Server().Clients(), *h.Server().Channels());
    const uint64_t before = TTrafficCounters::Read(in);
    for (const char* word : {"one", "two", "three"})
      alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, word);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (TTrafficCounters::Read(in) < before + 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    ASSERT_GE(TTrafficCounters::Read(in), before + 3);
  }
  EXPECT_EQ(NextVoiceData(*bob), "one");
  EXPECT_EQ(NextVoiceData(*bob), "two");
  EXPECT_EQ(NextVoiceData(*bob), "three");
}

TEST(Relay, ModeratedChannelsAndTheParentSelector) {
  TServerHarness h(Configure);
  const int32_t moderated = AddChannel(h.Server(), "Stage", CF_MODERATED);
  const int32_t parent = AddChannel(h.Server(), "Hall", CF_HIERARCHICAL);
  const int32_t sub = AddChannel(h.Server(), "Corner", 0, parent);
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  auto root = h.Join("root", "root", "secret");
  auto alice = h.Join("alice", "", "", "Stage");
  auto bob = h.Join("bob", "", "", "Stage");
  ASSERT_TRUE(root && alice && bob && sub > 0);
  ASSERT_EQ(ChannelOf(h.Server(), alice->PlayerId()), moderated);

  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, "unvoiced");
  ASSERT_EQ(Refusal(*alice, 405, {}), 0);  // handled before she gets voice
  ASSERT_EQ(
      Refusal(*root, 306, TPayload().I32(static_cast<int32_t>(alice->PlayerId())).U8(0).U8(2)), 0);
  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, "voiced");
  EXPECT_EQ(NextVoiceData(*bob), "voiced");

  // Both move to the sub-channel; selector 2 reaches the own channel while the parent
  // lets the speaker talk, and nobody once the parent is moderated.
  ASSERT_EQ(Refusal(*alice, 303, TPayload().I32(sub).Name29("")), 0);
  ASSERT_EQ(Refusal(*bob, 303, TPayload().I32(sub).Name29("")), 0);
  alice->SendVoice(2, 0, alice->NextVoiceCounter(), 0, "to parent");
  auto v = bob->WaitForVoice(3s);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->selector, 2);
  EXPECT_EQ(v->data, "to parent");
  WithModel(h.Server(),
            [&](TClients&, TChannels& t) { t.GetChannel(parent)->Flags |= CF_MODERATED; });
  alice->SendVoice(2, 0, alice->NextVoiceCounter(), 0, "silenced");
  alice->SendVoice(0, 0, alice->NextVoiceCounter(), 0, "own");
  EXPECT_EQ(NextVoiceData(*bob), "own");

  // A top-level channel has no parent: the voice is dropped with a warning.
  root->SendVoice(2, 0, root->NextVoiceCounter(), 0, "nowhere");
  ASSERT_EQ(Refusal(*root, 405, {}), 0);  // the voice was handled before this
  EXPECT_TRUE(h.Log().Contains("unable to get parentchannel"));
}

TEST(Relay, WhisperListsReachPlayersAndChannels) {
  TServerHarness h(Configure);
  const int32_t side = AddChannel(h.Server(), "Side");
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  auto carol = h.Join("carol", "", "", "Side");
  ASSERT_TRUE(alice && bob && carol);

  const std::string data(100, 'w');
  const std::string payload = client::BuildWhisperPayload(
      {{1, bob->PlayerId()}, {0, static_cast<uint32_t>(side)}, {1, bob->PlayerId()}}, data);
  ASSERT_EQ(kClientVoiceHeaderSize + payload.size(), 132u);
  alice->SendVoice(1, 0, alice->NextVoiceCounter(), 0, payload);
  auto v = bob->WaitForVoice(3s);  // once, though named twice ("after" below is his next)
  ASSERT_TRUE(v);
  EXPECT_EQ(v->selector, 1);  // reached as a named player
  EXPECT_EQ(kServerVoiceHeaderSize + v->data.size(), 122u);
  auto c = carol->WaitForVoice(3s);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->selector, 0);  // reached through the channel
  EXPECT_EQ(c->data, data);

  // Himself, missing ids and a target list longer than the datagram reach nobody.
  Whisper(*alice, {{1, alice->PlayerId()}, {1, 999}, {0, 999}}, "lost");
  std::string cut = client::BuildWhisperPayload({{1, bob->PlayerId()}}, "");
  cut[0] = 5;
  alice->SendVoice(1, 0, alice->NextVoiceCounter(), 0, cut);
  Whisper(*alice, {{1, bob->PlayerId()}}, "after");
  EXPECT_EQ(NextVoiceData(*bob), "after");
  EXPECT_TRUE(alice->DrainFor(0ms).voice.empty());

  // On a public server a channel target must be the speaker's sibling or parent.
  h.Server().ServerFlags().store(SF_PUBLIC);
  const int32_t hall = AddChannel(h.Server(), "Hall", CF_HIERARCHICAL);
  const int32_t nook = AddChannel(h.Server(), "Nook", 0, hall);
  ASSERT_EQ(Refusal(*alice, 303, TPayload().I32(nook).Name29("")), 0);
  ASSERT_EQ(Refusal(*bob, 303, TPayload().I32(hall).Name29("")), 0);
  Whisper(*alice, {{0, static_cast<uint32_t>(side)}, {0, static_cast<uint32_t>(hall)}}, "near");
  EXPECT_EQ(NextVoiceData(*bob), "near");
  Whisper(*alice, {{1, carol->PlayerId()}}, "direct");
  EXPECT_EQ(NextVoiceData(*carol), "direct");
}

}  // namespace
}  // namespace vh::test
