#include "QueryHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "admin/AccountAdmin.h"
#include "admin/ServerAdmin.h"
#include "common/Log.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "support/LogInAndJoin.h"

namespace vh::test {

uint16_t FreeUdpPort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
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

TQueryConnection::TQueryConnection(uint16_t port, const std::string& source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ >= 0 && !source.empty()) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

TQueryConnection::~TQueryConnection() {
  if (fd_ >= 0) ::close(fd_);
}

void TQueryConnection::Send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

std::optional<std::string> TQueryConnection::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const size_t lf = buffer_.find("\r\n");
    if (lf != std::string::npos) {
      std::string line = buffer_.substr(0, lf);
      buffer_.erase(0, lf + 2);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fd_ < 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    buffer_.append(buf, static_cast<size_t>(n));
  }
}

std::vector<std::string> TQueryConnection::Command(const std::string& line) {
  Send(line + "\r\n");
  std::vector<std::string> lines;
  while (auto l = ReadLine()) {
    lines.push_back(*l);
    if (*l == "OK" || *l == "error" || l->rfind("ERROR, ", 0) == 0) break;
  }
  return lines;
}

std::string TQueryConnection::Final(const std::string& line) {
  auto lines = Command(line);
  return lines.empty() ? std::string("<nothing>") : lines.back();
}

bool TQueryConnection::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
    buffer_.append(buf, static_cast<size_t>(n));
  }
  return false;
}

TQueryHarness::TQueryHarness(TQueryLimits limits) {
  CreateLog(dir_.File("server.ini"), LogFile());
  environment_ = std::make_unique<TFixedVServerEnvironment>(THostPolicy{},
                                                            std::vector<std::string>{"127.0.0.1"});
  storage_ = std::make_unique<TFailableStorage>(dir_.File("server.dbs"),
                                                std::string(VH_SOURCE_DIR) + "/sqlite_sql/");
  if (!CreateTables(storage_.get()) || !UpgradeDatabase(storage_.get()))
    throw std::runtime_error("cannot create the tables");
  servers_ = std::make_unique<TVirtualServerList>();
  context_.storage = storage_.get();
  context_.servers = servers_.get();
  context_.environment = environment_.get();
  context_.logFile = LogFile();
  context_.helpDirectory = std::string(VH_SOURCE_DIR) + "/tcpquerydocs";
  context_.platformLabel = "Linux";
  serverPort_ = AddServer();
  server_ = servers_->ListVirtualServers().front().second;
  if (AddSuperAccount(*storage_, "root", "rootpw") != 0)
    throw std::runtime_error("cannot add the super user");
  query_ = std::make_unique<TTCPQuery>(context_, clock_, limits);
  if (!query_->Start(0)) throw std::runtime_error("the query interface did not start");
}

TQueryHarness::~TQueryHarness() {
  query_->Stop();
  server_.reset();
  servers_->StopVirtualServers(0);
  storage_.reset();
  DestroyLog();
}

uint16_t TQueryHarness::AddServer() {
  const uint16_t port = FreeUdpPort();
  if (AddNewServer(context_, port) != TServerOpResult::Done)
    throw std::runtime_error("the virtual server did not start");
  return port;
}

std::unique_ptr<TQueryConnection> TQueryHarness::Connect(const std::string& source) {
  auto c = std::make_unique<TQueryConnection>(query_->BoundPort(), source);
  if (!c->Connected()) throw std::runtime_error("cannot connect to the query port");
  return c;
}

std::unique_ptr<TQueryConnection> TQueryHarness::Admin() {
  auto c = Connect();
  if (c->ReadLine() != "[VH]" || c->Final("slogin root rootpw") != "OK" ||
      c->Final("sel " + std::to_string(serverPort_)) != "OK")
    throw std::runtime_error("cannot log in as root");
  return c;
}

std::unique_ptr<client::TProtocolClient> TQueryHarness::Join(const std::string& nickname,
                                                             uint16_t port,
                                                             const std::string& login,
                                                             const std::string& password) {
  auto c = std::make_unique<client::TProtocolClient>();
  if (!c->Connect("127.0.0.1", port ? port : serverPort_)) return nullptr;
  if (!LogInAndJoin(*c, nickname, login, password)) return nullptr;
  return c;
}

}  // namespace vh::test
