#include "storage/Schema.h"

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/Log.h"
#include "common/PasswordHash.h"

namespace vh {

namespace {

struct TTableScript {
  const char* table;
  const char* script;
};

// Checked and created in this order; creation stops at the first failure.
constexpr TTableScript kTables[] = {
    {"vh2_servers", "create_servers.sql"},
    {"vh2_server_privileges", "create_server_privileges.sql"},
    {"vh2_channels", "create_channels.sql"},
    {"vh2_channel_privileges", "create_channel_privileges.sql"},
    {"vh2_clients", "create_clients.sql"},
    {"vh2_bans", "create_bans.sql"},
};

struct TUpgradeStep {
  const char* table;
  const char* column;  // the column the step adds; its absence triggers the step
  const char* script;
};

constexpr TUpgradeStep kUpgrades[] = {
    {"vh2_servers", "b_server_allow_codec_speex2150", "upgrade_1.sql"},
    {"vh2_servers", "b_server_allow_codec_speex15000", "upgrade_2.sql"},
    {"vh2_clients", "dt_client_lastonline", "upgrade_3.sql"},
};

bool RunUpgradeStep(TCustomStorage& storage, const char* script) {
  Log(LMT_ALL, LMD_INFO, std::string("Upgrading database script ") + script, "db");
  bool ok = false;
  try {
    TStorageScript run(storage, script);
    ok = run.Execute().Ok();
  } catch (const std::exception& e) {
    LogException("UpgradeDatabase", e, "db");
    ok = false;
  }
  if (ok) {
    Log(LMT_ALL, LMD_INFO, "Upgrading successfully", "db");
  } else {
    Log(LMT_ERROR, LMD_ALL, "Upgrading failed!", "db");
  }
  return ok;
}

}  // namespace

bool EnsureTable(TCustomStorage* storage, std::string_view table, std::string_view scriptFile,
                 std::string_view scriptDir) {
  if (!storage) return false;
  bool ok = false;
  {
    TStorageLock lock(storage->Mutex());
    if (storage->TableExists(table)) return true;
    storage->LoadScript(std::string(scriptDir) + std::string(scriptFile));
    ok = storage->Execute().Ok();
  }
  if (ok) {
    LogFormat(LMT_WARNING, LMD_INFO, {table}, "created table %1", "SQL");
  } else {
    // The entry's text has no placeholder; the table name rides along as its argument.
    LogFormat(LMT_ERROR, LMD_ALL, {table}, "unable to create table", "SQL");
  }
  return ok;
}

bool CreateTables(TCustomStorage* storage) {
  if (!storage) return false;
  for (const TTableScript& t : kTables)
    if (!EnsureTable(storage, t.table, t.script, storage->ScriptDirectory())) return false;
  return true;
}

bool UpgradeDatabase(TCustomStorage* storage) {
  if (!storage) return false;
  bool result = true;
  for (const TUpgradeStep& step : kUpgrades) {
    bool present;
    {
      TStorageLock lock(storage->Mutex());
      present = storage->ColumnExists(step.table, step.column);
    }
    if (!present) result = RunUpgradeStep(*storage, step.script);
  }
  return result;
}

// The transaction holds the storage lock and each script takes it again (it is recursive),
// which the lock analysis cannot express.
bool HashPlainPasswords(TCustomStorage* storage, std::string& error) NO_THREAD_SAFETY_ANALYSIS {
  if (!storage) {
    error = "no database";
    return false;
  }
  TStorageLock lock(storage->Mutex());
  if (!storage->BeginTransaction()) {
    error = "cannot start a transaction";
    return false;
  }
  size_t converted = 0;
  try {
    std::unique_ptr<TStorageContainer> rows;
    {
      TStorageScript q(*storage, "read_client_passwords.sql");
      rows = q.Open();
      if (q.OpenFailed()) throw std::runtime_error("cannot read the accounts");
    }
    for (size_t i = 0; rows && i < rows->Count(); ++i) {
      const TStorageRow& row = rows->Row(i);
      const std::string stored = row.FieldByName("s_client_password").GetAsString();
      if (TPasswordHash::IsHash(stored)) continue;
      const int32_t id = row.FieldByName("i_client_id").GetAsInteger();
      TStorageScript q(*storage, "rehash_client_password.sql");
      q.SetString(":sPassword", TPasswordHash::Make(stored))
          .SetInteger(":iClientID", id)
          .SetString(":sOldPassword", stored);
      if (!q.Execute())
        throw std::runtime_error("cannot store the hash of account " + std::to_string(id));
      ++converted;
    }
    if (!storage->CommitTransaction()) throw std::runtime_error("cannot commit");
  } catch (const std::exception& e) {
    storage->RollbackTransaction();
    error = e.what();
    Log(LMT_ERROR, LMD_ALL,
        std::string("Hashing the stored passwords failed, nothing was changed: ") + e.what(), "db");
    return false;
  }
  // Whatever the log filter says: the operator must be able to see that this happened.
  if (converted > 0)
    LogUnfiltered(LMT_WARNING, LMD_INFO,
                  "Hashed " + std::to_string(converted) +
                      " plain-text account passwords (Argon2id); plain text is gone",
                  "db");
  return true;
}

}  // namespace vh
