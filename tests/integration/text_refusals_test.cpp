// Control characters in nicknames, channel texts and login names are refused where they enter
// the server: at the login, and by the requests that create or rename channels and register
// accounts. Quotes and backslashes are ordinary characters and pass.
#include <gtest/gtest.h>

#include "PlayerWorld.h"
#include "common/Mutex.h"
#include "common/Strings.h"
#include "model/Permissions.h"
#include "storage/CustomStorage.h"

namespace vh::test {
namespace {

using client::TProtocolClient;

void Configure(THostPolicy& s) {
  s.SpamMaxCommands = 1000;
}

const char* const kControls[] = {"x\r\nOK", "tab\there", "bell\a", "esc\x1b[2J", "del\x7f"};

TPayload CreateChannel(const std::string& name, const std::string& topic = "topic",
                       const std::string& description = "about") {
  return std::move(TPayload()
                       .I32(0)
                       .U16(0)
                       .U16(1)
                       .I32(-1)
                       .U16(7)
                       .U16(20)
                       .Text(name)
                       .Text(topic)
                       .Text(description)
                       .Text(""));
}

TEST(TextRefusals, LoginRefusesControlCharactersInNicknamesAndLoginNames) {
  TServerHarness h(Configure);
  h.AddAccount("carol", "pw");
  for (const char* nick : kControls) {
    SCOPED_TRACE(PrintableSample(nick));
    auto c = h.NewClient();
    client::TLoginOptions o;
    o.nickname = nick;
    auto reply = c->Login(o, 3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, -1);
    EXPECT_EQ(reply->text.rfind("Your nickname contains the following invalid characters \"", 0),
              0u)
        << reply->text;
    EXPECT_FALSE(HasControlChars(reply->text)) << reply->text;
  }
  auto c = h.NewClient();
  client::TLoginOptions o;
  o.nickname = "carol";
  o.registered = true;
  o.loginName = "car\x01ol";
  o.password = "pw";
  auto reply = c->Login(o, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, -21);
  // Quotes and backslashes are no control characters.
  EXPECT_TRUE(h.Join("say \"hi\" \\o/"));
  TLockGuard registry(h.Server().Clients()->Mutex());
  EXPECT_EQ(h.Server().Clients()->Count(), 1u);
}

TEST(TextRefusals, ChannelTextsAndRegistrationsRefuseControlCharacters) {
  TServerHarness h(Configure);
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  auto root = h.Join("boss", "root", "secret");
  ASSERT_TRUE(root);
  const int32_t lobby = ChannelOf(h.Server(), root->PlayerId());
  for (const char* bad : kControls) {
    SCOPED_TRACE(PrintableSample(bad));
    EXPECT_EQ(Refusal(*root, 201, CreateChannel(bad)), -107);
    EXPECT_EQ(Refusal(*root, 201, CreateChannel("fine", bad)), -107);
    EXPECT_EQ(Refusal(*root, 201, CreateChannel("fine", "topic", bad)), -107);
    for (uint16_t edit : {206, 207, 208})
      EXPECT_EQ(Refusal(*root, edit, TPayload().I32(lobby).Text(bad)), -107) << edit;
    EXPECT_EQ(Refusal(*root, 310, TPayload().Name29(bad).Name29("pw").U8(0)), -107);
  }
  WithModel(h.Server(), [&](TClients&, TChannels& tree) {
    EXPECT_EQ(tree.Count(), 1u);
    EXPECT_EQ(tree.GetChannel(lobby)->Name, "Default");
  });
  {
    // The script holds the storage lock while it lives.
    TStorageScript q(h.Storage(), "read_clients.sql");
    q.SetInteger(":iServerID", h.Server().ServerID());
    auto rows = q.Open();
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->Count(), 1u);  // root alone
  }

  auto guest = h.Join("guest");
  ASSERT_TRUE(guest);
  EditPlayer(h.Server(), guest->PlayerId(),
             [](TClientRecord& p) { p.PlayerPrivileges |= PP_ALLOWED_TO_REGISTER; });
  EXPECT_EQ(Refusal(*guest, 308, TPayload().Name29("gu\nest").Name29("pw")), -107);
  EXPECT_EQ(Refusal(*guest, 308, TPayload().Name29("gu\"e\\st").Name29("pw")), 0);
  EXPECT_EQ(Refusal(*root, 206, TPayload().I32(lobby).Text("Lobby \"1\" \\")), 0);
}

}  // namespace
}  // namespace vh::test
