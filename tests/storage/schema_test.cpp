#include "storage/Schema.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/PasswordHash.h"
#include "storage/StorageFixture.h"

namespace vh::test {
namespace {

const char* const kTables[] = {"vh2_servers",  "vh2_server_privileges",
                               "vh2_channels", "vh2_channel_privileges",
                               "vh2_clients",  "vh2_bans"};

class SchemaTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    OpenStorage();
  }

  // The tables as the oldest stored databases have them: without the columns the upgrades add.
  void CreateOldSchema(bool withSpeex15000) {
    ASSERT_TRUE(CreateTables(storage_.get()));
    Run("DROP TABLE vh2_servers;");
    Run(std::string("CREATE TABLE vh2_servers (i_server_id INTEGER PRIMARY KEY, "
                    "s_server_name TEXT, b_server_allow_codec_celp51 INTEGER") +
        (withSpeex15000 ? ", b_server_allow_codec_speex15000 INTEGER, "
                          "b_server_allow_codec_speex18200 INTEGER, "
                          "b_server_allow_codec_speex24600 INTEGER"
                        : "") +
        ");");
    Run("INSERT INTO vh2_servers (i_server_id, s_server_name) VALUES (3, 'old');");
    Run("DROP TABLE vh2_clients;");
    Run("CREATE TABLE vh2_clients (i_client_id INTEGER PRIMARY KEY, i_client_server_id INTEGER, "
        "s_client_name TEXT);");
    log_->Clear();
  }
};

TEST_F(SchemaTest, FreshDatabaseGetsAllTablesAndNeedsNoUpgrade) {
  ASSERT_TRUE(CreateTables(storage_.get()));
  for (const char* t : kTables) {
    EXPECT_TRUE(storage_->TableExists(t)) << t;
    EXPECT_TRUE(log_->Contains(std::string("WARNING,Info,SQL,\tcreated table ") + t)) << t;
  }
  EXPECT_EQ(log_->Count("created table"), 6u);

  // A second run finds everything in place and creates nothing.
  log_->Clear();
  ASSERT_TRUE(CreateTables(storage_.get()));
  EXPECT_EQ(log_->Count("created table"), 0u);

  EXPECT_TRUE(UpgradeDatabase(storage_.get()));
  EXPECT_EQ(log_->Count("Upgrading"), 0u);
}

TEST_F(SchemaTest, FailingCreateScriptStopsTheRest) {
  WriteScript("create_channels.sql", "CREATE TABLE vh2_channels (;");
  EXPECT_FALSE(CreateTables(storage_.get()));
  EXPECT_TRUE(storage_->TableExists("vh2_servers"));
  EXPECT_TRUE(storage_->TableExists("vh2_server_privileges"));
  for (const char* t : {"vh2_channels", "vh2_channel_privileges", "vh2_clients", "vh2_bans"})
    EXPECT_FALSE(storage_->TableExists(t)) << t;
  EXPECT_EQ(log_->Count("created table"), 2u);
  EXPECT_TRUE(log_->Contains("ERROR,All,SQL,\tunable to create table"));

  // A missing script fails the same way, and no earlier script runs in its place.
  std::filesystem::remove(scriptDir_ + "create_channels.sql");
  log_->Clear();
  EXPECT_FALSE(CreateTables(storage_.get()));
  EXPECT_TRUE(log_->Contains("SQL file not found " + scriptDir_ + "create_channels.sql"));
  EXPECT_FALSE(storage_->TableExists("vh2_channels"));
}

TEST_F(SchemaTest, HalfWrittenCreateScriptLeavesNoTable) {
  // The table statement succeeds, the index after it fails: the table must not stay behind,
  // or the next start would take the half-made schema as complete.
  WriteScript("create_bans.sql",
              "CREATE TABLE vh2_bans (i_ban_id INTEGER PRIMARY KEY);\n"
              "CREATE INDEX vh2_bans_x ON vh2_bans (no_such_column);\n");
  EXPECT_FALSE(CreateTables(storage_.get()));
  EXPECT_FALSE(storage_->TableExists("vh2_bans"));
}

