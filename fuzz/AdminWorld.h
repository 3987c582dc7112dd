// The administration side in process for the fuzz harnesses: a fresh SQLite database in the
// working directory (scripts/fuzz.sh runs the harnesses in build-fuzz/), a virtual-server list
// with one running virtual server on a free loopback UDP port, and a super server admin
// "root"/"rootpw". No log is installed: millions of inputs would fill it. Lives for the whole
// run; one harness thread drives it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "admin/AccountAdmin.h"
#include "admin/AdminContext.h"
#include "admin/ServerAdmin.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "vserver/ServerObject.h"
#include "vserver/VServerEnvironment.h"
#include "vserver/VirtualServerList.h"

namespace vh::fuzz {

inline void Check(bool holds) {
  if (!holds) std::abort();
}

struct TAdminWorld {
  std::string dir;
  std::unique_ptr<TFixedVServerEnvironment> environment;
  std::unique_ptr<TCustomStorage> storage;
  std::unique_ptr<TVirtualServerList> servers;
  TAdminContext context;
  uint16_t serverPort = 0;

  explicit TAdminWorld(const char* name) {
    std::string pattern = std::string(name) + "-db-XXXXXX";
    Check(::mkdtemp(pattern.data()) != nullptr);
    dir = pattern;
    environment = std::make_unique<TFixedVServerEnvironment>(THostPolicy{},
                                                             std::vector<std::string>{"127.0.0.1"});
    // NORMAL: the harness needs no power-loss safety, and FULL would make it I/O bound.
    storage = std::make_unique<TSQLiteStorage>(
        dir + "/server.dbs", std::string(VH_SOURCE_DIR) + "/sqlite_sql/", "NORMAL");
    Check(CreateTables(storage.get()) && UpgradeDatabase(storage.get()));
    servers = std::make_unique<TVirtualServerList>();
    context.storage = storage.get();
    context.servers = servers.get();
    context.environment = environment.get();
    context.logFile = dir + "/server.log";
    context.helpDirectory = std::string(VH_SOURCE_DIR) + "/tcpquerydocs";
    context.platformLabel = "Linux";
    serverPort = FreeUdpPort();
    Check(AddNewServer(context, serverPort) == TServerOpResult::Done);
    Check(AddSuperAccount(*storage, "root", "rootpw") == 0);
  }

  static uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    Check(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    ::close(fd);
    return ntohs(a.sin_port);
  }
};

}  // namespace vh::fuzz
