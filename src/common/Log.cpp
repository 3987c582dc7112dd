#include "common/Log.h"

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <shared_mutex>
#include <typeinfo>

#include "common/IniFile.h"
#include "common/PrivateFile.h"
#include "common/Strings.h"

namespace vh {

namespace {

constexpr const char* kKindNames[] = {"DEBUG", "WARNING", "ERROR", "ALL"};
constexpr const char* kDepthNames[] = {"Important",     "All",      "Usefull",
                                       "ProcedureInfo", "Commands", "Info"};
constexpr const char* kKindWords[] = {"LMTDEBUG", "LMTWARNING", "LMTERROR", "LMTALL"};
constexpr const char* kDepthWords[] = {"LMDIMPORTANT",     "LMDALL",      "LMDUSEFULL",
                                       "LMDPROCEDUREINFO", "LMDCOMMANDS", "LMDINFO"};

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> ArgTexts(TLogArgs args) {
  std::vector<std::string> texts;
  texts.reserve(args.size());
  for (const TLogArg& a : args) texts.push_back(a.Text());
  return texts;
}

std::string FormatNow(const char* fmt) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, fmt, &tm);
  return buf;
}

}  // namespace

std::string LogTimeStamp(std::chrono::system_clock::time_point when, bool iso) {
  const std::time_t whole = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&whole, &tm);
  char buf[64];
  if (!iso) {
    std::strftime(buf, sizeof buf, "%d-%m-%y %H:%M:%S", &tm);
    return buf;
  }
  using namespace std::chrono;
  const auto sinceSecond = when - time_point_cast<seconds>(when);
  int millis = static_cast<int>(duration_cast<milliseconds>(sinceSecond).count());
  if (millis < 0) millis += 1000;  // before 1970, to_time_t rounds toward zero
  const long offset = tm.tm_gmtoff;
  const long absolute = offset < 0 ? -offset : offset;
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03d%c%02ld:%02ld", millis, offset < 0 ? '-' : '+',
                absolute / 3600, absolute / 60 % 60);
  return buf;
}

namespace {

std::shared_mutex gLogMutex;       // guards gLog: writers share it, install/destroy take it alone
std::unique_ptr<TLogObject> gLog;  // guarded by gLogMutex

}  // namespace

const char* LogKindName(uint8_t kind) {
  return kind < 4 ? kKindNames[kind] : "UNKNOWN";
}
const char* LogDepthName(uint8_t depth) {
  return depth < 6 ? kDepthNames[depth] : "Unknown";
}

std::string FormatPlaceholders(std::string_view format, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(format.size() + 16);
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%' || args.empty()) {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j]))) ++j;
    std::string_view digits = format.substr(i + 1, j - i - 1);
    size_t n = 0;
    bool valid = !digits.empty() && digits[0] != '0' && digits.size() <= 9;
    if (valid)
      for (char d : digits) n = n * 10 + static_cast<size_t>(d - '0');
    if (valid && n >= 1 && n <= args.size()) {
      out += args[n - 1];
    } else {
      out.append(format.substr(i, j - i));
    }
    i = j;
  }
  return out;
}

