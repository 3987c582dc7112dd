// The administration interfaces' own addresses and the web interface's certificate settings,
// with the real program. The address test runs the server in a network namespace of its own
// (unshare --net, as root) whose loopback also carries 10.77.0.2, and checks from a thread that
// joins that namespace; it is skipped where no namespace can be made.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "client/ProtocolClient.h"
#include "support/FreePorts.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh::test {
namespace {

using namespace std::chrono_literals;

const std::string kProgram = std::string(VH_BINARY_DIR) + "/voxhollow-server";
constexpr const char* kVoiceAddress = "10.77.0.2";

std::vector<std::string> ProgramArgs(const TTempDir& dir) {
  return {"-ini=" + dir.File("server.ini"),
          "-db=" + dir.File("server.dbs"),
          "-log=" + dir.File("server.log"),
          "-sql=" + std::string(VH_BINARY_DIR) + "/sqlite_sql/",
          "-httpdocs=" + std::string(VH_BINARY_DIR) + "/httpdocs",
          "-badnames=" + dir.File("bad_names.txt")};
}

std::string FindProgram(const std::vector<std::string>& candidates) {
  for (const std::string& c : candidates)
    if (::access(c.c_str(), X_OK) == 0) return c;
  return {};
}

bool TcpConnects(const char* address, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &to.sin_addr);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  ::close(fd);
  return connected;
}

// The program in a fresh network namespace: only its loopback, up, with kVoiceAddress added.
// A fresh namespace has every port free, so the defaults are used.
class TNamespacedServer {
 public:
  TNamespacedServer(const std::string& unshare, const std::string& ip, const TTempDir& dir,
                    const std::string& name)
      : dir_(dir), name_(name) {
    std::vector<std::string> args = {"--net",
                                     "--",
                                     "/bin/sh",
                                     "-c",
                                     ip + " link set lo up && " + ip + " addr add " +
                                         kVoiceAddress + "/32 dev lo && exec \"$0\" \"$@\"",
                                     kProgram};
    for (const std::string& a : ProgramArgs(dir)) args.push_back(a);
    process_.emplace(unshare, args, dir.File(name + ".out"), dir.File(name + ".err"));
  }
  TChildProcess& Process() { return *process_; }
  std::string Out() const { return ReadFile(dir_.File(name_ + ".out")); }
  std::string Err() const { return ReadFile(dir_.File(name_ + ".err")); }
  // Runs `checks` on a thread inside the server's namespace; false when it cannot get in.
  bool InNamespace(const std::function<void()>& checks) {
    bool entered = false;
    std::thread inside([&] {
      const int ns = ::open(("/proc/" + std::to_string(process_->Pid()) + "/ns/net").c_str(),
                            O_RDONLY | O_CLOEXEC);
      entered = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
      if (ns >= 0) ::close(ns);
      if (entered) checks();
    });
    inside.join();
    return entered;
  }

 private:
  const TTempDir& dir_;
  const std::string name_;
  std::optional<TChildProcess> process_;
};

