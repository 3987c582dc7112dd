// The storage layer: one TCustomStorage per process, shared by every thread (listeners, TCP
// query and web threads, main thread). All SQL lives in script files of the script directory;
// a caller holds the storage lock (Lock/Unlock, or TStorageScript) from LoadScript to the last
// field read, because the loaded script and its parameters are shared state guarded by it.
// In the server's lock order the storage lock comes after the registry and channel tree locks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/Mutex.h"
#include "storage/DateTime.h"
#include "storage/StoreResult.h"

namespace vh {

// Raised by FieldByName for a column the script does not return ("field %s not found") and by
// a back-end that cannot open its database ("Database initialization error: %s").
class EInvalidField : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised by Open for a result it cannot type (a column without a known prefix, a value that
// does not fit its column's type).
class EDB : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when a field is read or written as a type it does not hold.
class EAbstractError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// One typed value of a result row, named after its column.
class TCustomStorageField {
 public:
  explicit TCustomStorageField(std::string name) : name_(std::move(name)) {}
  virtual ~TCustomStorageField() = default;
  TCustomStorageField(const TCustomStorageField&) = delete;
  TCustomStorageField& operator=(const TCustomStorageField&) = delete;

  const std::string& Name() const { return name_; }

  virtual std::string GetAsString() const = 0;
  virtual bool GetAsBoolean() const;
  virtual int32_t GetAsInteger() const;
  virtual void SetAsString(std::string_view text) = 0;  // EConvertError when unreadable
  virtual void SetAsBoolean(bool value);
  virtual void SetAsInteger(int32_t value);
  virtual void SetAsDateTime(TDateTime value);
  virtual TDateTime GetAsDateTime() const;

 private:
  std::string name_;
};

class TStringStorageField : public TCustomStorageField {
 public:
  using TCustomStorageField::TCustomStorageField;
  std::string GetAsString() const override { return value_; }
  void SetAsString(std::string_view text) override { value_ = text; }

 private:
  std::string value_;
};

class TIntegerStorageField : public TCustomStorageField {
 public:
  using TCustomStorageField::TCustomStorageField;
  std::string GetAsString() const override;
  int32_t GetAsInteger() const override { return value_; }
  void SetAsString(std::string_view text) override;  // a decimal 32-bit integer
  void SetAsInteger(int32_t value) override { value_ = value; }

 private:
  int32_t value_ = 0;
};

// Stored as -1 (true) and 0 (false).
class TBooleanStorageField : public TCustomStorageField {
 public:
  using TCustomStorageField::TCustomStorageField;
  std::string GetAsString() const override { return value_ ? "-1" : "0"; }
  bool GetAsBoolean() const override { return value_; }
  int32_t GetAsInteger() const override { return value_ ? 1 : 0; }
  // A number is true unless it is 0; otherwise "true"/"false" in any case.
  void SetAsString(std::string_view text) override;
  void SetAsBoolean(bool value) override { value_ = value; }
  // Only the low 8 bits count, as the stored byte did.
  void SetAsInteger(int32_t value) override { value_ = (value & 0xFF) != 0; }

 private:
  bool value_ = false;
};

// Text form "ddmmyyyyhhnnsszzz" (see DateTime.h).
class TDateTimeStorageField : public TCustomStorageField {
 public:
  using TCustomStorageField::TCustomStorageField;
  std::string GetAsString() const override { return DateTimeToStorageText(value_); }
  void SetAsString(std::string_view text) override { value_ = StorageTextToDateTime(text); }
  void SetAsDateTime(TDateTime value) override { value_ = value; }
  TDateTime GetAsDateTime() const override { return value_; }

 private:
  TDateTime value_ = 0;
};

// One result row: its fields sorted by name without regard to case; owns them.
class TStorageRow {
 public:
  // Takes ownership; a second field of the same name replaces the first.
  void Add(std::unique_ptr<TCustomStorageField> field);
  // EInvalidField "field <name> not found" when the row has no such column.
  TCustomStorageField& FieldByName(std::string_view name) const;
  TCustomStorageField* FindField(std::string_view name) const;  // nullptr when absent
  size_t Count() const { return fields_.size(); }
  TCustomStorageField& Field(size_t index) const { return *fields_.at(index); }

 private:
  std::vector<std::unique_ptr<TCustomStorageField>> fields_;  // sorted by name, case ignored
};

// The rows of one query in result order, with a cursor (-1 until First).
class TStorageContainer {
 public:
  TStorageRow& AddRow();
  void First() { cursor_ = 0; }
  void Next() { ++cursor_; }
  bool Eof() const { return cursor_ < 0 || cursor_ >= static_cast<int64_t>(rows_.size()); }
  // The row at the cursor; std::out_of_range when the cursor is on no row.
  TStorageRow& Current() const;
  size_t Count() const { return rows_.size(); }
  TStorageRow& Row(size_t index) const { return *rows_.at(index); }

 private:
  std::vector<std::unique_ptr<TStorageRow>> rows_;
  int64_t cursor_ = -1;
};

// Builds the typed field of one result column from its text, the column's prefix deciding the
// type: "s_", "i_" (an empty/NULL value reads as 0), "b_" (an empty value reads as
// `emptyBoolean`, which differs between the back-ends) and "dt_". Any other prefix logs and
// raises EDB "unknown field descriptor in header: %s"; an unreadable value raises EConvertError.
std::unique_ptr<TCustomStorageField> MakeResultField(const std::string& name, std::string_view text,
                                                     bool emptyBoolean);

// A parameter value as set by a caller; the back-end binds it to the statement, so a value is
// never part of the SQL text. Booleans are bound as -1/0, date-times as their 17-digit text.
using TStorageParamValue = std::variant<int64_t, std::string>;

// Failed statements since the process started, by back-end, for the metrics page: every
// statement a back-end logs as failed counts once. Any thread (relaxed atomic counters).
enum class TStorageBackend { SQLite, MariaDB };
void CountDatabaseError(TStorageBackend backend);
uint64_t DatabaseErrors(TStorageBackend backend);

// The error text of a write run with no script loaded (the file was missing or empty).
inline constexpr char kEmptyScript[] = "empty or missing script";
// The error text of a write where no storage is configured.
inline constexpr char kNoDatabase[] = "no database";

// The storage back-end. Parameters keep their names in the script (":sName", ":iServerID", ...)
// and are matched without regard to case.
class TCustomStorage {
 public:
  explicit TCustomStorage(std::string connectionText, std::string scriptDirectory = {});
  virtual ~TCustomStorage() = default;
  TCustomStorage(const TCustomStorage&) = delete;
  TCustomStorage& operator=(const TCustomStorage&) = delete;

  // Everything from LoadScript to reading the result runs under the storage lock (held by a
  // TStorageScript or TStorageLock), so one caller's parameters never meet another's script.
  // Parameter setters: apply to the script loaded last, until the next LoadScript.
  virtual void SetStringParam(std::string_view name, std::string_view value) REQUIRES(lock_);
  virtual void SetBooleanParam(std::string_view name, bool value) REQUIRES(lock_);
  virtual void SetDateTimeParam(std::string_view name, TDateTime value) REQUIRES(lock_);
  virtual void SetIntegerParam(std::string_view name, int64_t value) REQUIRES(lock_);

  // Schema probes, used at start-up. TableExists is a prefix test on the table names.
  virtual bool TableExists(std::string_view table) = 0;
  virtual bool ColumnExists(std::string_view table, std::string_view column) = 0;

  // Runs the loaded script, statement by statement; failed on an empty script or any error
  // (logged by the back-end), with the error text.
  virtual TStoreResult Execute() REQUIRES(lock_) = 0;
  // Runs the loaded query; nullptr for no rows, an empty script or an error (logged). Raises
  // EDB for a result it cannot type.
  virtual std::unique_ptr<TStorageContainer> Open() REQUIRES(lock_) = 0;
  // Whether the last Open failed (an empty or missing script, an SQL error, an untypable
  // result) rather than found no rows; both return nullptr.
  bool LastOpenFailed() const REQUIRES(lock_) { return lastOpenFailed_; }
  // Makes the file's text the script and forgets all parameters. A missing or unreadable
  // file logs "SQL file not found %1" and empties the script, so nothing runs after it.
  virtual bool LoadScript(const std::string& path) REQUIRES(lock_);
  // The row id of the last insert; -1 when the database is not open.
  virtual int64_t LastInsertId() = 0;

  // One transaction around several scripts, for a caller holding the storage lock throughout:
  // every Execute and Open until Commit or Rollback belongs to it, and a failure inside it is
  // not retried. Begin and Commit fail (logged) on an error; after a failed Commit the caller
  // still rolls back.
  virtual TStoreResult BeginTransaction() = 0;
  virtual TStoreResult CommitTransaction() = 0;
  virtual void RollbackTransaction() = 0;

  // The storage lock: level 4 of the server's lock order (vserver/ServerObject.h); recursive
  // like a critical section, so a caller holding it may call helpers that take it too.
  TRecursiveMutex& Mutex() const RETURN_CAPABILITY(lock_) { return lock_; }
  void Lock() ACQUIRE(lock_) { lock_.lock(); }
  void Unlock() RELEASE(lock_) { lock_.unlock(); }

  const std::string& ConnectionText() const { return connectionText_; }
  // The prefix joined to script file names (ends with a separator, or is empty).
  const std::string& ScriptDirectory() const { return scriptDirectory_; }
  void SetScriptDirectory(std::string dir) { scriptDirectory_ = std::move(dir); }

  // The loaded script, parameters unsubstituted (also what error lines show).
  const std::string& ScriptText() const REQUIRES(lock_) { return scriptText_; }

 protected:
  // Parameters by lower-cased name, including the colon.
  using TParamMap = std::map<std::string, TStorageParamValue, std::less<>>;
  const TParamMap& Params() const REQUIRES(lock_) { return params_; }
  void SetScriptText(std::string text) REQUIRES(lock_);
  void SetLastOpenFailed(bool failed) REQUIRES(lock_) { lastOpenFailed_ = failed; }

 private:
  void SetParam(std::string_view name, TStorageParamValue value) REQUIRES(lock_);

  // set at construction
  const std::string connectionText_;
  std::string scriptDirectory_;  // set once during start-up, read afterwards
  mutable TRecursiveMutex lock_;
  // guarded by lock_
  std::string scriptText_ GUARDED_BY(lock_);
  TParamMap params_ GUARDED_BY(lock_);
  bool lastOpenFailed_ GUARDED_BY(lock_) = false;
};

// Holds the storage lock for a scope (for callers that probe the schema or run several
// TStorageScripts as one unit): `TStorageLock lock(storage.Mutex());`.
using TStorageLock = TLockGuard<TRecursiveMutex>;

// Scoped load-bind-run: locks the storage, loads a script of the storage's script directory,
// and unlocks on every path out, exceptions included. Setters chain:
//   TStorageScript q(storage, "read_bans.sql");
//   auto rows = q.SetInteger(":iServerID", id).Open();
// Load() may load a further script under the same lock (read, then insert or update). Its
// methods reach the storage only while the object holds the lock, which the analysis cannot
// see through the member reference, so they are exempt from it.
class SCOPED_CAPABILITY TStorageScript {
 public:
  TStorageScript(TCustomStorage& storage, std::string_view scriptFile) ACQUIRE(storage.Mutex());
  ~TStorageScript() RELEASE() NO_THREAD_SAFETY_ANALYSIS { storage_.Unlock(); }
  TStorageScript(const TStorageScript&) = delete;
  TStorageScript& operator=(const TStorageScript&) = delete;

  bool Load(std::string_view scriptFile) NO_THREAD_SAFETY_ANALYSIS;
  bool Loaded() const { return loaded_; }

  TStorageScript& SetString(std::string_view name,
                            std::string_view value) NO_THREAD_SAFETY_ANALYSIS;
  TStorageScript& SetInteger(std::string_view name, int64_t value) NO_THREAD_SAFETY_ANALYSIS;
  TStorageScript& SetBoolean(std::string_view name, bool value) NO_THREAD_SAFETY_ANALYSIS;
  TStorageScript& SetDateTime(std::string_view name, TDateTime value) NO_THREAD_SAFETY_ANALYSIS;

  TStoreResult Execute() NO_THREAD_SAFETY_ANALYSIS { return storage_.Execute(); }
  std::unique_ptr<TStorageContainer> Open() NO_THREAD_SAFETY_ANALYSIS { return storage_.Open(); }
  bool OpenFailed() const NO_THREAD_SAFETY_ANALYSIS { return storage_.LastOpenFailed(); }
  int64_t LastInsertId() { return storage_.LastInsertId(); }
  TCustomStorage& Storage() { return storage_; }

 private:
  TCustomStorage& storage_;
  bool loaded_ = false;
};

}  // namespace vh
