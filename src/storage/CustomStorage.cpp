#include "storage/CustomStorage.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/Log.h"
#include "common/Strings.h"

namespace vh {

namespace {

[[noreturn]] void AbstractCall() {
  throw EAbstractError("Abstract Error");
}

// Orders names as the row keeps them: case ignored, bytes otherwise.
int CompareNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

// ---- fields ----

bool TCustomStorageField::GetAsBoolean() const {
  AbstractCall();
}
int32_t TCustomStorageField::GetAsInteger() const {
  AbstractCall();
}
void TCustomStorageField::SetAsBoolean(bool) {
  AbstractCall();
}
void TCustomStorageField::SetAsInteger(int32_t) {
  AbstractCall();
}
void TCustomStorageField::SetAsDateTime(TDateTime) {
  AbstractCall();
}
TDateTime TCustomStorageField::GetAsDateTime() const {
  AbstractCall();
}

std::string TIntegerStorageField::GetAsString() const {
  return std::to_string(value_);
}

void TIntegerStorageField::SetAsString(std::string_view text) {
  int64_t n = 0;
  if (!TryParseInt(text, n) || n < INT32_MIN || n > INT32_MAX)
    throw EConvertError("'" + PrintableSample(text) + "' is not a valid integer value");
  value_ = static_cast<int32_t>(n);
}

void TBooleanStorageField::SetAsString(std::string_view text) {
  const std::string t = Trim(text);
  if (!t.empty()) {
    errno = 0;
    char* end = nullptr;
    const double d = std::strtod(t.c_str(), &end);
    if (errno == 0 && end == t.c_str() + t.size()) {
      value_ = d != 0;
      return;
    }
  }
  if (EqualsIgnoreCase(t, "true")) {
    value_ = true;
  } else if (EqualsIgnoreCase(t, "false")) {
    value_ = false;
  } else {
    throw EConvertError("'" + PrintableSample(text) + "' is not a valid boolean value");
  }
}

static bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

std::unique_ptr<TCustomStorageField> MakeResultField(const std::string& name, std::string_view text,
                                                     bool emptyBoolean) {
  std::unique_ptr<TCustomStorageField> field;
  if (StartsWithIgnoreCase(name, "s_")) {
    field = std::make_unique<TStringStorageField>(name);
  } else if (StartsWithIgnoreCase(name, "i_")) {
    field = std::make_unique<TIntegerStorageField>(name);
    if (text.empty()) text = "0";
  } else if (StartsWithIgnoreCase(name, "b_")) {
    field = std::make_unique<TBooleanStorageField>(name);
    if (text.empty()) text = emptyBoolean ? "-1" : "0";
  } else if (StartsWithIgnoreCase(name, "dt_")) {
    field = std::make_unique<TDateTimeStorageField>(name);
  } else {
    LogFormat(LMT_ERROR, LMD_ALL, {name}, "unknown field descriptor in header: %1", "SQL");
    throw EDB("unknown field descriptor in header: " + name);
  }
  field->SetAsString(text);
  return field;
}

// ---- rows and containers ----

void TStorageRow::Add(std::unique_ptr<TCustomStorageField> field) {
  auto it =
      std::lower_bound(fields_.begin(), fields_.end(), field->Name(),
                       [](const std::unique_ptr<TCustomStorageField>& f, const std::string& name) {
                         return CompareNames(f->Name(), name) < 0;
                       });
  if (it != fields_.end() && CompareNames((*it)->Name(), field->Name()) == 0) {
    *it = std::move(field);
  } else {
    fields_.insert(it, std::move(field));
  }
}

TCustomStorageField* TStorageRow::FindField(std::string_view name) const {
  auto it = std::lower_bound(fields_.begin(), fields_.end(), name,
                             [](const std::unique_ptr<TCustomStorageField>& f, std::string_view n) {
                               return CompareNames(f->Name(), n) < 0;
                             });
  if (it != fields_.end() && CompareNames((*it)->Name(), name) == 0) return it->get();
  return nullptr;
}

TCustomStorageField& TStorageRow::FieldByName(std::string_view name) const {
  if (TCustomStorageField* f = FindField(name)) return *f;
  throw EInvalidField("field " + std::string(name) + " not found");
}

TStorageRow& TStorageContainer::AddRow() {
  rows_.push_back(std::make_unique<TStorageRow>());
  return *rows_.back();
}

TStorageRow& TStorageContainer::Current() const {
  if (Eof()) throw std::out_of_range("TStorageContainer: cursor is on no row");
  return *rows_[static_cast<size_t>(cursor_)];
}

// ---- storage ----

TCustomStorage::TCustomStorage(std::string connectionText, std::string scriptDirectory)
    : connectionText_(std::move(connectionText)), scriptDirectory_(std::move(scriptDirectory)) {}

void TCustomStorage::SetParam(std::string_view name, TStorageParamValue value) {
  params_[LowerCase(name)] = std::move(value);
}

void TCustomStorage::SetStringParam(std::string_view name, std::string_view value) {
  SetParam(name, std::string(value));
}

void TCustomStorage::SetBooleanParam(std::string_view name, bool value) {
  SetParam(name, int64_t{value ? -1 : 0});
}

void TCustomStorage::SetDateTimeParam(std::string_view name, TDateTime value) {
  SetParam(name, DateTimeToStorageText(value));
}

void TCustomStorage::SetIntegerParam(std::string_view name, int64_t value) {
  SetParam(name, value);
}

void TCustomStorage::SetScriptText(std::string text) {
  scriptText_ = std::move(text);
  params_.clear();
}

bool TCustomStorage::LoadScript(const std::string& path) {
  // Whatever happens, the previous script and its values are gone: a failed load must never
  // let the earlier statement run again.
  SetScriptText({});
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in && (text << in.rdbuf()) && !in.bad()) {
      SetScriptText(text.str());
      return true;
    }
  }
  LogFormat(LMT_ERROR, LMD_ALL, {path}, "SQL file not found %1", "SQL");
  return false;
}

// ---- scoped script ----

TStorageScript::TStorageScript(TCustomStorage& storage,
                               std::string_view scriptFile) NO_THREAD_SAFETY_ANALYSIS
    : storage_(storage) {
  storage_.Lock();
  try {
    Load(scriptFile);
  } catch (...) {
    storage_.Unlock();
    throw;
  }
}

bool TStorageScript::Load(std::string_view scriptFile) {
  loaded_ = storage_.LoadScript(storage_.ScriptDirectory() + std::string(scriptFile));
  return loaded_;
}

TStorageScript& TStorageScript::SetString(std::string_view name, std::string_view value) {
  storage_.SetStringParam(name, value);
  return *this;
}

TStorageScript& TStorageScript::SetInteger(std::string_view name, int64_t value) {
  storage_.SetIntegerParam(name, value);
  return *this;
}

TStorageScript& TStorageScript::SetBoolean(std::string_view name, bool value) {
  storage_.SetBooleanParam(name, value);
  return *this;
}

TStorageScript& TStorageScript::SetDateTime(std::string_view name, TDateTime value) {
  storage_.SetDateTimeParam(name, value);
  return *this;
}

namespace {
std::atomic<uint64_t> gDatabaseErrors[2];
}  // namespace

void CountDatabaseError(TStorageBackend backend) {
  gDatabaseErrors[static_cast<size_t>(backend)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t DatabaseErrors(TStorageBackend backend) {
  return gDatabaseErrors[static_cast<size_t>(backend)].load(std::memory_order_relaxed);
}

}  // namespace vh
