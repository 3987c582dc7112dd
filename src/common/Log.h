// Process-wide text log ("server.log"). Every thread writes through the one log object;
// each line is formatted completely first, then written and flushed under the log's own
// lock, so lines of different threads never interleave. Created early in start-up and
// destroyed last at shutdown (main thread).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Mutex.h"

namespace vh {

// Message kinds and depths; only these values exist.
enum TLogKind : uint8_t { LMT_DEBUG = 0, LMT_WARNING = 1, LMT_ERROR = 2, LMT_ALL = 3 };
enum TLogDepth : uint8_t {
  LMD_IMPORTANT = 0,
  LMD_ALL = 1,
  LMD_USEFULL = 2,
  LMD_PROCEDUREINFO = 3,
  LMD_COMMANDS = 4,
  LMD_INFO = 5
};

const char* LogKindName(uint8_t kind);
const char* LogDepthName(uint8_t depth);

// One argument of LogFormat: numbers are written in decimal, texts as they are.
class TLogArg {
 public:
  TLogArg(std::string s) : text_(std::move(s)) {}
  TLogArg(std::string_view s) : text_(s) {}
  TLogArg(const char* s) : text_(s ? s : "") {}
  template <typename N, typename = std::enable_if_t<std::is_arithmetic_v<N>>>
  TLogArg(N n) : text_(std::to_string(n)) {}
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};
using TLogArgs = std::initializer_list<TLogArg>;

// Replaces %1, %2, ... in one pass over `format`: an argument's text is never scanned again,
// and the longest placeholder number that has an argument wins (%10 is the tenth argument
// when there are ten). Placeholders without an argument stay as they are.
std::string FormatPlaceholders(std::string_view format, const std::vector<std::string>& args);

// The log's one escaping function: every control byte (C0 and DEL) becomes a visible escape
// (\r, \n, \t, else \xNN) and a backslash becomes \\, so a message never breaks the
// one-line format, never reaches a terminal as a control sequence, and a typed "\n" can be told
// from an escaped line break.
std::string EscapeLogText(std::string_view message);

// Log writer base: holds the filter and the file name; subclasses write lines.
class TLogObject {
 public:
  TLogObject() = default;
  virtual ~TLogObject() = default;
  TLogObject(const TLogObject&) = delete;
  TLogObject& operator=(const TLogObject&) = delete;

  // Reads [debug] MessageTypes / MessageDepths from the settings file (again on a reload). Each key
  // that is missing or empty gets its default ("LMTALL", "LMDALL") and is written back on its own,
  // so a file that sets only one of them still logs. False when that write-back failed.
  // Also reads [log] TimeFormat (see SetIsoTime); a missing key is not written back.
  bool ReadFilter(const std::string& settingsFile);
  // Sets the filter from setting words directly (substring test, case ignored).
  void SetFilter(std::string_view messageTypes, std::string_view messageDepths);
  bool Passes(uint8_t kind, uint8_t depth) const;
  // [log] TimeFormat=iso8601: lines start "2026-12-09T09:16:17.304+00:00" (local time with its
  // offset, milliseconds) instead of the default "09-12-26 09:16:17".
  void SetIsoTime(bool iso) { isoTime_.store(iso, std::memory_order_relaxed); }
  bool IsoTime() const { return isoTime_.load(std::memory_order_relaxed); }

  void SetFileName(std::string name) { fileName_ = std::move(name); }
  const std::string& FileName() const { return fileName_; }

