#include "storage/Schema.h"

#include <gtest/gtest.h>

#include <filesystem>

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
}

}  // namespace
}  // namespace vh::test
