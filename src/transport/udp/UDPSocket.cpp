#include "transport/udp/UDPSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "common/Log.h"
#include "common/NetAddress.h"
#include "transport/ConnectionTable.h"

namespace vh {

namespace {

// Datagrams taken from one socket before the others get their turn.
constexpr unsigned kBurstPerSocket = 256;
constexpr const char* kSocketCategory = "UDP Socket";
// Room for the local-address message of either family (a dual-stack socket may give both).
constexpr size_t kControlRoom = CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo));
// What a received datagram carries: its local address and the kernel's arrival stamp.
constexpr size_t kReceiveControlRoom = kControlRoom + CMSG_SPACE(sizeof(timespec));

double RealtimeMs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Whether two socket addresses of one family name the same host (ports aside).
bool SameHost(const TSockAddr& a, const TSockAddr& b) {
  if (a.any.sa_family != b.any.sa_family) return false;
  if (a.any.sa_family == AF_INET) return a.v4.sin_addr.s_addr == b.v4.sin_addr.s_addr;
  return std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, sizeof a.v6.sin6_addr) == 0;
}

// A wildcard binding: "0.0.0.0" keeps to IPv4, the others ("", "::", "[::]") take both
// families on one IPv6 socket.
bool IsWildcard(const std::string& address) {
  return IsAnyAddressText(address);
}

// Parses an address text for a socket of `family`, remembering the last text: the packets of
// a batch mostly share their local address (and on one host their peer address), so most
// lookups cost a comparison.
class TAddressMemo {
 public:
  explicit TAddressMemo(int family) : family_(family) {}
  bool Parse(const std::string& text, uint16_t port, TSockAddr& out, socklen_t& length) {
    if (!valid_ || text != text_) {
      text_ = text;
      valid_ = MakeSockAddr(text, 0, family_, address_, length_);
      if (!valid_) return false;
    }
    out = address_;
    length = length_;
    if (family_ == AF_INET)
      out.v4.sin_port = htons(port);
    else
      out.v6.sin6_port = htons(port);
    return true;
  }

 private:
  const int family_;
  std::string text_;
  TSockAddr address_{};
  socklen_t length_ = 0;
  bool valid_ = false;
};

std::string Describe(const std::string& address, uint16_t port) {
  const std::string shown = address.empty() ? std::string("::") : address;
  return (IsIPv6Text(shown) && shown.front() != '[' ? "[" + shown + "]" : shown) + ":" +
         std::to_string(port);
}

// Makes `msg` leave from `source`, the address the client talked to, not whatever the route
// prefers. `control` holds kControlRoom bytes, aligned for a cmsghdr, and lives as long as msg.
// On an IPv6 socket an IPv4 source goes in its mapped form; the kernel takes it for an IPv4
// peer. An unspecified source leaves the choice to the route.
// Puts one control message carrying `info` into `control` (kControlRoom bytes).
template <typename TInfo>
void PutControl(msghdr& msg, char* control, int level, int type, const TInfo& info) {
  cmsghdr c{};
  c.cmsg_level = level;
  c.cmsg_type = type;
  c.cmsg_len = CMSG_LEN(sizeof info);
  std::memcpy(control, &c, sizeof c);
  std::memcpy(CMSG_DATA(reinterpret_cast<cmsghdr*>(control)), &info, sizeof info);
  // The length without the trailing padding: the kernel copies up to 36 bytes of control data
  // onto its stack and allocates for more, once per message. An IPv6 source is 36 bytes so.
  msg.msg_controllen = CMSG_LEN(sizeof info);
}

void SetSourceAddress(msghdr& msg, char* control, const TSockAddr& source) {
  std::memset(control, 0, kControlRoom);
  msg.msg_control = control;
  if (source.any.sa_family == AF_INET) {
    if (source.v4.sin_addr.s_addr == 0) return;
    in_pktinfo info{};
    info.ipi_spec_dst = source.v4.sin_addr;
    PutControl(msg, control, IPPROTO_IP, IP_PKTINFO, info);
  } else {
    if (IN6_IS_ADDR_UNSPECIFIED(&source.v6.sin6_addr)) return;
    in6_pktinfo info{};
    info.ipi6_addr = source.v6.sin6_addr;
    PutControl(msg, control, IPPROTO_IPV6, IPV6_PKTINFO, info);
  }
}

