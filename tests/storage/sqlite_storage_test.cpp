#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "storage/Schema.h"
#include "storage/StorageFixture.h"

namespace vh::test {
namespace {

class SQLiteStorageTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    OpenStorage();
    Run("CREATE TABLE t (i_id INTEGER PRIMARY KEY, s_name TEXT, s_pass TEXT);");
  }

  std::string NameOf(int64_t id) {
    WriteScript("_name.sql", "SELECT s_name FROM t WHERE i_id = :iID;");
    TStorageScript q(*storage_, "_name.sql");
    auto rows = q.SetInteger(":iID", id).Open();
    return rows ? rows->Row(0).FieldByName("s_name").GetAsString() : "<none>";
  }
};

TEST_F(SQLiteStorageTest, UnsetParameterRunsNothing) {
  WriteScript("ins.sql", "INSERT INTO t (s_name, s_pass) VALUES (:sName, :sPassword);");
  {
    TStorageScript q(*storage_, "ins.sql");
    EXPECT_FALSE(q.SetString(":sName", "half").Execute());
  }
  EXPECT_FALSE(Query("SELECT i_id FROM t;"));
  EXPECT_TRUE(log_->Contains("ExcecSQL Error: parameter :sPassword not set"));

  // Parameters belong to the script they were set for: a new load forgets them.
  TStorageScript q(*storage_, "ins.sql");
  q.SetString(":sName", "a").SetString(":sPassword", "b");
  q.Load("ins.sql");
  EXPECT_FALSE(q.Execute());
}

TEST_F(SQLiteStorageTest, ResultTypingAndNullDefaults) {
  auto rows = Query(
      "SELECT NULL AS i_x, NULL AS b_y, NULL AS s_z, '' AS dt_w, -1 AS b_t, 0 AS b_f, "
      "'08122026031542123' AS dt_v, 42 AS I_upper;");
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->Count(), 1u);
  rows->First();
  const TStorageRow& r = rows->Current();
  EXPECT_EQ(r.FieldByName("i_x").GetAsInteger(), 0);
  EXPECT_TRUE(r.FieldByName("b_y").GetAsBoolean());
  EXPECT_EQ(r.FieldByName("s_z").GetAsString(), "");
  EXPECT_EQ(r.FieldByName("dt_w").GetAsDateTime(), 0.0);
  EXPECT_TRUE(r.FieldByName("b_t").GetAsBoolean());
  EXPECT_FALSE(r.FieldByName("b_f").GetAsBoolean());
  EXPECT_EQ(r.FieldByName("dt_v").GetAsString(), "08122026031542123");
  EXPECT_EQ(r.FieldByName("i_upper").GetAsInteger(), 42);
  EXPECT_THROW(r.FieldByName("count"), EInvalidField);

  // A date-time parameter is stored as its text and reads back as the same instant.
  TDateTimeParts p;
  p.year = 2026, p.month = 12, p.day = 8, p.hour = 3, p.minute = 15, p.second = 42;
  p.millisecond = 123;
  const TDateTime when = EncodeDateTime(p);
  WriteScript("dt.sql", "SELECT :dtWhen AS dt_when, :dtWhen AS s_raw, :bOn AS s_bool;");
  TStorageScript q(*storage_, "dt.sql");
  auto back = q.SetDateTime(":dtWhen", when).SetBoolean(":bOn", true).Open();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Row(0).FieldByName("s_raw").GetAsString(), "08122026031542123");
  EXPECT_NEAR(back->Row(0).FieldByName("dt_when").GetAsDateTime(), when, 1e-9);
  EXPECT_EQ(back->Row(0).FieldByName("s_bool").GetAsString(), "-1");
}

TEST_F(SQLiteStorageTest, OpenFailures) {
  EXPECT_FALSE(Query("SELECT i_id FROM t WHERE i_id = 1;"));  // no rows: nothing

  Run("INSERT INTO t (s_name) VALUES ('a');");
  try {
    Query("SELECT count(*) AS count FROM t;");
    FAIL() << "no exception";
  } catch (const EDB& e) {
    EXPECT_STREQ(e.what(), "unknown field descriptor in header: count");
  }
  EXPECT_TRUE(log_->Contains("unknown field descriptor in header: count"));

  // A stored value that does not fit its column's type is refused, not misread.
  EXPECT_THROW(Query("SELECT s_name AS i_bad FROM t;"), EDB);

  EXPECT_FALSE(Query("SELECT nonsense FROM t;"));
  EXPECT_TRUE(log_->Contains("OpenSQL Error: no such column: nonsense in query: SELECT"));
  // The lock is free again after every failure above, or this would deadlock on another thread.
  std::thread other([&] { TStorageLock lock(storage_->Mutex()); });
  other.join();
}

TEST_F(SQLiteStorageTest, SchemaProbes) {
  Run("CREATE TABLE vh2_servers (i_server_id INTEGER);");
  EXPECT_TRUE(storage_->TableExists("vh2_servers"));
  EXPECT_TRUE(storage_->TableExists("VH2_SERVER"));  // a prefix test
  EXPECT_FALSE(storage_->TableExists("vh2_servers_x"));
  EXPECT_FALSE(storage_->TableExists("vh2_clients"));
  EXPECT_TRUE(storage_->ColumnExists("vh2_servers", "i_server_id"));
  EXPECT_FALSE(storage_->ColumnExists("vh2_servers", "b_missing"));
  EXPECT_FALSE(storage_->ColumnExists("vh2_nothing", "i_server_id"));
  EXPECT_FALSE(storage_->ColumnExists("vh2_servers", "i_server_id from vh2_servers; --"));
  EXPECT_FALSE(storage_->ColumnExists("vh2_servers", "\"b_missing\""));
}

TEST_F(SQLiteStorageTest, OpensInWalModeAndSurvivesReopen) {
  auto mode = Query("SELECT journal_mode AS s_mode FROM pragma_journal_mode;");
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->Row(0).FieldByName("s_mode").GetAsString(), "wal");
  Run("INSERT INTO t (s_name) VALUES ('kept');");
  storage_.reset();
  OpenStorage();
  EXPECT_EQ(NameOf(1), "kept");
}

TEST(SQLiteStorageOpen, ForeignFileIsRefusedAndLeftUntouched) {
  auto log = std::make_unique<TMemoryLog>();
  TMemoryLog* lines = log.get();
  InstallLog(std::move(log));
  namespace fs = std::filesystem;
  const fs::path file = fs::temp_directory_path() / ("vh_notadb_" + std::to_string(::getpid()));
  std::string junk(4096, 'x');
  junk.replace(0, 20, "this is no database\n");
  std::ofstream(file, std::ios::binary) << junk;

  try {
    TSQLiteStorage s(file.string());
    FAIL() << "opened a foreign file";
  } catch (const EInvalidField& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Database initialization error: "));
  }
  EXPECT_TRUE(lines->Contains("Database initialization error: "));
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), junk);
  EXPECT_FALSE(fs::exists(file.string() + "-wal"));
  fs::remove(file);

  EXPECT_THROW(TSQLiteStorage("/nonexistent-dir/x/server.dbs"), EInvalidField);
  DestroyLog();
}

}  // namespace
}  // namespace vh::test
