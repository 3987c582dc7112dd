#include "storage/Schema.h"

#include <exception>
#include <string>

#include "common/Log.h"

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
    ok = run.Execute();
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
    TStorageLock lock(*storage);
    if (storage->TableExists(table)) return true;
    storage->LoadScript(std::string(scriptDir) + std::string(scriptFile));
    ok = storage->Execute();
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
      TStorageLock lock(*storage);
      present = storage->ColumnExists(step.table, step.column);
    }
    if (!present) result = RunUpgradeStep(*storage, step.script);
  }
  return result;
}

}  // namespace vh
