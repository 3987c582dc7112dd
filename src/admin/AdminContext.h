// What the administration front ends (TCP query, web interface) are handed by the host at
// construction: the storage, the list of running virtual servers, the environment new virtual
// servers get, the host's settings as a snapshot, and the few host actions they may trigger.
// Set once before the front end starts; read by its connection threads without a lock (the
// settings snapshot and the callbacks are the host's to make thread-safe).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vh {

class TCustomStorage;
class TVirtualServerList;
class TVServerEnvironment;
class TStatisticsHistory;

// The host settings the administration commands show or use.
struct TAdminSettings {
  std::string DateTimeFormat = "dd-mm-yyyy hh:nn:ss";
  std::string ISPName = "Private";
  std::string ISPLinkURL = "na";
  std::string AdminEmail = "na";
  int ISPCountryNumber = 0;
  std::string GFXURL;
  std::string AllowedClientNameChars;
  std::string DisAllowedClientNameChars = "()[]{}";
  bool LogServerAdmin = false;  // [log] sa: administrator actions go to "SALog"
  // [WebPost] and [Spam], shown and changed by the web interface's basic settings.
  std::string PostURL;
  bool WebPostEnabled = true;
  bool ListPublic = true;
  int SpamMaxCommands = 10;
  int SpamInSeconds = 2;
};

struct TAdminContext {
  TCustomStorage* storage = nullptr;
  TVirtualServerList* servers = nullptr;
  TVServerEnvironment* environment = nullptr;  // handed to the virtual servers started here
  std::string logFile;                         // read by the log commands
  std::string apiTokenFile;                    // the web API's tokens; empty: memory only
  const TStatisticsHistory* statistics = nullptr;  // the charts' history; null: none kept
  std::string helpDirectory;                   // one help file per query command
  std::string platformLabel;
  int64_t startTimeSeconds = 0;  // process start, seconds since the epoch (uptime)
  // A snapshot of the host settings; the defaults when not set.
  std::function<TAdminSettings()> settings;
  // Changes one global setting and writes the settings back; false for an unknown variable.
  std::function<bool(const std::string& variable, const std::string& value)> globalSet;
  // Replaces the [WebPost] and [Spam] settings of `basic` and writes the settings back.
  std::function<void(const TAdminSettings& basic)> basicSet;
  // Reads the host's settings file again (the "rehash" command); false when it failed.
  std::function<bool()> reloadSettings;

  TAdminSettings Settings() const { return settings ? settings() : TAdminSettings{}; }
};

}  // namespace vh
