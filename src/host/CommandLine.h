// Command-line parsing of the server program. Pure: takes the arguments, returns the paths
// they set and whether a version or help request ends the process. Main thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vh {

struct TCommandLine {
  std::optional<std::string> settingsFile, databaseFile, logFile, pidFile, sqlDirectory,
      badNamesFile, httpDocsDirectory, tcpQueryDocsDirectory;
  bool noPasswordDialog = false;
  // Set when a version or help request ends the process; holds the text to show.
  std::optional<std::string> exitText;
};

// Examines the arguments (without the program name) one by one in order.
TCommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& versionLine);

// The help text: the version line and the option lines, each followed by LF then CR.
std::string HelpText(const std::string& versionLine);

}  // namespace vh
