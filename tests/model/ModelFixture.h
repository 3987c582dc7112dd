// Shared fixture of the model tests: a real SQLite database with the shipped scripts and tables
// in a temporary directory, and an in-memory log to check what was written.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/Log.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "support/TempDir.h"

namespace vh::test {

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto log = std::make_unique<TMemoryLog>();
    log_ = log.get();
    InstallLog(std::move(log));
    storage_ = std::make_unique<TSQLiteStorage>(dir_.File("server.dbs"),
                                                std::string(VH_SOURCE_DIR) + "/sqlite_sql/");
    ASSERT_TRUE(CreateTables(storage_.get()));
  }

  void TearDown() override {
    storage_.reset();
    DestroyLog();
  }

  // Runs one statement of the test's own (setup rows, reading back what the model wrote).
  std::unique_ptr<TStorageContainer> Sql(const std::string& sql) {
    WriteFile(dir_.File("adhoc.sql"), sql);
    storage_->Lock();
    storage_->LoadScript(dir_.File("adhoc.sql"));
    auto rows = storage_->Open();
    storage_->Unlock();
    return rows;
  }
  void Exec(const std::string& sql) {
    WriteFile(dir_.File("adhoc.sql"), sql);
    storage_->Lock();
    storage_->LoadScript(dir_.File("adhoc.sql"));
    bool ok = storage_->Execute().Ok();
    storage_->Unlock();
    ASSERT_TRUE(ok) << sql;
  }
  size_t CountRows(const std::string& table, const std::string& where = "1=1") {
    auto rows = Sql("SELECT count(*) AS i_n FROM " + table + " WHERE " + where + ";");
    return rows ? static_cast<size_t>(rows->Row(0).FieldByName("i_n").GetAsInteger()) : 0;
  }

  TTempDir dir_;
  TMemoryLog* log_ = nullptr;
  std::unique_ptr<TSQLiteStorage> storage_;
};

}  // namespace vh::test
