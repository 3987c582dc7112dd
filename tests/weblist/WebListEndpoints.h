// Endpoints the web-list tests talk to, all on 127.0.0.1: a UDP socket standing in for the
// list host and a small HTTP server that records what it is sent. Each test owns its own.
#pragma once

#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vh::test {

// A UDP socket on a free loopback port.
class TUdpEndpoint {
 public:
  struct TDatagram {
    std::vector<uint8_t> bytes;
    uint16_t fromPort = 0;
  };

  TUdpEndpoint() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot open the UDP endpoint");
    port_ = ntohs(a.sin_port);
  }
  ~TUdpEndpoint() { ::close(fd_); }
  uint16_t Port() const { return port_; }

  // The next datagram, waiting at most `timeoutMs` (0: only what has arrived already; loopback
  // delivers during the sender's call, so 0 suffices after a synchronous send).
  bool Receive(TDatagram& out, int timeoutMs = 0) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    std::vector<uint8_t> buffer(2048);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    buffer.resize(static_cast<size_t>(n));
    out.bytes = std::move(buffer);
    out.fromPort = ntohs(from.sin_port);
    return true;
  }
  std::vector<TDatagram> ReceiveAll() {
    std::vector<TDatagram> out;
    TDatagram d;
    while (Receive(d)) out.push_back(d);
    return out;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// An HTTP server on a free loopback port; records every request it serves. Tests add their
// handlers through Server() before the first request.
class THttpEndpoint {
 public:
  struct TRecorded {
    std::string method, path, body, userAgent, contentType;
  };

  THttpEndpoint() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot open the HTTP endpoint");
    // Recorded before the handler answers, so a client that has its reply finds it here (the
    // body is not read yet: AddFormHandler adds it).
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard lock(mutex_);
      requests_.push_back({req.method, req.path, req.body, req.get_header_value("User-Agent"),
                           req.get_header_value("Content-Type")});
      changed_.notify_all();
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }
  ~THttpEndpoint() {
    Release();
    if (thread_.joinable()) {
      while (!server_.is_running()) std::this_thread::yield();
      server_.stop();
      thread_.join();
    }
  }
  httplib::Server& Server() { return server_; }
  void Listen() {
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<TRecorded> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  // Waits until at least `count` requests arrived (false after `timeout`).
  bool WaitRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
  }

  // A POST handler that answers "thanks" and records the body (read after the pre-routing
  // record) with its request.
  void AddFormHandler(const std::string& path) {
    server_.Post(path, [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard lock(mutex_);
        for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
          if (it->path == req.path && it->body.empty()) {
            it->body = req.body;
            break;
          }
      }
      res.set_content("thanks", "text/plain");
    });
  }

  // A handler that holds its request until Release (or the endpoint's end): a slow server.
  void AddHeldHandler(const std::string& path) {
    server_.Get(path, [this](const httplib::Request&, httplib::Response& res) { Hold(res); });
    server_.Post(path, [this](const httplib::Request&, httplib::Response& res) { Hold(res); });
  }
  // Waits until a held handler has a request (false after `timeout`).
  bool WaitHeld(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return held_ > 0; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  void Hold(httplib::Response& res) {
    std::unique_lock lock(mutex_);
    ++held_;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
    res.set_content("late", "text/plain");
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TRecorded> requests_;  // guarded by mutex_
  int held_ = 0;                     // guarded by mutex_
  bool released_ = false;            // guarded by mutex_
};

}  // namespace vh::test
