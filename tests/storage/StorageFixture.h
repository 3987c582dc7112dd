// Shared fixture of the storage tests: a temporary directory holding a copy of the shipped
// scripts and a database (an SQLite file, or a fresh database on the suite's MariaDB server),
// and an in-memory log to check what was written. TStorageBackendTest runs one set of cases
// against both back-ends.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/Log.h"
#include "storage/sqlite/SQLiteStorage.h"
#ifdef VH_HAVE_MYSQL
#include "storage/mysql/MariaDbStorage.h"
#include "support/MariaDBTestServer.h"
#endif

namespace vh::test {

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto log = std::make_unique<TMemoryLog>();
    log_ = log.get();
    InstallLog(std::move(log));
    namespace fs = std::filesystem;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("vh_storage_" + std::to_string(::getpid()) + "_" +
                                        info->test_suite_name() + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "sql");
    fs::copy(fs::path(VH_SOURCE_DIR) / "sqlite_sql", dir_ / "sql");
    scriptDir_ = (dir_ / "sql").string() + "/";
    dbFile_ = (dir_ / "server.dbs").string();
  }

  void TearDown() override {
    storage_.reset();
#ifdef VH_HAVE_MYSQL
    database_.reset();
#endif
    DestroyLog();
    std::filesystem::remove_all(dir_);
  }

  TSQLiteStorage& OpenStorage() {
    auto storage = std::make_unique<TSQLiteStorage>(dbFile_, scriptDir_);
    TSQLiteStorage& s = *storage;
    storage_ = std::move(storage);
    return s;
  }

  // Replaces the script copy with the shipped scripts of `directory` ("mysql_sql", ...).
  void UseScripts(const std::string& directory) {
    namespace fs = std::filesystem;
    fs::remove_all(dir_ / "sql");
    fs::create_directories(dir_ / "sql");
    fs::copy(fs::path(VH_SOURCE_DIR) / directory, dir_ / "sql");
  }

  // The settings file naming a fresh MariaDB database; empty (with `why`) when there is none.
  std::string MariaDBSettings(std::string& why) {
#ifdef VH_HAVE_MYSQL
    why = MariaDBSkipReason();
    if (!why.empty()) return "";
    database_ = std::make_unique<TMariaDBDatabase>();
    if (!database_->Error().empty()) {
      ADD_FAILURE() << "the suite's MariaDB server does not answer: " << database_->Error();
      why = database_->Error();
      return "";
    }
    const std::string ini = (dir_ / "server.ini").string();
    std::ofstream(ini, std::ios::trunc) << database_->IniSection();
    return ini;
#else
    why = "this build has no MariaDB/MySQL back-end (libmariadb-dev)";
    return "";
#endif
  }

  // Writes (or replaces) a script of the temporary script directory.
  void WriteScript(const std::string& name, const std::string& text) {
    std::ofstream(scriptDir_ + name, std::ios::binary | std::ios::trunc) << text;
  }

  // Runs a statement that needs no parameters and must succeed.
  void Run(const std::string& sql) {
    WriteScript("_adhoc.sql", sql);
    TStorageScript q(*storage_, "_adhoc.sql");
    ASSERT_TRUE(q.Execute()) << sql;
  }

  std::unique_ptr<TStorageContainer> Query(const std::string& sql) {
    WriteScript("_adhoc.sql", sql);
    TStorageScript q(*storage_, "_adhoc.sql");
    return q.Open();
  }

  TMemoryLog* log_ = nullptr;
  std::filesystem::path dir_;
  std::string scriptDir_;
  std::string dbFile_;
  std::unique_ptr<TCustomStorage> storage_;
#ifdef VH_HAVE_MYSQL
  std::unique_ptr<TMariaDBDatabase> database_;
#endif
};

enum class TBackend { SQLite, MariaDB };

inline std::string BackendName(const ::testing::TestParamInfo<TBackend>& info) {
  return info.param == TBackend::SQLite ? "SQLite" : "MariaDB";
}

// One set of cases for both back-ends; the MariaDB instance skips when no server is there.
class TStorageBackendTest : public StorageTest, public ::testing::WithParamInterface<TBackend> {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    if (GetParam() == TBackend::SQLite) {
      OpenStorage();
      return;
    }
#ifdef VH_HAVE_MYSQL
    std::string why;
    const std::string ini = MariaDBSettings(why);
    if (ini.empty()) GTEST_SKIP() << why;
    UseScripts("mysql_sql");
    storage_ = std::make_unique<TDBExpressStorage>(ini, scriptDir_);
#else
    GTEST_SKIP() << "this build has no MariaDB/MySQL back-end (libmariadb-dev)";
#endif
  }

  bool MariaDB() const {
    return GetParam() == TBackend::MariaDB;
  }
};

}  // namespace vh::test
