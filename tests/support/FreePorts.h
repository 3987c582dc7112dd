// Loopback ports the tests may bind: the kernel picks one that is free now (another process
// could take it before the test binds it again, which the tests accept).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vh::test {

inline uint16_t FreeLoopbackPort(int socketType) {
  const int fd = ::socket(AF_INET, socketType, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline uint16_t FreeTcpPort() {
  return FreeLoopbackPort(SOCK_STREAM);
}
inline uint16_t FreeUdpPort() {
  return FreeLoopbackPort(SOCK_DGRAM);
}

}  // namespace vh::test
