// The query protocol without sockets: what a connection is told when it opens, and the answer
// to each framed line (re-validation of the login, command matching, the checks of the command
// table in their fixed order, the handler). One interpreter serves every connection; its
// state is the shared services (storage, server list, failed logins, clock), each with its
// own lock, so connection threads call it concurrently, each with its own session.
#pragma once

#include <string>

#include "admin/tcpquery/QueryCommands.h"
#include "admin/tcpquery/QueryLineReader.h"

namespace vh {

class TQueryInterpreter {
 public:
  static constexpr double kRevalidateMs = 2000;

  explicit TQueryInterpreter(const TQueryServices& services) : services_(services) {}

  // A new connection: the refusal line (the session is then marked to close) or the greeting,
  // with the session's server list taken.
  std::string Open(TQuerySession& session);
  // The answer to one line; session.Close tells the caller to end the connection after it.
  std::string HandleLine(TQuerySession& session, const TQueryLine& line);

 private:
  void Revalidate(TQuerySession& session);
  void Dispatch(const TQueryCommand& command, TQueryCall& call);

  const TQueryServices& services_;
};

// The running virtual servers as a session lists them.
std::vector<TListedServer> SnapshotServerList(const TAdminContext& admin);
// Runs `use` on the listed server while it is still running (under the list lock); false
// when it has been stopped or deleted since it was listed.
bool WithListedServer(const TAdminContext& admin, const TListedServer& listed,
                      const std::function<void(TServerObject&)>& use);
// The text "lc" shows for a line: passwords never appear.
std::string HiddenCommandLine(const std::string& line, const TQueryCommand* command);

}  // namespace vh
