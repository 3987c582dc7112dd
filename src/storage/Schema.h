// Creation and upgrade of the database tables from the "create_" and "upgrade_" scripts.
// Runs once on the main thread during start-up, before any virtual server starts; each step
// takes the storage lock around its script.
#pragma once

#include <string>
#include <string_view>

#include "storage/CustomStorage.h"

namespace vh {

// Makes sure one table exists, creating it from `scriptDir` + `scriptFile` when it does not.
// Logs "created table %1" or "unable to create table". False without a storage.
bool EnsureTable(TCustomStorage* storage, std::string_view table, std::string_view scriptFile,
                 std::string_view scriptDir);

// Ensures the six tables in order from the storage's script directory; stops at the first
// failure. True when all six exist afterwards.
bool CreateTables(TCustomStorage* storage);

// Runs each upgrade script whose probe column is missing; the result of the last step run, or
// true when none was needed. False without a storage.
bool UpgradeDatabase(TCustomStorage* storage);

// Replaces every plain-text password of vh2_clients (written by an older version, or by hand)
// with its Argon2id hash, all in one transaction: either every row is converted or the
// database is left as it was. Logs one line with the count when there was anything to do.
// False (with the reason in `error`) when the conversion failed or without a storage.
bool HashPlainPasswords(TCustomStorage* storage, std::string& error);

}  // namespace vh
