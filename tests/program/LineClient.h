// A TCP query client for the program tests: one command line out, its answer lines back,
// each read with a deadline; and a free loopback TCP port for the server to listen on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/FreePorts.h"
namespace vh::test {

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

}  // namespace vh::test