std::string EscapeLogText(std::string_view message) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(message.size());
  for (char ch : message) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c == 127) {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

bool TLogObject::ReadFilter(const std::string& settingsFile) {
  TIniFile ini;
  // A file that cannot be read still gets the defaults in memory; start-up reports the file.
  const bool loaded = ini.Load(settingsFile);
  std::vector<TIniEdit> completion;
  for (auto [key, def] :
       {std::pair{"MessageTypes", "LMTALL"}, std::pair{"MessageDepths", "LMDALL"}}) {
    if (!ini.ReadString("debug", key, "").empty()) continue;
    ini.WriteString("debug", key, def);
    completion.push_back(TIniEdit{"debug", key, def});
  }
  std::string error;
  bool saved = completion.empty() || !loaded || UpdateIniFile(settingsFile, completion, error);
  SetIsoTime(EqualsIgnoreCase(Trim(ini.ReadString("log", "TimeFormat", "")), "iso8601"));
  SetFilter(ini.ReadString("debug", "MessageTypes", ""),
            ini.ReadString("debug", "MessageDepths", ""));
  return saved;
}

void TLogObject::SetFilter(std::string_view messageTypes, std::string_view messageDepths) {
  std::string t = Upper(messageTypes), d = Upper(messageDepths);
  uint8_t kinds = 0, depths = 0;
  for (int k = 0; k < 4; ++k)
    if (t.find(kKindWords[k]) != std::string::npos) kinds |= static_cast<uint8_t>(1u << k);
  for (int k = 0; k < 6; ++k)
    if (d.find(kDepthWords[k]) != std::string::npos) depths |= static_cast<uint8_t>(1u << k);
  kinds_.store(kinds, std::memory_order_relaxed);
  depths_.store(depths, std::memory_order_relaxed);
}

bool TLogObject::Passes(uint8_t kind, uint8_t depth) const {
  const unsigned kinds = kinds_.load(std::memory_order_relaxed);
  const unsigned depths = depths_.load(std::memory_order_relaxed);
  bool kindOk = kind < 8 && ((kinds & (1u << kind)) || (kinds & (1u << LMT_ALL)));
  bool depthOk = depth < 8 && ((depths & (1u << LMD_ALL)) || (depths & (1u << depth)));
  return kindOk && depthOk;
}

void TLogObject::Log(uint8_t kind, uint8_t depth, std::string_view message,
                     std::string_view category) {
  if (!Passes(kind, depth)) return;
  WriteLine(kind, depth, category, message);
}

void TLogObject::LogUnfiltered(uint8_t kind, uint8_t depth, std::string_view message,
                               std::string_view category) {
  WriteLine(kind, depth, category, message);
}

void TLogObject::LogFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                           std::string_view category) {
  if (!Passes(kind, depth)) return;
  WriteLine(kind, depth, category, FormatPlaceholders(format, ArgTexts(args)));
}

void TLogObject::LogMemory(uint8_t kind, uint8_t depth, std::string_view category) {
  Log(kind, depth, " !!! LogMemory not supported yet !!!", category);
}

void TLogObject::Entered(uint8_t kind, uint8_t depth, std::string_view name,
                         std::string_view category) {
  Log(kind, depth, " Entered " + std::string(name), category);
}

void TLogObject::Left(uint8_t kind, uint8_t depth, std::string_view name,
                      std::string_view category) {
  Log(kind, depth, " Left " + std::string(name), category);
}

void TLogObject::EnteredFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                               std::string_view category) {
  if (!Passes(kind, depth)) return;
  Entered(kind, depth, FormatPlaceholders(format, ArgTexts(args)), category);
}

void TLogObject::LeftFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                            std::string_view category) {
  if (!Passes(kind, depth)) return;
  Left(kind, depth, FormatPlaceholders(format, ArgTexts(args)), category);
}

TLogFile::~TLogFile() {
  WriteClosingBanner();
  TLockGuard lock(mutex_);
  if (file_ && file_ != stderr) std::fclose(file_);
  file_ = nullptr;
}

bool TLogFile::OpenLocked() {
  if (file_) return true;
  if (closed_ || FileName().empty()) return false;
  if (FileName() == kStandardErrorLog) {
    file_ = stderr;
    return true;
  }
  // Created private: the log holds the first-start passwords and every login name.
  file_ = OpenPrivateFileForAppend(FileName());
  return file_ != nullptr;
}

bool TLogFile::Open() {
  TLockGuard lock(mutex_);
  return OpenLocked();
}

void TLogFile::WriteRaw(const std::string& text) {
  TLockGuard lock(mutex_);
  if (!OpenLocked()) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
    // Drop the handle; the next line reopens the file.
    if (file_ != stderr) std::fclose(file_);
    file_ = nullptr;
  }
}

void TLogFile::Reopen() {
  TLockGuard lock(mutex_);
  if (file_ && file_ != stderr) std::fclose(file_);
  file_ = nullptr;
  OpenLocked();  // a failure is retried by the next line, as for any failed open
}

void TLogFile::WriteOpeningBanner() {
  const std::string dashes(63, '-');
  WriteRaw(dashes + "\n-------------- log started at " + FormatNow("%d-%m-%y %H:%M") +
           " -------------\n" + dashes + "\n");
}

