#include "model/Clients.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

#include "common/ResultCodes.h"
#include "model/ClientRecord.h"
#include "model/ModelFixture.h"

namespace vh::test {
namespace {

TClientRecordPtr Player(uint32_t id, const std::string& nick, const std::string& login = "") {
  TClientRecordPtr r = TClients::NewClient();
  r->PlayerID = id;
  r->NickName = nick;
  r->LoginName = login;
  if (!login.empty()) r->PlayerPrivileges = PP_REGISTERED;
  return r;
}

class RegistryTest : public ModelTest {
 protected:
  TClients clients_{3, nullptr};
};

TEST_F(RegistryTest, LookupsAreExactAndIgnoreAnonymousLoginNames) {
  ASSERT_TRUE(clients_.AddClient(Player(1, "Alice")));
  ASSERT_TRUE(clients_.AddClient(Player(2, "alice", "Bob")));
  EXPECT_EQ(clients_.GetClientByNickName("alice")->PlayerID, 2u);
  EXPECT_EQ(clients_.GetClientByNickName("Alice")->PlayerID, 1u);
  EXPECT_EQ(clients_.GetClientByNickName("ALICE"), nullptr);
  EXPECT_EQ(clients_.GetClientByID(2)->NickName, "alice");

  // Player 1 is anonymous: his empty login name must not make "" count as logged in.
  EXPECT_FALSE(clients_.isLoggedIn(""));
  EXPECT_TRUE(clients_.isLoggedIn("Bob"));
  EXPECT_FALSE(clients_.isLoggedIn("bob"));
  // A login name on an anonymous record is no account's: it locks nobody out.
  TClientRecordPtr typed = Player(3, "carl", "Carl");
  typed->PlayerPrivileges = 0;
  ASSERT_TRUE(clients_.AddClient(std::move(typed)));
  EXPECT_FALSE(clients_.isLoggedIn("Carl"));

  // A second record under a taken id is refused (and freed); the first one stays.
  EXPECT_FALSE(clients_.AddClient(Player(1, "Twin")));
  EXPECT_EQ(clients_.Count(), 3u);
  EXPECT_EQ(clients_.GetClientByID(1)->NickName, "Alice");
  EXPECT_TRUE(log_->Contains("SID: 3 AddClient Exception: EHashList.Item nr 1 already exists"));

  TClientRecord* first = clients_.GetClientByID(1);
  TClientRecordPtr taken = clients_.DeleteClient(first);
  EXPECT_EQ(taken.get(), first);
  EXPECT_EQ(clients_.GetClientByID(1), nullptr);
  EXPECT_EQ(clients_.GetClientByNickName("Alice"), nullptr);
  EXPECT_EQ(clients_.DeleteClient(first), nullptr) << "only one owner can take it out";
}

TEST_F(RegistryTest, PlayerAndConnectionIds) {
  EXPECT_EQ(clients_.GetNewPlayerID(), 1u);
  EXPECT_EQ(clients_.GetNewPlayerID(), 2u);
  EXPECT_EQ(clients_.GetNewPlayerID(), 3u);
  clients_.ResetPlayerID();
  EXPECT_EQ(clients_.GetNewPlayerID(), 1u);

  std::set<uint32_t> seen;
  for (int i = 0; i < 200; ++i) {
    uint32_t id = clients_.GetNewConnectionID();
    ASSERT_LT(id, kConnectionIDLimit);
    ASSERT_NE(id, 0u);
    seen.insert(id);
  }
  EXPECT_GT(seen.size(), 190u);  // drawn at random, not counted up or repeated
}

TEST_F(RegistryTest, MuteListAnswers) {
  TClientRecordPtr owner = TClients::NewClient();
  TClientRecord* r = owner.get();
  EXPECT_TRUE(TClients::AddToPlayerMuteList(r, 7));
  EXPECT_FALSE(TClients::AddToPlayerMuteList(r, 7));
  EXPECT_TRUE(TClients::IsInPlayerMuteList(r, 7));
  EXPECT_FALSE(TClients::IsInPlayerMuteList(r, 8));
  EXPECT_TRUE(TClients::RemoveFromPlayerMuteList(r, 8));   // was not there
  EXPECT_FALSE(TClients::RemoveFromPlayerMuteList(r, 7));  // was there, now gone
  EXPECT_FALSE(TClients::IsInPlayerMuteList(r, 7));
  EXPECT_FALSE(TClients::AddToPlayerMuteList(nullptr, 7));
  EXPECT_FALSE(TClients::IsInPlayerMuteList(nullptr, 7));
}

TEST(PlayerBlock, WireLayoutAndHostileLengths) {
  TClientRecord r;
  r.PlayerID = 0x01020304;
  r.ChannelID = -1;
  r.ChannelPrivileges = 0x0A0B;
  r.PlayerPrivileges = 0x0C0D;
  r.PlayerFlags = 0x0E0F;
  r.NickName = std::string(40, 'n');  // cut to its 29 characters of room
  EXPECT_EQ(r.NickName.Length(), 29u);

  std::array<uint8_t, kPlayerBlockSize + 1> block;
  block.fill(0xEE);
  EncodePlayerBlock(r, block.data());
  const std::array<uint8_t, 14> head{4,    3,    2,    1,    0xFF, 0xFF, 0xFF,
                                     0xFF, 0x0B, 0x0A, 0x0D, 0x0C, 0x0F, 0x0E};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), block.begin()));
  EXPECT_EQ(block[14], 29);
  EXPECT_EQ(block[43], 'n');
  EXPECT_EQ(block[44], 0xEE);  // nothing written past the block

  TClientRecord back;
  DecodePlayerBlock(block.data(), back);
  EXPECT_EQ(back.PlayerID, r.PlayerID);
  EXPECT_EQ(back.ChannelID, -1);
  EXPECT_EQ(back.PlayerFlags, 0x0E0F);
  EXPECT_EQ(back.NickName, r.NickName);

  // A short nickname leaves zeros, and a lying length byte never reads past the room.
  r.NickName = "ab";
  EncodePlayerBlock(r, block.data());
  EXPECT_EQ(block[14], 2);
  EXPECT_EQ(block[17], 0);
  block[14] = 200;
  DecodePlayerBlock(block.data(), back);
  EXPECT_EQ(back.NickName.Length(), 29u);
}

class AccountTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    clients_ = std::make_unique<TClients>(5, storage_.get());
  }
  void TearDown() override {
    clients_.reset();
    ModelTest::TearDown();
  }
  std::unique_ptr<TClientRecord> Account(const std::string& name, const std::string& pass,
                                         uint16_t privileges = 0) {
    auto r = std::make_unique<TClientRecord>();
    r->LoginName = name;
    r->Password = pass;
    r->PlayerPrivileges = privileges;
    return r;
  }
  std::string StoredPassword(int32_t id) {
    auto rows =
        Sql("SELECT s_client_password FROM vh2_clients WHERE i_client_id = " + std::to_string(id) +
            ";");
    return rows ? rows->Row(0).FieldByName("s_client_password").GetAsString() : "<none>";
  }
  std::unique_ptr<TClients> clients_;
};

TEST_F(AccountTest, AddLoginSaveAndDelete) {
  auto alice = Account("alice", "secret", PP_SERVER_ADMIN);
  ASSERT_EQ(clients_->DBAddUser(5, alice.get()), RC_OK);
  EXPECT_GT(alice->DBID, 0);
  const std::string stored = StoredPassword(alice->DBID);
  EXPECT_TRUE(stored.starts_with("$argon2id$")) << stored;
  EXPECT_EQ(stored.find("secret"), std::string::npos);

  auto again = Account("alice", "other");
  again->DBID = 77;
  EXPECT_EQ(clients_->DBAddUser(5, again.get()), RC_LOGIN_NAME_IN_USE);
  EXPECT_EQ(again->DBID, 77);
  // The same name is free on another virtual server.
  EXPECT_EQ(clients_->DBAddUser(6, again.get()), RC_OK);

  TClientRecordPtr login = clients_->DBValidLogin("alice", "secret");
  ASSERT_TRUE(login);
  EXPECT_EQ(login->DBID, alice->DBID);
  EXPECT_TRUE(login->IsServerAdmin());
  EXPECT_GT(login->Created, 0);
  EXPECT_EQ(clients_->DBValidLogin("alice", "Secret"), nullptr);
  EXPECT_EQ(clients_->DBValidLogin("Alice", "secret"), nullptr);
  EXPECT_EQ(clients_->DBValidLogin("alice", "other"), nullptr);  // server 6's password
  EXPECT_EQ(clients_->DBValidLogin("alice", stored), nullptr);   // the hash is no password
  EXPECT_EQ(StoredPassword(alice->DBID), stored) << "a current hash is not rewritten";

  // Saving changes the existing row's name and flag, never its password (a player's record
  // holds what he typed at login, which an admin may have changed since); it creates a row
  // for a name without an account.
  alice->Password = "typed long ago";
  alice->PlayerPrivileges = 0;
  clients_->DBSaveUser(5, alice.get());
  login = clients_->DBValidLogin("alice", "secret");
  ASSERT_TRUE(login);
  EXPECT_FALSE(login->IsServerAdmin());
  EXPECT_TRUE(clients_->DBChangePassword(5, alice->DBID, "changed"));
  EXPECT_EQ(clients_->DBValidLogin("alice", "secret"), nullptr);
  EXPECT_TRUE(clients_->DBValidLogin("alice", "changed"));
  // Another server's id changes nothing.
  EXPECT_TRUE(clients_->DBChangePassword(6, alice->DBID, "hijacked"));  // runs, matches no row
  EXPECT_EQ(clients_->DBValidLogin("alice", "hijacked"), nullptr);

  auto bob = Account("bob", "pw");
  clients_->DBSaveUser(5, bob.get());
  EXPECT_GT(bob->DBID, alice->DBID);
  EXPECT_TRUE(clients_->DBValidLogin("bob", "pw"));
  auto blank = Account("   ", "pw");
  clients_->DBSaveUser(5, blank.get());
  EXPECT_EQ(CountRows("vh2_clients"), 3u);

  clients_->DBDeleteUser(5, alice.get());
  EXPECT_EQ(alice->DBID, -1);
  EXPECT_TRUE(alice->LoginName.Empty());
  EXPECT_TRUE(alice->Password.Empty());
  EXPECT_EQ(clients_->DBValidLogin("alice", "changed"), nullptr);
  clients_->_DBDeleteUser(5, bob->DBID);
  EXPECT_EQ(clients_->DBLoadUser(5, "bob"), nullptr);
}

