// What both back-ends must do alike behind TCustomStorage: values bound, never part of the
// SQL; a missing script runs nothing; a script of several statements runs as one unit; result
// columns typed by their prefix.
#include <gtest/gtest.h>

#include <iterator>

#include "storage/StorageFixture.h"

namespace vh::test {
namespace {

class BackendTest : public TStorageBackendTest {
 protected:
  void SetUp() override {
    TStorageBackendTest::SetUp();
    if (IsSkipped()) return;
    Run(MariaDB() ? "CREATE TABLE t (i_id INT AUTO_INCREMENT PRIMARY KEY, s_name TEXT, "
                    "s_pass TEXT) ENGINE=InnoDB;"
                  : "CREATE TABLE t (i_id INTEGER PRIMARY KEY, s_name TEXT, s_pass TEXT);");
  }

  std::string NameOf(int64_t id) {
    WriteScript("_name.sql", "SELECT s_name FROM t WHERE i_id = :iID;");
    TStorageScript q(*storage_, "_name.sql");
    auto rows = q.SetInteger(":iID", id).Open();
    return rows ? rows->Row(0).FieldByName("s_name").GetAsString() : "<none>";
  }

  size_t RowsOfT() {
    auto rows = Query("SELECT i_id FROM t;");
    return rows ? rows->Count() : 0;
  }
};

TEST_P(BackendTest, ValuesAreStoredAsTypedNeverAsSql) {
  WriteScript("ins.sql", "INSERT INTO t (s_name, s_pass) VALUES (:sName, :sPassword);");
  const std::string hostile[] = {
      "O'Brien",        "x'); DROP TABLE t; --",
      "a :sPassword b",  // a parameter name inside a value set before that parameter
      "'';\"\\ \n\t%_", std::string("nul\0byte", 8), "\\'; SELECT 1; -- \xE2\x82\xAC",
  };
  for (const std::string& name : hostile) {
    TStorageScript q(*storage_, "ins.sql");
    ASSERT_TRUE(q.SetString(":sName", name).SetString(":sPassword", "pw").Execute()) << name;
    EXPECT_EQ(NameOf(q.LastInsertId()), name);
  }
  // Parameter names match without regard to case, in the script and in the setter.
  WriteScript("ins2.sql", "INSERT INTO t (s_name, s_pass) VALUES (:SNAME, :spassword);");
  {
    TStorageScript q(*storage_, "ins2.sql");
    ASSERT_TRUE(q.SetString(":sName", "Mixed").SetString(":sPASSWORD", "p").Execute());
    EXPECT_EQ(NameOf(q.LastInsertId()), "Mixed");
  }
  EXPECT_EQ(RowsOfT(), std::size(hostile) + 1);

  // An unset parameter runs nothing rather than storing NULL.
  {
    TStorageScript q(*storage_, "ins.sql");
    EXPECT_FALSE(q.SetString(":sName", "half").Execute());
  }
  EXPECT_TRUE(log_->Contains("parameter :spassword not set") ||
              log_->Contains("parameter :sPassword not set"));
  EXPECT_EQ(RowsOfT(), std::size(hostile) + 1);
}

TEST_P(BackendTest, ResultColumnsAreTypedByPrefix) {
  auto rows = Query(
      "SELECT NULL AS i_x, NULL AS b_y, NULL AS s_z, '' AS dt_w, -1 AS b_t, 0 AS b_f, "
      "'08122026031542123' AS dt_v, 42 AS I_upper;");
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->Count(), 1u);
  const TStorageRow& r = rows->Row(0);
  EXPECT_EQ(r.FieldByName("i_x").GetAsInteger(), 0);
  // NULL booleans differ: true on SQLite, false on MariaDB/MySQL, as stored data expects.
  EXPECT_EQ(r.FieldByName("b_y").GetAsBoolean(), !MariaDB());
  EXPECT_EQ(r.FieldByName("s_z").GetAsString(), "");
  EXPECT_EQ(r.FieldByName("dt_w").GetAsDateTime(), 0.0);
  EXPECT_TRUE(r.FieldByName("b_t").GetAsBoolean());
  EXPECT_FALSE(r.FieldByName("b_f").GetAsBoolean());
  EXPECT_EQ(r.FieldByName("dt_v").GetAsString(), "08122026031542123");
  EXPECT_EQ(r.FieldByName("i_upper").GetAsInteger(), 42);

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

  // No rows is nothing, not an empty container; a column without a known prefix is refused.
  EXPECT_FALSE(Query("SELECT i_id FROM t WHERE i_id = 1;"));
  Run("INSERT INTO t (s_name) VALUES ('a');");
  EXPECT_THROW(Query("SELECT count(*) AS count FROM t;"), EDB);
  EXPECT_TRUE(log_->Contains("unknown field descriptor in header: count"));
  EXPECT_THROW(Query("SELECT s_name AS i_bad FROM t;"), EDB);
  // A long value comes back whole.
  const std::string big(100000, 'v');
  WriteScript("big.sql", "SELECT :sBig AS s_big, 7 AS i_seven;");
  TStorageScript q2(*storage_, "big.sql");
  auto bigRows = q2.SetString(":sBig", big).Open();
  ASSERT_TRUE(bigRows);
  EXPECT_EQ(bigRows->Row(0).FieldByName("s_big").GetAsString(), big);
  EXPECT_EQ(bigRows->Row(0).FieldByName("i_seven").GetAsInteger(), 7);
}

TEST_P(BackendTest, MissingScriptRunsNothing) {
  WriteScript("ins.sql", "INSERT INTO t (s_name) VALUES ('again');");
  {
    TStorageScript q(*storage_, "ins.sql");
    ASSERT_TRUE(q.Execute());
  }
  {
    TStorageScript q(*storage_, "no_such_script.sql");
    EXPECT_FALSE(q.Loaded());
    EXPECT_EQ(q.Execute().Error(), kEmptyScript);
    EXPECT_FALSE(q.Open());
  }
  EXPECT_TRUE(log_->Contains("SQL file not found " + scriptDir_ + "no_such_script.sql"));
  {
    // A directory in place of a file is no script either.
    TStorageScript q(*storage_, "");
    EXPECT_FALSE(q.Execute());
  }
  EXPECT_EQ(RowsOfT(), 1u);
}

TEST_P(BackendTest, SeveralStatementsRunAsOneUnit) {
  WriteScript("two.sql",
              "-- the first statement's comment\n"
              "INSERT INTO t (s_name) VALUES (:sName);\n"
              "/* between */ INSERT INTO t (i_id, s_name) VALUES (:iID, :sName);\n");
  Run("INSERT INTO t (i_id, s_name) VALUES (5, 'taken');");
  {
    TStorageScript q(*storage_, "two.sql");
    const TStoreResult failed = q.SetString(":sName", "n").SetInteger(":iID", 5).Execute();
    EXPECT_FALSE(failed);  // the second statement fails
    EXPECT_FALSE(failed.Error().empty()) << "the back-end's reason reaches the caller";
  }
  EXPECT_EQ(RowsOfT(), 1u);  // the first insert was rolled back, also on the retry
  {
    TStorageScript q(*storage_, "two.sql");
    const TStoreResult done = q.SetString(":sName", "n;'x").SetInteger(":iID", 7).Execute();
    EXPECT_TRUE(done);
    EXPECT_EQ(done.Error(), "");
  }
  EXPECT_EQ(RowsOfT(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendTest,
                         ::testing::Values(TBackend::SQLite, TBackend::MariaDB), BackendName);

}  // namespace
}  // namespace vh::test