// The local address a datagram arrived on, from the control data of a wildcard socket.
std::string ArrivalAddress(msghdr& msg, const std::string& fallback) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    TSockAddr a{};
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      a.v4.sin_family = AF_INET;
      a.v4.sin_addr = info.ipi_spec_dst.s_addr != 0 ? info.ipi_spec_dst : info.ipi_addr;
      return SockAddrText(&a.any);
    }
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      a.v6.sin6_family = AF_INET6;
      a.v6.sin6_addr = info.ipi6_addr;
      return SockAddrText(&a.any);
    }
  }
  return fallback;
}

}  // namespace

TDatagramCalls SystemDatagramCalls() {
  TDatagramCalls calls;
  calls.sendMany = [](int fd, mmsghdr* messages, unsigned count) {
    return ::sendmmsg(fd, messages, count, MSG_NOSIGNAL | MSG_DONTWAIT);
  };
  calls.waitWritable = [](int fd, int ms) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & POLLOUT) != 0;
  };
  return calls;
}

// One batch of receive slots: the datagram bytes, sender addresses and control data of
// kBatchSize messages. The byte block is taken at the first datagram, so an idle server
// holds none of it.
struct TUDPServerSocket::TReceiveSlots {
  std::unique_ptr<uint8_t[]> bytes;
  std::array<mmsghdr, kBatchSize> messages{};
  std::array<iovec, kBatchSize> iov{};
  std::array<TSockAddr, kBatchSize> peers{};
  alignas(cmsghdr) std::array<std::array<char, kReceiveControlRoom>, kBatchSize> control{};
  std::vector<std::unique_ptr<TPacket>> batch;
  std::vector<std::unique_ptr<TPacket>> spares;  // emptied packets handed back by the handler

  void Prepare() {
    if (!bytes) {
      bytes = std::make_unique_for_overwrite<uint8_t[]>(size_t{kBatchSize} * kReceiveBufferSize);
      batch.reserve(kBatchSize);
      spares.reserve(2 * kBatchSize);
    }
    for (unsigned i = 0; i < kBatchSize; ++i) {
      iov[i] = {bytes.get() + size_t{i} * kReceiveBufferSize, size_t{kReceiveBufferSize}};
      msghdr& m = messages[i].msg_hdr;
      m = msghdr{};
      m.msg_name = &peers[i];
      m.msg_namelen = sizeof peers[i];
      m.msg_iov = &iov[i];
      m.msg_iovlen = 1;
      m.msg_control = control[i].data();
      m.msg_controllen = control[i].size();
      messages[i].msg_len = 0;
    }
  }
};

TUDPServerSocket::TUDPServerSocket(uint16_t defaultPort, THandler handler)
    : defaultPort_(defaultPort),
      handler_([one = std::move(handler)](std::vector<std::unique_ptr<TPacket>>& batch,
                                          std::vector<std::unique_ptr<TPacket>>&) {
        for (std::unique_ptr<TPacket>& packet : batch) {
          try {
            if (packet) one(std::move(packet));
          } catch (...) {
            // The handler owns its refusals; the rest of the batch still goes.
          }
        }
      }) {}