TEST_F(AccountTest, TheCutAppliesToWhatIsTypedAndPlainTextIsReplacedAtLogin) {
  // 29 characters reach the hash; the stored hash itself is longer and kept whole.
  const std::string typed = std::string(29, 'a') + "-ignored";
  auto carol = Account("carol", "");
  carol->Password = typed;  // cut by the record to 29
  ASSERT_EQ(clients_->DBAddUser(5, carol.get()), RC_OK);
  EXPECT_GT(StoredPassword(carol->DBID).size(), 29u);
  EXPECT_TRUE(clients_->DBValidLogin("carol", typed));
  EXPECT_TRUE(clients_->DBValidLogin("carol", std::string(29, 'a')));
  EXPECT_EQ(clients_->DBValidLogin("carol", std::string(28, 'a')), nullptr);

  // A password written into the table by hand, as plain text, logs in once and is then
  // stored as a hash; a wrong guess changes nothing.
  Exec("UPDATE vh2_clients SET s_client_password = 'byhand' WHERE s_client_name = 'carol';");
  EXPECT_EQ(clients_->DBValidLogin("carol", "byhan"), nullptr);
  EXPECT_EQ(StoredPassword(carol->DBID), "byhand");
  EXPECT_TRUE(clients_->DBValidLogin("carol", "byhand"));
  EXPECT_TRUE(StoredPassword(carol->DBID).starts_with("$argon2id$"));
  EXPECT_TRUE(clients_->DBValidLogin("carol", "byhand"));
}

