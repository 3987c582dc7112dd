#include "client/UdpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vh::client {

bool TUdpSocket::Open(const std::string& host, uint16_t port, std::string& error) {
  Close();
  // A host name or a literal of either family; an IPv6 literal may come in brackets.
  std::string name = host;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return false;
  }
  sockaddr_storage server{};
  const socklen_t serverLength = found->ai_addrlen;
  const int family = found->ai_family;
  std::memcpy(&server, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof server));
  freeaddrinfo(found);
  if (family == AF_INET6)
    reinterpret_cast<sockaddr_in6&>(server).sin6_port = htons(port);
  else
    reinterpret_cast<sockaddr_in&>(server).sin_port = htons(port);

  fd_ = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&server), serverLength) != 0) {
    error = std::string("connect: ") + std::strerror(errno);
    Close();
    return false;
  }
  sockaddr_storage local{};
  socklen_t len = sizeof(local);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) == 0)
    localPort_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(local).sin_port);
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
