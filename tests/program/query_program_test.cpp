// The real program with its TCP query interface on a free port: the host starts it with the
// server list, the help files beside the program, the log and "globalset", and stops it at
// shutdown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <regex>

#include "support/Process.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TChildProcess;
using test::TTempDir;
using test::WaitUntil;

const std::string kProgram = std::string(VH_BINARY_DIR) + "/voxhollow-server";

uint16_t FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A blocking line client with a deadline per read.
class TLineClient {
 public:
  explicit TLineClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TLineClient() { ::close(fd_); }
  bool Connected() const { return connected_; }
  std::string ReadLine() {
    while (buffer_.find("\r\n") == std::string::npos) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return "<timeout>";
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "<closed>";
      buffer_.append(buf, static_cast<size_t>(n));
    }
    const size_t lf = buffer_.find("\r\n");
    std::string line = buffer_.substr(0, lf);
    buffer_.erase(0, lf + 2);
    return line;
  }
  // The answer's lines up to the final one.
  std::vector<std::string> Command(const std::string& line) {
    const std::string out = line + "\r\n";
    ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL);
    std::vector<std::string> lines;
    while (true) {
      lines.push_back(ReadLine());
      const std::string& l = lines.back();
      if (l == "OK" || l == "error" || l[0] == '<' || l.rfind("ERROR, ", 0) == 0) return lines;
    }
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string buffer_;
};

TEST(ProgramQuery, SuperAdminOfTheFirstStartAdministersTheRunningServer) {
  TTempDir dir;
  const uint16_t port = FreeTcpPort();
  test::WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp1=127.0.0.1\nTCPQueryPort=" +
                                              std::to_string(port) + "\n");
  TChildProcess server(kProgram, {"-ini=" + dir.File("server.ini"), "-db=" + dir.File("server.dbs"),
                                  "-log=" + dir.File("server.log"),
                                  "-sql=" + std::string(VH_BINARY_DIR) + "/sqlite_sql/",
                                  "-badnames=" + dir.File("bad_names.txt")});
  ASSERT_TRUE(WaitUntil(
      [&] {
        return ReadFile(dir.File("server.log")).find("Server init finished") != std::string::npos;
      },
      20s));
  std::smatch m;
  const std::string log = ReadFile(dir.File("server.log"));
  ASSERT_TRUE(std::regex_search(
      log, m, std::regex("superadmin account info: username: superadmin password: ([a-z0-9]{6})")));

  TLineClient c(port);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.ReadLine(), "[VH]");
  EXPECT_EQ(c.Command("slogin superadmin " + m[1].str()).back(), "OK");
  EXPECT_EQ(c.Command("sl"), (std::vector<std::string>{"8767", "OK"}));
  EXPECT_EQ(c.Command("sel 8767").back(), "OK");
  EXPECT_EQ(c.Command("checkserverok").back(), "OK");
  EXPECT_GT(c.Command("help kick").size(), 2u);
  EXPECT_EQ(c.Command("logmark from the test").back(), "OK");
  EXPECT_NE(c.Command("log 1")[0].find("*remark by superadmin* from the test"), std::string::npos);
  EXPECT_EQ(c.Command("globalset AllowedClientNameChars abc def").back(), "OK");
  EXPECT_NE(ReadFile(dir.File("server.ini")).find("AllowedClientNameChars=abc def\n"),
            std::string::npos);
  EXPECT_EQ(c.Command("globalset nothing 1").back(), "ERROR, error");

  // Shutdown closes the open query connection.
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
  EXPECT_EQ(c.ReadLine(), "<closed>");
}

}  // namespace
}  // namespace vh