TEST_F(AccountTest, LoadingCutsStoredValuesAndKeepsSuperUsersApart) {
  const std::string longName(40, 'x');
  Exec(
      "INSERT INTO vh2_clients (i_client_server_id, s_client_name, s_client_password,"
      " dt_client_created, dt_client_lastonline, b_client_privilege_serveradmin) VALUES (5, '" +
      longName + "', 'pw', '08122026031542123', '', -1);");
  TClientRecordPtr byName = clients_->DBLoadUser(5, longName);
  ASSERT_TRUE(byName);
  EXPECT_EQ(byName->LoginName, longName.substr(0, 29));
  EXPECT_TRUE(byName->Password.Empty()) << "a loaded record carries no password";
  EXPECT_TRUE(byName->IsServerAdmin());
  TClientRecordPtr byId = clients_->_DBLoadUser(5, byName->DBID);
  ASSERT_TRUE(byId);
  EXPECT_EQ(byId->LoginName, byName->LoginName);
  EXPECT_EQ(byId->Created, byName->Created);
  EXPECT_EQ(clients_->_DBLoadUser(6, byName->DBID), nullptr);

  TClientAccount account = clients_->DBReadAccount(5, byName->DBID);
  EXPECT_EQ(account.DBID, byName->DBID);
  EXPECT_EQ(account.Flags, ACCOUNT_FLAG_SERVER_ADMIN);
  EXPECT_EQ(account.LastOnline, 0);
  EXPECT_TRUE(clients_->DBUpdateLastOnline(byName->DBID));
  EXPECT_GT(clients_->DBReadAccount(5, byName->DBID).LastOnline, 0);
  EXPECT_EQ(clients_->DBReadAccount(5, 9999).DBID, 0);

  auto root = Account("root", "pw");
  ASSERT_EQ(clients_->DBAddSuperUser(root.get()), RC_OK);
  EXPECT_EQ(clients_->DBAddSuperUser(Account("root", "x").get()), RC_LOGIN_NAME_IN_USE);
  EXPECT_EQ(clients_->DBLoadUser(5, "root"), nullptr);
  TClientRecordPtr super = clients_->DBLoadUser(0, "root");
  ASSERT_TRUE(super);
  EXPECT_TRUE(super->IsServerAdmin());  // super users are always stored as server admins
  super = clients_->DBLoadSuperUser(root->DBID);
  ASSERT_TRUE(super);
  EXPECT_EQ(super->LoginName, "root");
  EXPECT_FALSE(super->IsServerAdmin());
  EXPECT_TRUE(clients_->DBChangePassword(0, root->DBID, "new"));
  EXPECT_EQ(clients_->DBValidLogin("root", "new"), nullptr);  // not an account of server 5
  TClients superUsers(0, storage_.get());
  EXPECT_TRUE(superUsers.DBValidLogin("root", "new"));
  EXPECT_EQ(superUsers.DBValidLogin("root", "pw"), nullptr);
  EXPECT_EQ(CountRows("vh2_clients", "i_client_server_id = 0"), 1u);
}

TEST_F(AccountTest, DatabaseFailureIsNotReportedAsSuccess) {
  auto alice = Account("alice", "pw");
  ASSERT_EQ(clients_->DBAddUser(5, alice.get()), RC_OK);
  Exec("DROP TABLE vh2_clients;");
  auto bob = Account("bob", "pw");
  EXPECT_EQ(clients_->DBAddUser(5, bob.get()), RC_INTERNAL_ERROR) << "not a taken name";
  EXPECT_EQ(bob->DBID, 0) << "must not take the id of an earlier insert";
  clients_->DBSaveUser(5, bob.get());
  EXPECT_EQ(bob->DBID, 0);
  EXPECT_EQ(clients_->DBValidLogin("alice", "pw"), nullptr);
}

}  // namespace
}  // namespace vh::test