TUDPServerSocket::TUDPServerSocket(uint16_t defaultPort, TBatchHandler handler)
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
    uint16_t port = b.port != 0 ? b.port : defaultPort_;
    TSockAddr local{};
    socklen_t localLength = 0;
    if (s.wildcard && b.address != "0.0.0.0") {
      // Both families on one socket; a host without IPv6 gets the IPv4 wildcard instead.
      s.address = "::";
      s.family = AF_INET6;
      s.fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (s.fd < 0 && errno == EAFNOSUPPORT) {
        s.address = "0.0.0.0";
        s.family = AF_INET;
      }
    } else {
      const std::optional<TIpAddress> ip = ParseIpAddress(b.address);
      if (!ip) {
        errno = EINVAL;
        fail("Invalid bind address " + b.address);
      }
      s.address = IpAddressText(*ip);
      s.family = ip->v6 ? AF_INET6 : AF_INET;
    }
    MakeSockAddr(s.address, port, s.family, local, localLength);
    // Blocking, so that the receive thread can sleep in recvmmsg; every other call on it
    // passes MSG_DONTWAIT.
    if (s.fd < 0) s.fd = ::socket(s.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0) fail("Could not create socket");
    opened.push_back(s);
    int on = 1;
    int off = 0;
    const bool askedFor =
        s.family == AF_INET
            ? ::setsockopt(s.fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0
            : ::setsockopt(s.fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) == 0 &&
                  ::setsockopt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY, s.wildcard ? &off : &on,
                               sizeof on) == 0;
    if (!askedFor) fail("Could not ask for local addresses");
    // Arrival stamps: the voice age bound counts the time a datagram waits in the buffer.
    // Without them (refused) the wait counts from the moment the server reads it.
    ::setsockopt(s.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    opened.back().bound = local;
    if (::bind(s.fd, &local.any, localLength) != 0)
      fail("Could not bind to " + Describe(s.address, port));
    TSockAddr bound{};
    socklen_t len = sizeof bound;
    ::getsockname(s.fd, &bound.any, &len);
    opened.back().port = SockAddrPort(&bound.any);
    SizeBuffers(s.fd, Describe(s.address, opened.back().port));
  }
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) fail("Could not create the wake-up descriptor");

  {
    TLockGuard lock(socketsMutex_);
    sockets_ = std::move(opened);
  }
  wakeFd_ = wake;
  stopping_.store(false);
  active_.store(true);
  receiver_ = std::thread([this] { ReceiveLoop(); });
}

void TUDPServerSocket::SizeBuffers(int fd, const std::string& where) {
  // Room for bursts (a login makes every player acknowledge at once) while a thread is busy.
  // The forced options pass the system limit when the process may; otherwise the kernel
  // grants up to its limit.
  const int want = kSocketBufferBytes;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &want, sizeof want) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
  int receive = 0;
  int send = 0;
  socklen_t len = sizeof receive;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, &len);
  len = sizeof send;
  ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send, &len);
  int none = 0;
  receiveBufferBytes_.compare_exchange_strong(none, receive);
  none = 0;
  sendBufferBytes_.compare_exchange_strong(none, send);
  LogFormat(LMT_ALL, LMD_INFO, {where, receive, send, want},
            "UDP socket %1: receive buffer %2 bytes, send buffer %3 bytes (asked for %4)",
            kSocketCategory);
}

void TUDPServerSocket::Close() {
  if (receiver_.joinable()) {
    stopping_.store(true);
    uint64_t one = 1;
    ssize_t written = ::write(wakeFd_, &one, sizeof one);
    (void)written;
    // A receive thread asleep in its socket's receive call wakes when reading is shut down
    // (the call fails with ENOTCONN on an unconnected socket, but the sleeper is woken).
    {
      TLockGuard lock(socketsMutex_);
      for (const TOpenSocket& s : sockets_) ::shutdown(s.fd, SHUT_RD);
    }
    receiver_.join();
  }
  active_.store(false);
  CloseSockets();
}

