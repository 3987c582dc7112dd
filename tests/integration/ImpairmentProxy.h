// A UDP relay on 127.0.0.1 between protocol clients and a virtual server that loses,
// duplicates and delays (reorders) datagrams in both directions, with a fixed seed. Each
// client source gets an upstream socket of its own, so the server still sees one port per
// client. One relay thread owns the sockets and the random generator; the rule for
// deliberate drops is guarded by a mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vh::test {

struct TImpairment {
  double loss = 0;       // probability that a datagram is dropped
  double duplicate = 0;  // probability that a (kept) datagram is sent twice
  double reorder = 0;    // probability that a copy is held back 5-40 ms, letting others pass
  uint32_t seed = 1;
};

class TImpairmentProxy {
 public:
  TImpairmentProxy(uint16_t serverPort, TImpairment profile);
  ~TImpairmentProxy();
  TImpairmentProxy(const TImpairmentProxy&) = delete;
  TImpairmentProxy& operator=(const TImpairmentProxy&) = delete;

  // The port clients send to.
  uint16_t Port() const { return port_; }
  // The next `count` server-to-client datagrams for which `match` holds are dropped.
  void DropToClient(std::function<bool(std::string_view)> match, int count = 1);

  uint64_t Dropped() const { return dropped_.load(); }
  uint64_t Duplicated() const { return duplicated_.load(); }
  uint64_t Delayed() const { return delayed_.load(); }

 private:
  struct THeld {
    std::chrono::steady_clock::time_point due;
    int fd;
    uint16_t clientPort;  // 0: towards the server through fd
    std::string bytes;
  };
  void Loop();
  void Relay(int fd, uint16_t clientPort, std::string bytes);
  void Transmit(int fd, uint16_t clientPort, const std::string& bytes);
  int UpstreamFor(uint16_t clientPort);

  // Set at construction:
  const uint16_t serverPort_;
  const TImpairment profile_;
  int front_ = -1;
  int wake_ = -1;
  uint16_t port_ = 0;

  // Relay thread only:
  std::mt19937 rng_;
  std::map<uint16_t, int> upstream_;  // client port -> socket towards the server
  std::map<int, uint16_t> clientOf_;  // that socket -> client port
  std::vector<THeld> held_;

  std::mutex ruleMutex_;
  std::function<bool(std::string_view)> dropMatch_;  // guarded by ruleMutex_
  int dropCount_ = 0;                                // guarded by ruleMutex_

  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> dropped_{0}, duplicated_{0}, delayed_{0};
  std::thread thread_;
};

}  // namespace vh::test
