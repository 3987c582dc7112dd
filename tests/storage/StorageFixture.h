// Shared fixture of the storage tests: a temporary directory holding a copy of the shipped
// scripts and a database file, and an in-memory log to check what was written.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/Log.h"
#include "storage/sqlite/SQLiteStorage.h"

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
    DestroyLog();
    std::filesystem::remove_all(dir_);
  }

  TSQLiteStorage& OpenStorage() {
    storage_ = std::make_unique<TSQLiteStorage>(dbFile_, scriptDir_);
    return *storage_;
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
  std::unique_ptr<TSQLiteStorage> storage_;
};

}  // namespace vh::test
