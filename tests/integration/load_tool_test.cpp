// voxhollow-load against a real server: its players log in, take their seats in the channels
// the tool creates, and every copy of every voice packet is counted once.
#include <gtest/gtest.h>

#include "ServerHarness.h"
#include "load/LoadRun.h"

namespace vh::test {
namespace {

TEST(LoadTool, PlayersSitInTheirChannelsAndHearEachOthersVoiceOnce) {
  TServerHarness harness;
  harness.SourcesByPort();
  load::TLoadOptions o;
  o.port = harness.Port();
  o.players = 6;
  o.speakers = 2;
  o.channels = 2;
  o.rate = 20;
  o.seconds = 1;
  load::TLoadReport r;
  std::string error;
  ASSERT_TRUE(load::RunLoad(o, r, error)) << error;
  EXPECT_EQ(r.loggedIn, 6);
  EXPECT_EQ(r.loginFailures, 0);
  EXPECT_GT(r.voiceSent, 0u);
  // Three players a channel: each packet is heard by the other two of the speaker's channel
  // only; a player in the wrong channel would change the count.
  EXPECT_EQ(r.expected, 2 * r.voiceSent);
  EXPECT_EQ(r.delivered, r.expected);
  EXPECT_GT(r.p50Ms, 0);
  EXPECT_LE(r.p50Ms, r.p99Ms);

  o.speakers = 7;
  EXPECT_FALSE(load::RunLoad(o, r, error));
  EXPECT_EQ(error, "speakers must be 0 to players");
}

}  // namespace
}  // namespace vh::test
