// The TCP query's line reader and interpreter in process, against a small server list (one
// running virtual server, a super admin). Each input is one connection: a first byte picks
// anonymous, super admin, or super admin with the server selected; the rest arrives in chunks
// of input-chosen sizes through the line reader, and every framed line is answered by the
// interpreter until the session closes. Commands that start, stop, add or delete servers or
// move a port, and those that would remove or change the super admin, are skipped: the world
// must stay the same across inputs. Checks the reader's memory bound and that every answer
// ends its last line.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AdminWorld.h"
#include "FuzzInput.h"
#include "admin/LoginFailures.h"
#include "admin/tcpquery/QueryInterpreter.h"
#include "admin/tcpquery/QueryLineReader.h"
#include "admin/tcpquery/QuerySession.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "transport/Clocks.h"

namespace {

using namespace vh;

bool Skipped(const std::string& line) {
  const std::string text = LowerCase(Trim(line));
  const std::string word = text.substr(0, text.find_first_of(" \t"));
  for (const char* w : {"serverstart", "serverstop", "serveradd", "serverdel", "dbsuserdel",
                        "dbsuserchangepw", "rehash", "globalset"})
    if (word == w) return true;
  return word == "serverset" && text.find("udpport") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::TAdminWorld* world = new fuzz::TAdminWorld("query-fuzz");
  static TManualClock clock;
  fuzz::TFuzzInput in(data, size);
  TLoginFailures failures(
      clock,
      std::string(kQueryInterface));  // fresh each input: guesses must not refuse later inputs
  const TQueryServices services{world->context, failures, clock,
                                [] { return std::vector<TSessionSummary>{}; }};
  TQueryInterpreter interpreter(services);
  TQuerySession session("127.0.0.1");
  std::string answer = interpreter.Open(session);
  const uint8_t mode = in.Byte() % 3;
  if (mode >= 1) answer = interpreter.HandleLine(session, {"slogin root rootpw", false});
  if (mode == 2)
    answer = interpreter.HandleLine(session, {"sel " + std::to_string(world->serverPort), false});
  TQueryLineReader reader;
  std::vector<TQueryLine> lines;
  while (!in.Done() && !session.Close) {
    const std::string chunk = in.Bytes(1 + in.Byte() % 64 * 8);
    lines.clear();
    reader.Feed(chunk, lines);
    // One byte over the room may be the CR before the line feed.
    fuzz::Check(reader.Pending() <= TQueryLineReader::kMaxLineLength + 1);
    for (const TQueryLine& line : lines) {
      if (session.Close) break;
      if (!line.TooLong && Skipped(line.Text)) continue;
      answer = interpreter.HandleLine(session, line);
      fuzz::Check(answer.empty() ||
                  (answer.size() >= 2 && answer.compare(answer.size() - 2, 2, "\r\n") == 0));
      clock.Advance(50);
    }
  }
  return 0;
}