void TUDPServerSocket::CloseSockets() {
  TLockGuard lock(socketsMutex_);
  for (TOpenSocket& s : sockets_) ::close(s.fd);
  sockets_.clear();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

uint16_t TUDPServerSocket::BoundPort(size_t i) const {
  TLockGuard lock(socketsMutex_);
  return i < sockets_.size() ? sockets_[i].port : 0;
}

void TUDPServerSocket::ReceiveLoop() {
  // The list does not change while this thread runs: Open fills it before starting us and
  // Close empties it only after joining us. So a copy taken once stays true.
  std::vector<TOpenSocket> sockets;
  {
    TLockGuard lock(socketsMutex_);
    sockets = sockets_;
  }
  TReceiveSlots slots;
  if (sockets.size() == 1) {
    // One socket (the usual case): sleep in the receive call itself, one system call per
    // wake-up instead of a poll and a receive. Close wakes it by shutting reading down.
    while (!stopping_.load()) DrainSocket(sockets[0], slots, true);
    return;
  }
  std::vector<pollfd> fds;
  for (const TOpenSocket& s : sockets) fds.push_back({s.fd, POLLIN, 0});
  fds.push_back({wakeFd_, POLLIN, 0});
  while (!stopping_.load()) {
    int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds.back().revents != 0) break;
    for (size_t i = 0; i + 1 < fds.size(); ++i)
      if (fds[i].revents & POLLIN) DrainSocket(sockets[i], slots, false);
  }
}

void TUDPServerSocket::DrainSocket(const TOpenSocket& s, TReceiveSlots& slots, bool block) {
  for (unsigned taken = 0; taken < kBurstPerSocket && !stopping_.load();) {
    slots.Prepare();
    // Blocking: wait for the first datagram, then take what else is there without waiting.
    const int flags = block && taken == 0 ? MSG_WAITFORONE : MSG_DONTWAIT;
    int n = ::recvmmsg(s.fd, slots.messages.data(), kBatchSize, flags, nullptr);
    if (n <= 0) return;  // EAGAIN: drained; anything else: the next look tells
    taken += static_cast<unsigned>(n);
    const double readMs = RealtimeMs();  // one clock read per batch
    slots.batch.clear();
    for (int i = 0; i < n; ++i) {
      msghdr& msg = slots.messages[i].msg_hdr;
      if (msg.msg_flags & MSG_TRUNC) {
        // Longer than any packet the server accepts; a cut datagram is not the one sent.
        truncated_.fetch_add(1);
        continue;
      }
      double waitedMs = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp;
          std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          const double arrivedMs =
              static_cast<double>(stamp.tv_sec) * 1000.0 + static_cast<double>(stamp.tv_nsec) / 1e6;
          // A clock set back meanwhile gives a negative wait: none then.
          waitedMs = std::max(0.0, readMs - arrivedMs);
        }
      }
      std::string local = s.wildcard ? ArrivalAddress(msg, s.address) : s.address;
      try {
        std::unique_ptr<TPacket> packet;
        if (!slots.spares.empty()) {
          packet = std::move(slots.spares.back());
          slots.spares.pop_back();
        } else {
          packet = std::make_unique<TPacket>();
        }
        packet->SetAddress(SockAddrText(&slots.peers[i].any), SockAddrPort(&slots.peers[i].any),
                           std::move(local));
        packet->Write(slots.iov[i].iov_base, static_cast<int32_t>(slots.messages[i].msg_len));
        packet->SetPosition(0);
        packet->SetSocketWaitMs(waitedMs);
        slots.batch.push_back(std::move(packet));
      } catch (...) {
        // No memory for this one: it is lost like a datagram the kernel dropped.
      }
    }
    try {
      if (!slots.batch.empty()) handler_(slots.batch, slots.spares);
    } catch (...) {
      // The handler owns its refusals; nothing a datagram does may end this thread.
    }
    slots.batch.clear();
    if (static_cast<unsigned>(n) < kBatchSize) return;  // the socket is empty for now
  }
}

