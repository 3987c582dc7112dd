// What SQLite's flush level costs the administration: query commands that write, answered by
// the query interpreter in process against one running virtual server, with the database in
// the working directory (a real disk, not a memory file system). Each benchmark runs under
// synchronous=FULL (the default) and NORMAL.
//   build/bin/admin_write_bench
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "admin/AccountAdmin.h"
#include "admin/AdminContext.h"
#include "admin/LoginFailures.h"
#include "admin/ServerAdmin.h"
#include "admin/tcpquery/QueryInterpreter.h"
#include "admin/tcpquery/QuerySession.h"
#include "common/SecurityLog.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "transport/Clocks.h"
#include "vserver/VServerEnvironment.h"
#include "vserver/VirtualServerList.h"

namespace {

using namespace vh;

uint16_t FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("no free port");
  ::close(fd);
  return ntohs(a.sin_port);
}

// One database, one running virtual server and a super admin session selected on it.
struct TWorld {
  std::string dir;
  TFixedVServerEnvironment environment{THostPolicy{}, std::vector<std::string>{"127.0.0.1"}};
  std::unique_ptr<TCustomStorage> storage;
  TVirtualServerList servers;
  TAdminContext context;
  TManualClock clock;
  std::unique_ptr<TLoginFailures> failures;
  std::unique_ptr<TQueryServices> services;
  std::unique_ptr<TQueryInterpreter> interpreter;
  TQuerySession session{"127.0.0.1"};

  explicit TWorld(const char* synchronous) {
    char pattern[] = "admin-write-bench-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("no directory");
    dir = pattern;
    storage = std::make_unique<TSQLiteStorage>(
        dir + "/server.dbs", std::string(VH_SOURCE_DIR) + "/sqlite_sql/", synchronous);
    if (!CreateTables(storage.get()) || !UpgradeDatabase(storage.get()))
      throw std::runtime_error("no tables");
    context.storage = storage.get();
    context.servers = &servers;
    context.environment = &environment;
    const uint16_t port = FreeUdpPort();
    if (AddNewServer(context, port) != TServerOpResult::Done ||
        AddSuperAccount(*storage, "root", "rootpw") != 0)
      throw std::runtime_error("no server");
    failures = std::make_unique<TLoginFailures>(clock, std::string(kQueryInterface));
    services = std::make_unique<TQueryServices>(
        TQueryServices{context, *failures, clock, [] { return std::vector<TSessionSummary>{}; }});
    interpreter = std::make_unique<TQueryInterpreter>(*services);
    interpreter->Open(session);
    Line("slogin root rootpw");
    Line("sel " + std::to_string(port));
  }
  ~TWorld() {
    servers.StopVirtualServers(0);
    storage.reset();
    std::filesystem::remove_all(dir);
  }
  std::string Line(const std::string& text) {
    return interpreter->HandleLine(session, {text, false});
  }
};

const char* Level(const benchmark::State& state) {
  return state.range(0) ? "FULL" : "NORMAL";
}

void BM_ServerSet(benchmark::State& state) {
  TWorld w(Level(state));
  int64_t i = 0;
  for (auto _ : state) {
    const std::string answer =
        w.Line("serverset server_welcomemessage welcome " + std::to_string(++i));
    if (answer.rfind("OK", 0) != 0) state.SkipWithError(answer.c_str());
  }
  state.SetLabel(Level(state));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ServerSet)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// A new account per iteration.
void BM_AccountAdd(benchmark::State& state) {
  TWorld w(Level(state));
  int64_t i = 0;
  for (auto _ : state) {
    const std::string answer = w.Line("dbuseradd user" + std::to_string(++i) + " pw pw 0");
    if (answer.rfind("OK", 0) != 0) state.SkipWithError(answer.c_str());
  }
  state.SetLabel(Level(state));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AccountAdd)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