TEST_F(SchemaTest, OldDatabaseGetsExactlyTheUpgradesItNeeds) {
  CreateOldSchema(/*withSpeex15000=*/true);
  EXPECT_TRUE(UpgradeDatabase(storage_.get()));
  EXPECT_TRUE(log_->Contains("ALL,Info,db,\tUpgrading database script upgrade_1.sql"));
  EXPECT_FALSE(log_->Contains("upgrade_2.sql"));
  EXPECT_TRUE(log_->Contains("upgrade_3.sql"));
  EXPECT_EQ(log_->Count("Upgrading successfully"), 2u);
  // Every Speex codec the server record reads and writes is there afterwards.
  for (const char* column : {"b_server_allow_codec_speex2150", "b_server_allow_codec_speex3950",
                             "b_server_allow_codec_speex5950", "b_server_allow_codec_speex8000",
                             "b_server_allow_codec_speex11000", "b_server_allow_codec_speex15000",
                             "b_server_allow_codec_speex18200", "b_server_allow_codec_speex24600"})
    EXPECT_TRUE(storage_->ColumnExists("vh2_servers", column)) << column;
  EXPECT_TRUE(storage_->ColumnExists("vh2_clients", "dt_client_lastonline"));

  // Existing servers may use the codec that was added for them.
  auto rows = Query("SELECT b_server_allow_codec_speex2150 FROM vh2_servers;");
  ASSERT_TRUE(rows);
  EXPECT_TRUE(rows->Row(0).FieldByName("b_server_allow_codec_speex2150").GetAsBoolean());

  log_->Clear();
  EXPECT_TRUE(UpgradeDatabase(storage_.get()));
  EXPECT_EQ(log_->Count("Upgrading"), 0u);
}

TEST_F(SchemaTest, OnlyTheLastUpgradeStepDecides) {
  CreateOldSchema(/*withSpeex15000=*/false);
  WriteScript("upgrade_1.sql", "ALTER TABLE vh2_nothing ADD COLUMN x INTEGER;");
  EXPECT_TRUE(UpgradeDatabase(storage_.get()));  // step 1 fails, steps 2 and 3 succeed
  EXPECT_EQ(log_->Count("ERROR,All,db,\tUpgrading failed!"), 1u);
  EXPECT_EQ(log_->Count("Upgrading successfully"), 2u);

  std::filesystem::remove(scriptDir_ + "upgrade_3.sql");
  Run("DROP TABLE vh2_clients;");
  Run("CREATE TABLE vh2_clients (i_client_id INTEGER PRIMARY KEY);");
  EXPECT_FALSE(UpgradeDatabase(storage_.get()));
  EXPECT_TRUE(log_->Contains("SQL file not found " + scriptDir_ + "upgrade_3.sql"));
}

TEST_F(SchemaTest, NoStorage) {
  EXPECT_FALSE(CreateTables(nullptr));
  EXPECT_FALSE(UpgradeDatabase(nullptr));
  EXPECT_FALSE(EnsureTable(nullptr, "vh2_bans", "create_bans.sql", scriptDir_));
  std::string error;
  EXPECT_FALSE(HashPlainPasswords(nullptr, error));
}

// Accounts stored the way earlier versions stored them: the password in plain text, through
// the shipped new_client.sql.
class PasswordMigrationTest : public TStorageBackendTest {
 protected:
  void SetUp() override {
    TStorageBackendTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(CreateTables(storage_.get()));
    kept_ = TPasswordHash::Make("kept");
    for (const auto& [name, password] : std::map<std::string, std::string>{
             {"a_admin", "k2x9qa"},
             {"b_empty", ""},
             {"c_long", std::string(40, 'p')},  // longer than a login field holds
             {"d_hashed", kept_},
             {"e_quote", "O'Pass \\ %"}}) {
      TStorageScript q(*storage_, "new_client.sql");
      ASSERT_TRUE(q.SetString(":sName", name)
                      .SetString(":sPassword", password)
                      .SetInteger(":iServerID", name == "a_admin" ? 0 : 1)
                      .SetDateTime(":dtCreated", 46000)
                      .SetBoolean(":bServerAdmin", true)
                      .Execute());
    }
    log_->Clear();
  }