void TLogFile::WriteClosingBanner() {
  const std::string dashes(63, '-');
  WriteRaw(dashes + "\n--------------- log ended at " + FormatNow("%d-%m-%y %H:%M") +
           " --------------\n" + dashes + "\n");
  TLockGuard lock(mutex_);
  if (file_ && file_ != stderr) std::fclose(file_);
  file_ = nullptr;
  closed_ = true;
}

void TLogFile::WriteLine(uint8_t kind, uint8_t depth, std::string_view category,
                         std::string_view message) {
  std::string line = LogTimeStamp(std::chrono::system_clock::now(), IsoTime());
  line += ',';
  line += LogKindName(kind);
  line += ',';
  line += LogDepthName(depth);
  line += ',';
  line += category;
  line += ",\t";
  line += EscapeLogText(message);
  line += '\n';
  WriteRaw(line);
}

std::vector<std::string> TMemoryLog::Lines() const {
  TLockGuard lock(mutex_);
  return lines_;
}

bool TMemoryLog::Contains(std::string_view fragment) const {
  return Count(fragment) > 0;
}

size_t TMemoryLog::Count(std::string_view fragment) const {
  TLockGuard lock(mutex_);
  return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
    return l.find(fragment) != std::string::npos;
  }));
}

void TMemoryLog::Clear() {
  TLockGuard lock(mutex_);
  lines_.clear();
}

void TMemoryLog::WriteLine(uint8_t kind, uint8_t depth, std::string_view category,
                           std::string_view message) {
  std::string line = std::string(LogKindName(kind)) + "," + LogDepthName(depth) + "," +
                     std::string(category) + ",\t" + EscapeLogText(message);
  TLockGuard lock(mutex_);
  lines_.push_back(std::move(line));
}

void CreateLog(const std::string& settingsFile, const std::string& logFile) {
  auto log = std::make_unique<TLogFile>();
  log->SetFileName(logFile);
  bool filterSaved = log->ReadFilter(settingsFile);
  log->WriteOpeningBanner();
  InstallLog(std::move(log));
  if (!filterSaved)
    Log(LMT_ERROR, LMD_ALL, "CreateLog: unable to write server config file: " + settingsFile + " ",
        "GENERAL");
}

void InstallLog(std::unique_ptr<TLogObject> log) {
  std::unique_ptr<TLogObject> old;
  {
    std::lock_guard lock(gLogMutex);
    old = std::move(gLog);
    gLog = std::move(log);
  }
}

void ReopenLog() {
  std::shared_lock lock(gLogMutex);
  if (auto* file = dynamic_cast<TLogFile*>(gLog.get())) file->Reopen();
}

bool ReloadLogFilter(const std::string& settingsFile) {
  std::shared_lock lock(gLogMutex);
  return !gLog || gLog->ReadFilter(settingsFile);
}

void DestroyLog() {
  InstallLog(nullptr);
}

bool LogExists() {
  std::shared_lock lock(gLogMutex);
  return gLog != nullptr;
}

void Log(uint8_t kind, uint8_t depth, std::string_view message, std::string_view category) {
  std::shared_lock lock(gLogMutex);
  if (gLog) gLog->Log(kind, depth, message, category);
}

void LogUnfiltered(uint8_t kind, uint8_t depth, std::string_view message,
                   std::string_view category) {
  std::shared_lock lock(gLogMutex);
  if (gLog) gLog->LogUnfiltered(kind, depth, message, category);
}

void LogFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
               std::string_view category) {
  std::shared_lock lock(gLogMutex);
  if (gLog) gLog->LogFormat(kind, depth, args, format, category);
}

std::string ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : mangled;
  std::free(demangled);
  size_t pos = name.rfind("::");
  if (pos != std::string::npos) name = name.substr(pos + 2);
  return name;
}

void LogException(std::string_view operation, const std::exception& e, std::string_view category) {
  Log(LMT_ERROR, LMD_ALL,
      std::string(operation) + " Exception: " + ExceptionClassName(e) + "." + e.what(), category);
}

}  // namespace vh