size_t TUDPServerSocket::Send(const TPacket& packet) {
  const std::string& local = packet.LocalAddress();
  if (local.empty()) return 0;
  size_t sent = 0;
  TLockGuard lock(socketsMutex_);
  for (const TOpenSocket& s : sockets_) {
    if (!s.wildcard && s.address != local) continue;
    TSockAddr peer{};
    socklen_t peerLength = 0;
    if (!MakeSockAddr(packet.PeerAddress(), packet.PeerPort(), s.family, peer, peerLength)) {
      sendFailures_.fetch_add(1);
      continue;
    }
    iovec iov{const_cast<uint8_t*>(packet.Memory()), static_cast<size_t>(packet.Size())};
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = peerLength;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[kControlRoom];
    TSockAddr source{};
    socklen_t sourceLength = 0;
    if (s.wildcard && MakeSockAddr(local, 0, s.family, source, sourceLength))
      SetSourceAddress(msg, control, source);
    if (::sendmsg(s.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(packet.Size()))
      ++sent;
    else
      sendFailures_.fetch_add(1);
  }
  return sent;
}

size_t TUDPServerSocket::SendBatch(const std::vector<std::unique_ptr<TPacket>>& packets) {
  std::vector<uint8_t> sent(packets.size(), 0);
  std::vector<size_t> chosen;
  chosen.reserve(packets.size());
  {
    TLockGuard lock(socketsMutex_);
    for (const TOpenSocket& s : sockets_) {
      chosen.clear();
      for (size_t i = 0; i < packets.size(); ++i) {
        if (!packets[i]) continue;
        const std::string& local = packets[i]->LocalAddress();
        if (!local.empty() && (s.wildcard || s.address == local)) chosen.push_back(i);
      }
      if (!chosen.empty()) SendThrough(s, packets, chosen, sent);
    }
  }
  size_t count = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    if (sent[i])
      ++count;
    else if (packets[i] && !packets[i]->LocalAddress().empty())
      sendFailures_.fetch_add(1);
  }
  return count;
}

void TUDPServerSocket::SendThrough(const TOpenSocket& s,
                                   const std::vector<std::unique_ptr<TPacket>>& packets,
                                   const std::vector<size_t>& chosen, std::vector<uint8_t>& sent) {
  constexpr size_t kChunk = kSendChunk;
  std::array<mmsghdr, kChunk> messages;
  std::array<iovec, kChunk> iov;
  std::array<TSockAddr, kChunk> peers;
  alignas(cmsghdr) std::array<std::array<char, kControlRoom>, kChunk> control;
  std::array<size_t, kChunk> index;
  TAddressMemo peerMemo(s.family), localMemo(s.family);
  int waits = 0;
  for (size_t from = 0; from < chosen.size();) {
    // Fill one chunk; packets with an unreadable peer address are skipped (counted as failed).
    size_t m = 0;
    for (; from < chosen.size() && m < kChunk; ++from) {
      const TPacket& packet = *packets[chosen[from]];
      TSockAddr& peer = peers[m];
      socklen_t peerLength = 0;
      if (!peerMemo.Parse(packet.PeerAddress(), packet.PeerPort(), peer, peerLength)) continue;
      iov[m] = {const_cast<uint8_t*>(packet.Memory()), static_cast<size_t>(packet.Size())};
      msghdr& msg = messages[m].msg_hdr;
      msg = msghdr{};
      messages[m].msg_len = 0;
      msg.msg_name = &peer;
      msg.msg_namelen = peerLength;
      msg.msg_iov = &iov[m];
      msg.msg_iovlen = 1;
      TSockAddr source{};
      socklen_t sourceLength = 0;
      if (s.wildcard && localMemo.Parse(packet.LocalAddress(), 0, source, sourceLength))
        SetSourceAddress(msg, control[m].data(), source);
      index[m++] = chosen[from];
    }
    SendMessages(s, messages.data(), m, index.data(), sent, waits);
    if (waits > kSendWaits) return;  // the rest of this batch through s is lost
  }
}

void TUDPServerSocket::SendMessages(const TOpenSocket& s, mmsghdr* messages, size_t count,
                                    const size_t* index, std::vector<uint8_t>& sent, int& waits) {
  // A partial send goes on with the rest, EAGAIN waits for room.
  for (size_t done = 0; done < count;) {
    int r = calls_.sendMany(s.fd, messages + done, static_cast<unsigned>(count - done));
    if (r > 0) {
      for (size_t k = done; k < done + static_cast<size_t>(r) && k < count; ++k) sent[index[k]] = 1;
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
      if (++waits > kSendWaits) return;
      calls_.waitWritable(s.fd, kSendWaitMs);
      continue;
    }
    ++done;  // the first one failed for itself (refused peer, bad address): skip it
  }
}

