#include "host/CommandLine.h"

#include <initializer_list>

#include "common/Strings.h"

namespace vh {

namespace {

enum class TValueTreatment { AsIs, Trimmed };

struct TValuedOption {
  const char* text;
  std::optional<std::string> TCommandLine::*target;
  TValueTreatment treatment;
};

// Tested in this order; the first whose text the upper-cased argument contains wins.
const TValuedOption kValuedOptions[] = {
    {"-INI=", &TCommandLine::settingsFile, TValueTreatment::AsIs},
    {"-DB=", &TCommandLine::databaseFile, TValueTreatment::AsIs},
    {"-LOG=", &TCommandLine::logFile, TValueTreatment::AsIs},
    {"-PID=", &TCommandLine::pidFile, TValueTreatment::AsIs},
    {"-SQL=", &TCommandLine::sqlDirectory, TValueTreatment::AsIs},
    {"-BADNAMES=", &TCommandLine::badNamesFile, TValueTreatment::AsIs},
    {"-HTTPDOCS=", &TCommandLine::httpDocsDirectory, TValueTreatment::Trimmed},
    {"-TCPQUERYDOCS=", &TCommandLine::tcpQueryDocsDirectory, TValueTreatment::Trimmed},
};

bool StartsWithAny(const std::string& upper, std::initializer_list<const char*> prefixes) {
  for (const char* p : prefixes)
    if (upper.rfind(p, 0) == 0) return true;
  return false;
}

}  // namespace

std::string HelpText(const std::string& versionLine) {
  static const char* const kLines[] = {
      "Command parameters:",   " -db=<path>",       " -ini=<path>",
      " -sql=<path>",          " -log=<path>",      " -pid=<path>",
      " -badnames=<filename>", " -httpdocs=<path>", " -tcpquerydocs=<path>"};
  std::string text = versionLine + "\n\r";
  for (const char* line : kLines) {
    text += line;
    text += "\n\r";
  }
  return text;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args,
                              const std::string& versionLine) {
  TCommandLine result;
  for (const std::string& arg : args) {
    const std::string upper = UpperCase(arg);
    bool matched = false;
    for (const TValuedOption& o : kValuedOptions) {
      // The option may stand anywhere in the argument; the value is what follows as many
      // leading characters as the option text has (kept so for existing scripts).
      if (upper.find(o.text) == std::string::npos) continue;
      std::string value = arg.substr(std::min(arg.size(), std::char_traits<char>::length(o.text)));
      result.*(o.target) = o.treatment == TValueTreatment::Trimmed ? Trim(value) : value;
      matched = true;
      break;
    }
    if (matched) continue;
    if (StartsWithAny(upper, {"-VER", "--VER"})) {
      result.exitText = versionLine;
      return result;
    }
    if (StartsWithAny(upper, {"-?", "--?", "-H", "--H", "/HELP", "/?", "/H"})) {
      result.exitText = HelpText(versionLine);
      return result;
    }
    if (upper == "-NOPWDIALOG") result.noPasswordDialog = true;
  }
  return result;
}

}  // namespace vh
