#include "client/UdpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vh::client {

bool TUdpSocket::Open(const std::string& host, uint16_t port, std::string& error) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return false;
  }
  sockaddr_in server{};
  std::memcpy(&server, found->ai_addr, sizeof(server));
  freeaddrinfo(found);
  server.sin_port = htons(port);

  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) {
    error = std::string("connect: ") + std::strerror(errno);
    Close();
    return false;
  }
  sockaddr_in local{};
  socklen_t len = sizeof(local);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) == 0)
    localPort_ = ntohs(local.sin_port);
  return true;
}

void TUdpSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  localPort_ = 0;
}

bool TUdpSocket::Send(std::string_view bytes) {
  if (fd_ < 0) return false;
  for (;;) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), 0);
    if (n >= 0) return static_cast<size_t>(n) == bytes.size();
    if (errno != EINTR) return false;
  }
}

std::optional<size_t> TUdpSocket::Receive(char* buffer, size_t size) {
  if (fd_ < 0) return std::nullopt;
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n >= 0) return static_cast<size_t>(n);
    // ECONNREFUSED reports an earlier datagram that met a closed port; keep reading.
    if (errno == EINTR || errno == ECONNREFUSED) continue;
    return std::nullopt;
  }
}

bool TUdpSocket::WaitReadable(int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int rc = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
  return rc > 0 && (p.revents & (POLLIN | POLLERR)) != 0;
}

}  // namespace vh::client
