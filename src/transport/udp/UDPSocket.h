// The UDP socket of one virtual server: one port, one socket per binding (a single wildcard
// socket when no binding is configured), and a receive thread that turns every datagram into
// a TPacket carrying peer address, peer port and the local address it arrived on.
// Bindings are filled before Open on the owner's thread; Open/Close run on the owner's thread.
// Two threads write: the send thread (Send, SendBatch: everything the connection table's
// scheduler hands out) and the relaying thread of a voice packet (SendVoiceCopies: the copies
// the table let go direct, see ConnectionTable.h), never with the table lock held. Sockets are
// read only by the receive thread, which takes up to kBatchSize datagrams per system call
// (recvmmsg) and hands them to the batch handler together, each with the time it spent in the
// socket buffer (the kernel's arrival stamp, SO_TIMESTAMPNS). The batch sends use sendmmsg.
// socketsMutex_ guards the socket list; every send holds it for its system calls, so Close
// never closes a descriptor under a sender.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Mutex.h"
#include "common/NetAddress.h"
#include "common/SocketBinding.h"
#include "transport/Packet.h"

namespace vh {

class TCustomPacketBuffer;
struct TDirectVoice;

class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The system calls of the batched paths, replaceable so that tests can play a socket that
// takes part of a batch or reports EAGAIN. Each returns what the system call returns (a count,
// or -1 with errno set).
struct TDatagramCalls {
  std::function<int(int fd, mmsghdr* messages, unsigned count)> sendMany;
  // Waits up to `ms` for room in the socket's send buffer; false when there is none yet.
  std::function<bool(int fd, int ms)> waitWritable;
};
TDatagramCalls SystemDatagramCalls();

// Bindings (common/SocketBinding.h): port 0 takes the socket's default port; an empty address,
// "::" or "[::]" listens on every local address of both families (one dual-stack socket),
// "0.0.0.0" on every IPv4 address. An IPv6 literal binds an IPv6-only socket.

class TUDPServerSocket {
 public:
  // The receive handler runs on the receive thread, once per datagram; it owns the packet.
  using THandler = std::function<void(std::unique_ptr<TPacket>)>;
  // The same for a whole batch; it takes the packets it wants out of `batch` and may put
  // emptied packets into `spares`, which the next datagrams are read into.
  using TBatchHandler = std::function<void(std::vector<std::unique_ptr<TPacket>>& batch,
                                           std::vector<std::unique_ptr<TPacket>>& spares)>;
  static constexpr int32_t kReceiveBufferSize = 8192;
  static constexpr unsigned kBatchSize = 32;
  // Datagrams written per sendmmsg: the copies for a channel of a hundred go out in one call.
  static constexpr size_t kSendChunk = 128;
  // Kernel buffer asked for on every socket, each way (forced past the system limit when the
  // process may; the sizes obtained are logged at Open).
  static constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
  // EAGAIN on send: how long to wait for room, and how often, before the rest of a batch is lost.
  static constexpr int kSendWaitMs = 5;
  static constexpr int kSendWaits = 20;

  TUDPServerSocket(uint16_t defaultPort, THandler handler);
  TUDPServerSocket(uint16_t defaultPort, TBatchHandler handler);
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
  size_t Send(const TPacket& packet) EXCLUDES(socketsMutex_);
  // Sends a batch, each packet as Send would, with one sendmmsg per binding and round; a
  // partial send continues where the kernel stopped, EAGAIN waits for room (kSendWaits
  // times at most). Returns how many packets went out through at least one binding.
  size_t SendBatch(const std::vector<std::unique_ptr<TPacket>>& packets) EXCLUDES(socketsMutex_);
  // Sends voice copies built by the connection table for a relaying thread, each as its own
  // header and the shared voice data (two iovecs), through every socket whose address is the
  // copy's local address (a wildcard socket for any), waiting for room as SendBatch does.
  // Returns how many went out through at least one socket.
  size_t SendVoiceCopies(std::span<const TDirectVoice> copies) EXCLUDES(socketsMutex_);
  // Tests only, before Open.
  void SetDatagramCalls(TDatagramCalls calls) { calls_ = std::move(calls); }
  // What the kernel granted the first socket at Open (bytes as getsockopt reports them).
  int ReceiveBufferBytes() const { return receiveBufferBytes_.load(); }
  int SendBufferBytes() const { return sendBufferBytes_.load(); }
  uint64_t SendFailures() const { return sendFailures_.load(); }
  uint64_t TruncatedDatagrams() const { return truncated_.load(); }

 private:
  struct TOpenSocket {
    int fd = -1;
    std::string address;  // binding address as text ("::" or "0.0.0.0" for every address)
    int family = AF_INET;
    TSockAddr bound{};  // the bound address (port aside) of a socket that is not a wildcard
    bool wildcard = false;
    uint16_t port = 0;
  };
  struct TReceiveSlots;
  void ReceiveLoop();
  // Takes up to a burst of datagrams; `block` sleeps until the first one arrives.
  void DrainSocket(const TOpenSocket& s, TReceiveSlots& slots, bool block);
  void CloseSockets() EXCLUDES(socketsMutex_);
  void SizeBuffers(int fd, const std::string& where);
  // The packets of `packets` picked by `chosen` through socket s; marks each one sent.
  void SendThrough(const TOpenSocket& s, const std::vector<std::unique_ptr<TPacket>>& packets,
                   const std::vector<size_t>& chosen, std::vector<uint8_t>& sent)
      REQUIRES(socketsMutex_);
  // Writes messages[0..count) through s, going on after a partial send and waiting for room;
  // marks what went out in `sent` by index[k].
  void SendMessages(const TOpenSocket& s, mmsghdr* messages, size_t count, const size_t* index,
                    std::vector<uint8_t>& sent, int& waits) REQUIRES(socketsMutex_);

  // Set at construction:
  const uint16_t defaultPort_;
  const TBatchHandler handler_;
  TDatagramCalls calls_ = SystemDatagramCalls();  // set before Open
  std::atomic<int> receiveBufferBytes_{0};
  std::atomic<int> sendBufferBytes_{0};

  std::vector<TSocketBinding> bindings_;  // owner's thread, before Open
  mutable TMutex socketsMutex_;
  // Written by Open/Close, and only while no receive thread runs (which keeps its own copy).
  std::vector<TOpenSocket> sockets_ GUARDED_BY(socketsMutex_);
  int wakeFd_ = -1;  // eventfd that ends the receive thread's poll (more than one socket)
  std::thread receiver_;
  std::atomic<bool> active_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> sendFailures_{0};
  std::atomic<uint64_t> truncated_{0};
};

// Relays client voice on the receive thread (or hands it back to the table); leaves `voice`
// empty.
using TVoiceRelay = std::function<void(std::vector<std::unique_ptr<TPacket>>& voice)>;

// The receive handler of a virtual server: drops the batch while the table is stopping,
// otherwise hands it to the table's receive path (one table-lock hold) and ignores every
// refusal. With `relayVoice`, client voice that would wait for the listener in an empty queue
// is given to it instead.
TUDPServerSocket::TBatchHandler TableReceiveHandler(TCustomPacketBuffer& table,
                                                    TVoiceRelay relayVoice = {});

}  // namespace vh
