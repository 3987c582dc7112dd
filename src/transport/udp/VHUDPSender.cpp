#include "transport/udp/VHUDPSender.h"

#include <string>

#include "common/Log.h"

namespace vh {

namespace {
constexpr const char* kCategory = "TVHUDPSender.Execute";
}

TVHUDPSender::TVHUDPSender(TCustomPacketBuffer& table, TUDPServerSocket& socket, int32_t serverId)
    : table_(table), socket_(socket), serverId_(serverId) {}

TVHUDPSender::~TVHUDPSender() {
  // An owner that never stopped the table must not hang here: leave without the drain. The
  // thread may be in an idle table's long wait, so it is woken.
  abandoned_.store(true);
  Terminate();
  table_.OutgoingEvent().Set();
  WaitFor();
}

void TVHUDPSender::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Execute(); });
}

void TVHUDPSender::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TVHUDPSender::SendOne(const TPacket& packet) {
  if (socket_.Send(packet) > 0)
    packetsSent_.fetch_add(1);
  else
    packetsUnsent_.fetch_add(1);
}

void TVHUDPSender::SendBatch(const std::vector<std::unique_ptr<TPacket>>& batch) {
  size_t sent = socket_.SendBatch(batch);
  packetsSent_.fetch_add(sent);
  packetsUnsent_.fetch_add(batch.size() - sent);
}

void TVHUDPSender::Execute() {
  const std::string prefix = "SID: " + std::to_string(serverId_) + " ";
  try {
    // The batch goes back to the table with the next pick, whose pool reuses its packets.
    std::vector<std::unique_ptr<TPacket>> batch;
    batch.reserve(kBatchSize);
    while (!(terminated_.load() && table_.StopRequested()) && !abandoned_.load()) {
      // The table's waits are a pass long while it has connections; an idle table waits up
      // to kIdleWaitMs, or until something is queued, the stop, or the destructor's wake-up.
      if (table_.NextOutgoingPackets(batch, kBatchSize, -1) > 0) {
        SendBatch(batch);
      } else if (table_.StopRequested()) {
        break;
      }
    }
  } catch (const std::exception& e) {
    LogFormat(LMT_ERROR, LMD_ALL, {ExceptionClassName(e), e.what()}, prefix + "Exception1 %1.%2",
              kCategory);
  }
  // What the table still hands out (last notices of a stopping server) leaves as well.
  try {
    for (int i = 0; i < kDrainLimit && !abandoned_.load(); ++i) {
      std::unique_ptr<TPacket> packet = table_.DrainOutgoingPacket();
      if (!packet) break;
      SendOne(*packet);
    }
  } catch (const std::exception& e) {
    LogFormat(LMT_ERROR, LMD_ALL, {ExceptionClassName(e), e.what()}, prefix + "Exception2 %1.%2",
              kCategory);
  }
  try {
    table_.MarkThreadStopped(0);
  } catch (...) {
  }
}

}  // namespace vh
