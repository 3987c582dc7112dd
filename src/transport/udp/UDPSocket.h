// The UDP socket of one virtual server: one port, one socket per binding (a single wildcard
// socket when no binding is configured), and a receive thread that turns every datagram into
// a TPacket carrying peer address, peer port and the local address it arrived on.
// Bindings are filled before Open on the owner's thread; Open/Close run on the owner's thread;
// Send is called by the send thread. Sockets are read only by the receive thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/SocketBinding.h"
#include "transport/Packet.h"

namespace vh {

class TCustomPacketBuffer;

class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bindings (common/SocketBinding.h): port 0 takes the socket's default port; an empty address
// or "0.0.0.0" listens on every local address.

class TUDPServerSocket {
 public:
  // The receive handler runs on the receive thread, once per datagram; it owns the packet.
  using THandler = std::function<void(std::unique_ptr<TPacket>)>;
  static constexpr int32_t kReceiveBufferSize = 8192;

  TUDPServerSocket(uint16_t defaultPort, THandler handler);
  ~TUDPServerSocket();
  TUDPServerSocket(const TUDPServerSocket&) = delete;
  TUDPServerSocket& operator=(const TUDPServerSocket&) = delete;

  uint16_t DefaultPort() const { return defaultPort_; }
  // Filled before Open; empty means every local address on the default port.
  std::vector<TSocketBinding>& Bindings() { return bindings_; }

  // Binds every binding and starts the receive thread; ESocketError (nothing left open) when
  // an address cannot be bound.
  void Open();
  // Stops the receive thread and closes the sockets; safe to call twice.
  void Close();
  bool Active() const { return active_.load(); }

  // The port actually bound by the i-th open socket (differs from the binding with port 0).
  uint16_t BoundPort(size_t i = 0) const;
  // Sends the packet's bytes to its peer through every binding whose address equals its local
  // address (a wildcard socket answers from that address). Returns how many sends succeeded;
  // failed sends are counted in SendFailures and never raise.
  size_t Send(const TPacket& packet);
  uint64_t SendFailures() const { return sendFailures_.load(); }
  uint64_t TruncatedDatagrams() const { return truncated_.load(); }

 private:
  struct TOpenSocket {
    int fd = -1;
    std::string address;  // binding address as configured ("0.0.0.0" for every address)
    bool wildcard = false;
    uint16_t port = 0;
  };
  void ReceiveLoop();
  void DrainSocket(const TOpenSocket& s, std::vector<uint8_t>& buffer);
  void CloseSockets();

  // Set at construction:
  const uint16_t defaultPort_;
  const THandler handler_;

  std::vector<TSocketBinding> bindings_;  // owner's thread, before Open
  mutable std::shared_mutex socketsMutex_;
  // guarded by socketsMutex_ (written by Open/Close, and only while no receive thread runs)
  std::vector<TOpenSocket> sockets_;
  int wakeFd_ = -1;  // eventfd that ends the receive thread's poll
  std::thread receiver_;
  std::atomic<bool> active_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> sendFailures_{0};
  std::atomic<uint64_t> truncated_{0};
};

// The receive handler of a virtual server: drops the datagram while the table is stopping,
// otherwise hands it to the table's receive path and ignores every refusal.
TUDPServerSocket::THandler TableReceiveHandler(TCustomPacketBuffer& table);

}  // namespace vh
