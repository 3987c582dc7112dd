// The send thread of one virtual server: the only thread that writes to its UDP socket. It
// takes batches of packets from the connection table's scheduler (NextOutgoingPackets, one
// table-lock hold per batch) and sends them through the bindings their local addresses name
// (sendmmsg), outside any lock.
// Start/Terminate/WaitFor are called by the owning virtual server's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "transport/ConnectionTable.h"
#include "transport/udp/UDPSocket.h"

namespace vh {

class TVHUDPSender {
 public:
  // The most packets sent after the table stopped: what was queued, never new resends.
  static constexpr int kDrainLimit = 100000;
  // Packets picked under one table-lock hold and written with one sendmmsg.
  static constexpr size_t kBatchSize = TUDPServerSocket::kSendChunk;

  TVHUDPSender(TCustomPacketBuffer& table, TUDPServerSocket& socket, int32_t serverId);
  // Ends and joins the thread. Shutdown order for the owner: table Stop (which waits for this
  // thread's report), Terminate, WaitFor, then free the sender before the table and socket.
  ~TVHUDPSender();
  TVHUDPSender(const TVHUDPSender&) = delete;
  TVHUDPSender& operator=(const TVHUDPSender&) = delete;

  void Start();
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Waits for the thread to end.
  void WaitFor();

  uint64_t PacketsSent() const { return packetsSent_.load(); }
  uint64_t PacketsUnsent() const { return packetsUnsent_.load(); }

 private:
  void Execute();
  void SendOne(const TPacket& packet);
  void SendBatch(const std::vector<std::unique_ptr<TPacket>>& batch);

  // Set at construction:
  TCustomPacketBuffer& table_;
  TUDPServerSocket& socket_;
  const int32_t serverId_;

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> abandoned_{false};  // set by the destructor
  std::atomic<uint64_t> packetsSent_{0};
  std::atomic<uint64_t> packetsUnsent_{0};  // no binding matched, or every send failed
};

}  // namespace vh
