// The web interface behind the HTTP library's request parser: each input is the raw bytes a
// client sends on one connection to the real TWebInterface on 127.0.0.1 (its document root
// the project's httpdocs/, a small server list behind it). Every "@SID@" in the input becomes
// the session id of a logged-in super admin, so the logged-in pages and commands are reached
// too; the harness logs in again every 256 inputs (an input may log the session out). Inputs
// naming the commands that add, delete, start or stop servers or change the super admin are
// skipped: the world must stay the same across inputs. Checks that whatever comes back is an
// HTTP reply.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>

#include "AdminWorld.h"
#include "admin/web/TemplateEngine.h"
#include "admin/web/WebInterface.h"
#include "common/Strings.h"
#include "transport/Clocks.h"

namespace {

using namespace vh;

// Sends `request` on a new connection, ends the sending side and reads the reply until the
// server closes (or 5 s pass).
std::string Exchange(uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  fuzz::Check(fd >= 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    char buffer[8192];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return reply;
}

struct TWebWorld {
  fuzz::TAdminWorld admin{"web-fuzz"};
  TManualClock clock;
  TWebInterface web{admin.context, clock};
  std::string session;
  std::string token;  // the session's form token, so commands get past the token check

  TWebWorld() {
    std::signal(SIGPIPE, SIG_IGN);
    fuzz::Check(web.Start(0, std::string(VH_SOURCE_DIR) + "/httpdocs", "127.0.0.1"));
    LogIn();
  }
  // A fresh super admin session (the failed-login record of earlier inputs has expired).
  void LogIn() {
    clock.Advance(61000);
    const std::string body = "username=root&password=rootpw&serverport=0";
    const std::string reply =
        Exchange(web.BoundPort(),
                 "POST /login.vhcmd HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\n"
                 "Content-Length: " +
                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    const size_t at = reply.find("VHSESSION=");
    if (at == std::string::npos) return;  // keep the old one; inputs still reach the pages
    session = reply.substr(at + 10, reply.find_first_of(";\r\n", at) - at - 10);
    // Any page with a form carries the token.
    const std::string page = Exchange(web.BoundPort(),
                                      "GET /server_manager.html HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                      "Cookie: VHSESSION=" +
                                          session + "\r\nConnection: close\r\n\r\n");
    const std::string marker = "name=\"" + std::string(kTokenField) + "\" value=\"";
    const size_t t = page.find(marker);
    if (t != std::string::npos) {
      const size_t from = t + marker.size();
      token = page.substr(from, page.find('"', from) - from);
    }
  }
};

bool Skipped(const std::string& request) {
  const std::string upper = UpperCase(request);
  for (const char* name : {"ADD_SERVER", "DELETE_SERVER", "START_SERVER", "STOP_SERVER",
                           "DELETE_SCLIENT", "EDIT_SCLIENT", "SETTINGS_BASIC"})
    if (upper.find(name) != std::string::npos) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TWebWorld* world = new TWebWorld();
  static unsigned inputs = 0;
  if (++inputs % 256 == 0) world->LogIn();
  std::string request(reinterpret_cast<const char*>(data), size);
  if (Skipped(request)) return 0;
  for (size_t at = request.find("@SID@"); at != std::string::npos;
       at = request.find("@SID@", at + world->session.size()))
    request.replace(at, 5, world->session);
  for (size_t at = request.find("@TOKEN@"); at != std::string::npos;
       at = request.find("@TOKEN@", at + world->token.size()))
    request.replace(at, 7, world->token);
  const std::string reply = Exchange(world->web.BoundPort(), request);
  fuzz::Check(reply.empty() || reply.rfind("HTTP/1.", 0) == 0);
  return 0;
}