TEST(AdminAddresses, WebAndQueryStayOnLoopbackWhileVoiceAnswersOnAnotherAddress) {
  const std::string unshare = FindProgram({"/usr/bin/unshare", "/bin/unshare"});
  const std::string ip = FindProgram({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
  if (::geteuid() != 0 || unshare.empty() || ip.empty())
    GTEST_SKIP() << "needs root, unshare and ip to make a network namespace for the server";
  TTempDir dir;
  // First a start with addresses it cannot have: each interface says which, where and why.
  WriteFile(
      dir.File("server.ini"),
      "[Main Config]\nBoundToIp1=" + std::string(kVoiceAddress) +
          "\nExternalIPDectection=0\n[Web]\nAddress=10.77.0.9\n[TCPQuery]\nAddress=no.such\n");
  {
    TNamespacedServer bad(unshare, ip, dir, "bad");
    const bool started = WaitUntil(
        [&] {
          return ReadFile(dir.File("server.log")).find("Server init finished") != std::string::npos;
        },
        30s);
    if (!started && bad.Err().find("unshare") != std::string::npos)
      GTEST_SKIP() << "no network namespace here: " << bad.Err();
    ASSERT_TRUE(started) << bad.Err() << ReadFile(dir.File("server.log"));
    const std::string log = ReadFile(dir.File("server.log"));
    EXPECT_NE(log.find("Could not bind to 10.77.0.9:14534: Cannot assign requested address"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Could not bind to no.such:51234: not an IPv4 or IPv6 address"),
              std::string::npos)
        << log;
    EXPECT_NE(bad.Out().find("Web interface not started: Could not bind to 10.77.0.9:14534"),
              std::string::npos);
    bad.Process().Signal(SIGTERM);
    EXPECT_EQ(bad.Process().Wait(30s), 0);
  }

  WriteFile(
      dir.File("server.ini"),
      "[Main Config]\nBoundToIp1=" + std::string(kVoiceAddress) +
          "\nExternalIPDectection=0\n[Web]\nAddress=127.0.0.1\n[TCPQuery]\nAddress=127.0.0.1\n");
  TNamespacedServer server(unshare, ip, dir, "good");
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string out = server.Out();
        return out.find("Web interface listening on TCP port 14534") != std::string::npos &&
               out.find("TCP query listening on TCP port 51234") != std::string::npos;
      },
      30s))
      << server.Out() << server.Err();
  bool webLoopback = false, webElsewhere = true, queryLoopback = false, queryElsewhere = true;
  int32_t voiceResult = 0;
  bool voiceOnLoopback = true;
  ASSERT_TRUE(server.InNamespace([&] {
    webLoopback = TcpConnects("127.0.0.1", 14534);
    webElsewhere = TcpConnects(kVoiceAddress, 14534);
    queryLoopback = TcpConnects("127.0.0.1", 51234);
    queryElsewhere = TcpConnects(kVoiceAddress, 51234);
    client::TLoginOptions o;
    o.nickname = "outsider";
    client::TProtocolClient voice;
    if (voice.Connect(kVoiceAddress, 8767))
      if (auto reply = voice.Login(o, 5s)) voiceResult = reply->result;
    client::TProtocolClient local;
    voiceOnLoopback = local.Connect("127.0.0.1", 8767) && local.Login(o, 300ms).has_value();
  }));
  EXPECT_TRUE(webLoopback);
  EXPECT_FALSE(webElsewhere);
  EXPECT_TRUE(queryLoopback);
  EXPECT_FALSE(queryElsewhere);
  EXPECT_EQ(voiceResult, 1);
  EXPECT_FALSE(voiceOnLoopback);
  server.Process().Signal(SIGTERM);
  EXPECT_EQ(server.Process().Wait(30s), 0);
}

TEST(WebHttps, ACertificateThatCannotBeReadStopsStartUpNamingIt) {
  TTempDir dir;
  const std::string missing = dir.File("missing-cert.pem");
  WriteFile(dir.File("server.ini"),
            "[Main Config]\nHTTPServer Port=" + std::to_string(FreeTcpPort()) +
                "\nTCPQueryPort=0\nExternalIPDectection=0\n[Web]\nHTTPS=1\n"
                "Certificate=" +
                missing + "\nPrivateKey=" + dir.File("key.pem") + "\n");
  TChildProcess server(kProgram, ProgramArgs(dir), dir.File("out"), dir.File("err"));
  EXPECT_EQ(server.Wait(30s), 1);
  EXPECT_NE(ReadFile(dir.File("err"))
                .find("Start_Server: [Web] HTTPS=1 but " + missing + ": No such file or directory"),
            std::string::npos)
      << ReadFile(dir.File("err"));
}

}  // namespace
}  // namespace vh::test
