#include "transport/udp/UDPSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/PacketBuffer.h"

namespace vh {

namespace {

// Datagrams taken from one socket before the others get their turn.
constexpr int kBurstPerSocket = 256;
constexpr int kSocketReceiveRoom = 4 * 1024 * 1024;

bool IsWildcard(const std::string& address) {
  return address.empty() || address == "0.0.0.0";
}

bool ParseIPv4(const std::string& text, in_addr& out) {
  return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

std::string IPv4Text(const in_addr& addr) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr, buf, sizeof buf);
  return buf;
}

std::string Describe(const std::string& address, uint16_t port) {
  return (IsWildcard(address) ? std::string("0.0.0.0") : address) + ":" + std::to_string(port);
}

}  // namespace

TUDPServerSocket::TUDPServerSocket(uint16_t defaultPort, THandler handler)
    : defaultPort_(defaultPort), handler_(std::move(handler)) {}

TUDPServerSocket::~TUDPServerSocket() {
  Close();
}

void TUDPServerSocket::Open() {
  if (active_.load()) return;
  std::vector<TSocketBinding> wanted = bindings_;
  if (wanted.empty()) wanted.push_back({"", 0});

  std::vector<TOpenSocket> opened;
  auto fail = [&opened](const std::string& what) {
    int saved = errno;
    for (TOpenSocket& s : opened) ::close(s.fd);
    throw ESocketError(what + ": " + std::strerror(saved));
  };
  for (const TSocketBinding& b : wanted) {
    TOpenSocket s;
    s.wildcard = IsWildcard(b.address);
    s.address = s.wildcard ? "0.0.0.0" : b.address;
    uint16_t port = b.port != 0 ? b.port : defaultPort_;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (!ParseIPv4(s.address, local.sin_addr)) {
      errno = EINVAL;
      fail("Invalid bind address " + b.address);
    }
    s.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) fail("Could not create socket");
    opened.push_back(s);
    int on = 1;
    if (::setsockopt(s.fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
      fail("Could not ask for local addresses");
    // Room for bursts while the receive thread is busy; the kernel may grant less.
    int room = kSocketReceiveRoom;
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    if (::bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      fail("Could not bind to " + Describe(s.address, port));
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(s.fd, reinterpret_cast<sockaddr*>(&bound), &len);
    opened.back().port = ntohs(bound.sin_port);
  }
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) fail("Could not create the wake-up descriptor");

  {
    std::unique_lock<std::shared_mutex> lock(socketsMutex_);
    sockets_ = std::move(opened);
  }
  wakeFd_ = wake;
  stopping_.store(false);
  active_.store(true);
  receiver_ = std::thread([this] { ReceiveLoop(); });
}

void TUDPServerSocket::Close() {
  if (receiver_.joinable()) {
    stopping_.store(true);
    uint64_t one = 1;
    ssize_t written = ::write(wakeFd_, &one, sizeof one);
    (void)written;
    receiver_.join();
  }
  active_.store(false);
  CloseSockets();
}

void TUDPServerSocket::CloseSockets() {
  std::unique_lock<std::shared_mutex> lock(socketsMutex_);
  for (TOpenSocket& s : sockets_) ::close(s.fd);
  sockets_.clear();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

uint16_t TUDPServerSocket::BoundPort(size_t i) const {
  std::shared_lock<std::shared_mutex> lock(socketsMutex_);
  return i < sockets_.size() ? sockets_[i].port : 0;
}

void TUDPServerSocket::ReceiveLoop() {
  // sockets_ does not change while this thread runs: Open fills it before starting us and
  // Close empties it only after joining us.
  std::vector<pollfd> fds;
  for (const TOpenSocket& s : sockets_) fds.push_back({s.fd, POLLIN, 0});
  fds.push_back({wakeFd_, POLLIN, 0});
  std::vector<uint8_t> buffer(kReceiveBufferSize);
  while (!stopping_.load()) {
    int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds.back().revents != 0) break;
    for (size_t i = 0; i + 1 < fds.size(); ++i)
      if (fds[i].revents & POLLIN) DrainSocket(sockets_[i], buffer);
  }
}

void TUDPServerSocket::DrainSocket(const TOpenSocket& s, std::vector<uint8_t>& buffer) {
  for (int i = 0; i < kBurstPerSocket && !stopping_.load(); ++i) {
    sockaddr_in peer{};
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(s.fd, &msg, MSG_DONTWAIT);
    if (n < 0) return;  // EAGAIN: drained; anything else: the next poll tells
    if (msg.msg_flags & MSG_TRUNC) {
      // Longer than any packet the server accepts; a cut datagram is not the one sent.
      truncated_.fetch_add(1);
      continue;
    }
    std::string local = s.address;
    if (s.wildcard) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        local = IPv4Text(info.ipi_spec_dst.s_addr != 0 ? info.ipi_spec_dst : info.ipi_addr);
      }
    }
    try {
      auto packet = std::make_unique<TPacket>();
      packet->SetAddress(IPv4Text(peer.sin_addr), ntohs(peer.sin_port), std::move(local));
      packet->Write(buffer.data(), static_cast<int32_t>(n));
      packet->SetPosition(0);
      handler_(std::move(packet));
    } catch (...) {
      // The handler owns its refusals; nothing a datagram does may end this thread.
    }
  }
}

size_t TUDPServerSocket::Send(const TPacket& packet) {
  const std::string& local = packet.LocalAddress();
  if (local.empty()) return 0;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(packet.PeerPort());
  if (!ParseIPv4(packet.PeerAddress(), peer.sin_addr)) {
    sendFailures_.fetch_add(1);
    return 0;
  }
  in_addr source{};
  bool haveSource = ParseIPv4(local, source) && source.s_addr != 0;

  size_t sent = 0;
  std::shared_lock<std::shared_mutex> lock(socketsMutex_);
  for (const TOpenSocket& s : sockets_) {
    if (!s.wildcard && s.address != local) continue;
    iovec iov{const_cast<uint8_t*>(packet.Memory()), static_cast<size_t>(packet.Size())};
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (s.wildcard && haveSource) {
      // Answer from the address the client talked to, not whatever the route prefers.
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst = source;
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    if (::sendmsg(s.fd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(packet.Size()))
      ++sent;
    else
      sendFailures_.fetch_add(1);
  }
  return sent;
}

TUDPServerSocket::THandler TableReceiveHandler(TCustomPacketBuffer& table) {
  return [&table](std::unique_ptr<TPacket> packet) {
    if (table.StopRequested()) return;
    // Refused datagrams are counted by the table and otherwise dropped without a word.
    table.OfferDatagram(std::move(packet));
  };
}

}  // namespace vh