  void Log(uint8_t kind, uint8_t depth, std::string_view message, std::string_view category);
  // Writes whatever the filter says: only for the few lines an operator must never lose
  // (the generated first-start passwords).
  void LogUnfiltered(uint8_t kind, uint8_t depth, std::string_view message,
                     std::string_view category);
  void LogFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                 std::string_view category);
  void LogMemory(uint8_t kind, uint8_t depth, std::string_view category);
  void Entered(uint8_t kind, uint8_t depth, std::string_view name, std::string_view category);
  void Left(uint8_t kind, uint8_t depth, std::string_view name, std::string_view category);
  // The same with the name built from a format and its arguments.
  void EnteredFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                     std::string_view category);
  void LeftFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                  std::string_view category);

  virtual void WriteOpeningBanner() {}
  virtual void WriteClosingBanner() {}

 protected:
  // Writes one formatted line; the only operation that touches the output.
  virtual void WriteLine(uint8_t kind, uint8_t depth, std::string_view category,
                         std::string_view message) = 0;

 private:
  // Bit per kind and per depth; set at creation and replaced whole by a reload while other
  // threads test them, hence atomic.
  std::atomic<uint8_t> kinds_{0};
  std::atomic<uint8_t> depths_{0};
  std::atomic<bool> isoTime_{false};
  std::string fileName_;
};

// The file log. The file stays open after the first successful open; a failed open drops
// the line and the next write tries again. The file name "-" (kStandardErrorLog) writes to
// standard error instead, one line per record, for a service manager's journal.
class TLogFile : public TLogObject {
 public:
  TLogFile() = default;
  ~TLogFile() override;

  bool Open();
  // Closes the file and opens the file name again, so that a file moved away (log rotation)
  // is left behind and a new one is created. Lines written meanwhile wait for the log lock;
  // none is lost.
  void Reopen();
  void WriteOpeningBanner() override;
  void WriteClosingBanner() override;

 protected:
  void WriteLine(uint8_t kind, uint8_t depth, std::string_view category,
                 std::string_view message) override;

 private:
  void WriteRaw(const std::string& text) EXCLUDES(mutex_);
  bool OpenLocked() REQUIRES(mutex_);

  TMutex mutex_;
  FILE* file_ GUARDED_BY(mutex_) = nullptr;
  bool closed_ GUARDED_BY(mutex_) = false;  // set by the closing banner
};

// Collects lines in memory; used by tests to check what was logged.
class TMemoryLog : public TLogObject {
 public:
  TMemoryLog() { SetFilter("LMTALL", "LMDALL"); }
  std::vector<std::string> Lines() const;  // "KIND,Depth,category,\tmessage"
  bool Contains(std::string_view fragment) const;
  size_t Count(std::string_view fragment) const;
  void Clear();

 protected:
  void WriteLine(uint8_t kind, uint8_t depth, std::string_view category,
                 std::string_view message) override;

 private:
  mutable TMutex mutex_;
  std::vector<std::string> lines_ GUARDED_BY(mutex_);
};

constexpr const char* kStandardErrorLog = "-";

// The time stamp of a log line: "dd-mm-yy hh:nn:ss" in local time, or with `iso` the ISO 8601
// form "yyyy-mm-ddThh:nn:ss.mmm+hh:mm" (local time and its offset from UTC).
std::string LogTimeStamp(std::chrono::system_clock::time_point when, bool iso);

// The process-wide log. Installing replaces (and destroys) the previous one.
void CreateLog(const std::string& settingsFile, const std::string& logFile);
void InstallLog(std::unique_ptr<TLogObject> log);
void DestroyLog();
bool LogExists();
// Reopens the file of the process-wide file log (after log rotation moved it away).
void ReopenLog();
// Reads the process-wide log's filter from the settings file again. False when the filter's
// defaults could not be written back.
bool ReloadLogFilter(const std::string& settingsFile);

// Shortcuts to the process-wide log; they do nothing when there is none.
void Log(uint8_t kind, uint8_t depth, std::string_view message, std::string_view category);
void LogUnfiltered(uint8_t kind, uint8_t depth, std::string_view message,
                   std::string_view category);
void LogFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
               std::string_view category);

// "<Operation> Exception: <class>.<message>" (kind ERROR, depth All) at an operation's boundary.
void LogException(std::string_view operation, const std::exception& e, std::string_view category);
// The exception's class name without namespaces, e.g. "EPacket".
std::string ExceptionClassName(const std::exception& e);

}  // namespace vh