size_t TUDPServerSocket::SendVoiceCopies(std::span<const TDirectVoice> copies) {
  if (copies.empty()) return 0;
  constexpr size_t kChunk = kSendChunk;
  std::vector<uint8_t> sent(copies.size(), 0);
  std::array<mmsghdr, kChunk> messages;
  std::array<std::array<iovec, 2>, kChunk> iov;
  std::array<TSockAddr, kChunk> peers;
  alignas(cmsghdr) std::array<std::array<char, kControlRoom>, kChunk> control;
  std::array<size_t, kChunk> index;
  {
    TLockGuard lock(socketsMutex_);
    for (const TOpenSocket& s : sockets_) {
      const bool ipv4Socket = s.family == AF_INET;
      int waits = 0;
      for (size_t from = 0; from < copies.size() && waits <= kSendWaits;) {
        size_t m = 0;
        for (; from < copies.size() && m < kChunk; ++from) {
          const TDirectVoice& copy = copies[from];
          const TDirectAddresses& a = copy.addresses;
          // An IPv4 socket cannot reach an IPv6 peer; a dual-stack one reaches an IPv4 peer
          // through its mapped form.
          const socklen_t peerLength = ipv4Socket ? a.peerIn4Length : a.peerIn6Length;
          if (peerLength == 0) continue;
          const TSockAddr& local = ipv4Socket ? a.localIn4 : a.localIn6;
          const bool hasLocal = ipv4Socket ? a.hasLocalIn4 : a.hasLocalIn6;
          if (!s.wildcard && !(hasLocal && SameHost(s.bound, local))) continue;
          peers[m] = ipv4Socket ? a.peerIn4 : a.peerIn6;
          // The header is the copy's own, the voice data the one block every copy shares.
          iov[m][0] = {const_cast<uint8_t*>(copy.header.data()), copy.header.size()};
          iov[m][1] = {const_cast<uint8_t*>(copy.data.data()), copy.data.size()};
          msghdr& msg = messages[m].msg_hdr;
          msg = msghdr{};
          messages[m].msg_len = 0;
          msg.msg_name = &peers[m];
          msg.msg_namelen = peerLength;
          msg.msg_iov = iov[m].data();
          msg.msg_iovlen = copy.data.empty() ? 1 : 2;
          if (s.wildcard && hasLocal) SetSourceAddress(msg, control[m].data(), local);
          index[m++] = from;
        }
        SendMessages(s, messages.data(), m, index.data(), sent, waits);
      }
    }
  }
  const size_t count = static_cast<size_t>(std::count(sent.begin(), sent.end(), uint8_t{1}));
  if (count < copies.size()) sendFailures_.fetch_add(copies.size() - count);
  return count;
}

TUDPServerSocket::TBatchHandler TableReceiveHandler(TCustomPacketBuffer& table,
                                                    TVoiceRelay relayVoice) {
  // Client voice the table hands out; receive thread only.
  auto voice = std::make_shared<std::vector<std::unique_ptr<TPacket>>>();
  return [&table, relayVoice = std::move(relayVoice), voice](
             std::vector<std::unique_ptr<TPacket>>& batch,
             std::vector<std::unique_ptr<TPacket>>& spares) {
    if (table.StopRequested()) return;
    // Refused datagrams are counted by the table and otherwise dropped without a word; the
    // receive thread keeps up to two batches of emptied packets to read into.
    const size_t room = 2 * TUDPServerSocket::kBatchSize;
    table.OfferDatagrams(batch, &spares, spares.size() < room ? room - spares.size() : 0,
                         relayVoice ? voice.get() : nullptr);
    if (!voice->empty()) relayVoice(*voice);
    voice->clear();
  };
}

}  // namespace vh