  std::map<std::string, std::string> Stored() {
    std::map<std::string, std::string> stored;
    auto rows = Query("SELECT s_client_name, s_client_password FROM vh2_clients;");
    for (size_t i = 0; rows && i < rows->Count(); ++i)
      stored[rows->Row(i).FieldByName("s_client_name").GetAsString()] =
          rows->Row(i).FieldByName("s_client_password").GetAsString();
    return stored;
  }

  std::string kept_;
};

TEST_P(PasswordMigrationTest, PlainTextPasswordsAreHashedOnceInOneStep) {
  std::string error;
  ASSERT_TRUE(HashPlainPasswords(storage_.get(), error)) << error;
  EXPECT_EQ(log_->Count("Hashed 4 plain-text account passwords"), 1u);
  auto stored = Stored();
  ASSERT_EQ(stored.size(), 5u);
  for (const auto& [name, value] : stored) EXPECT_TRUE(TPasswordHash::IsHash(value)) << name;
  EXPECT_EQ(stored["d_hashed"], kept_);
  EXPECT_TRUE(TPasswordHash::Verify(stored["a_admin"], "k2x9qa"));
  EXPECT_FALSE(TPasswordHash::Verify(stored["a_admin"], "k2x9qA"));
  EXPECT_TRUE(TPasswordHash::Verify(stored["b_empty"], ""));
  EXPECT_FALSE(TPasswordHash::Verify(stored["b_empty"], "x"));
  // The typed password is cut to the field's 29 characters; so was the stored one.
  EXPECT_TRUE(TPasswordHash::Verify(stored["c_long"], std::string(40, 'p')));
  EXPECT_TRUE(TPasswordHash::Verify(stored["c_long"], std::string(29, 'p')));
  EXPECT_TRUE(TPasswordHash::Verify(stored["e_quote"], "O'Pass \\ %"));

  // Nothing left to do on the next start.
  log_->Clear();
  ASSERT_TRUE(HashPlainPasswords(storage_.get(), error)) << error;
  EXPECT_EQ(log_->Count("Hashed"), 0u);
  EXPECT_EQ(Stored(), stored);
}

TEST_P(PasswordMigrationTest, AFailureLeavesEveryPasswordAsItWas) {
  // The last account refuses to be changed: the rows converted before it must come back.
  if (MariaDB())
    Run("ALTER TABLE vh2_clients ADD CONSTRAINT no_hash CHECK (s_client_name <> 'e_quote' OR "
        "s_client_password NOT LIKE '$argon2id$%');");
  else
    Run("CREATE TRIGGER no_hash BEFORE UPDATE ON vh2_clients WHEN OLD.s_client_name = 'e_quote' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  const auto before = Stored();
  std::string error;
  EXPECT_FALSE(HashPlainPasswords(storage_.get(), error));
  EXPECT_NE(error.find("cannot store the hash of account"), std::string::npos) << error;
  EXPECT_TRUE(log_->Contains("Hashing the stored passwords failed, nothing was changed"));
  EXPECT_EQ(log_->Count("Hashed"), 0u);
  EXPECT_EQ(Stored(), before);
  EXPECT_EQ(before.at("a_admin"), "k2x9qa");

  // No transaction is left open: a later write is committed at once.
  Run("INSERT INTO vh2_bans (i_ban_server_id, s_ban_ip) VALUES (1, '10.0.0.1');");
  if (MariaDB()) return;
  storage_.reset();
  OpenStorage();
  EXPECT_EQ(Stored(), before);
  EXPECT_TRUE(Query("SELECT s_ban_ip FROM vh2_bans;"));
}

INSTANTIATE_TEST_SUITE_P(Backends, PasswordMigrationTest,
                         ::testing::Values(TBackend::SQLite, TBackend::MariaDB), BackendName);

}  // namespace
}  // namespace vh::test
