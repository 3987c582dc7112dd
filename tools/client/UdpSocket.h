// A connected, non-blocking IPv4 UDP socket: the client's one way to its server.
// Owned and used by one thread (the caller pumping a TProtocolClient); no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vh::client {

class TUdpSocket {
 public:
  TUdpSocket() = default;
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;
  ~TUdpSocket() { Close(); }

  // Resolves `host` (IPv4), binds an ephemeral local port and connects, so that only the
  // server's datagrams are received. False with a reason in `error` on failure.
  bool Open(const std::string& host, uint16_t port, std::string& error);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  uint16_t LocalPort() const { return localPort_; }

  // One datagram; false when the kernel refused it (the server's port is closed, ...).
  bool Send(std::string_view bytes);
  // One datagram into `buffer`, or nothing when none is waiting. Errors reported by the
  // kernel for earlier sends (port unreachable) are swallowed.
  std::optional<size_t> Receive(char* buffer, size_t size);
  // Waits up to `timeoutMs` for a datagram to read; true when one is there.
  bool WaitReadable(int timeoutMs);

 private:
  int fd_ = -1;
  uint16_t localPort_ = 0;
};

}  // namespace vh::client
