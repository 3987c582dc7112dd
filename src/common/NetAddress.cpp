#include "common/NetAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace vh {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool IsMapped(const in6_addr& a) {
  return std::memcmp(a.s6_addr, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

std::string_view StripBrackets(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    return text.substr(1, text.size() - 2);
  return text;
}

}  // namespace

std::optional<TIpAddress> ParseIpAddress(std::string_view text) {
  text = StripBrackets(text);
  // inet_pton wants a terminated string; no address text is longer than this.
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  char buf[INET6_ADDRSTRLEN] = {};
  std::memcpy(buf, text.data(), text.size());
  TIpAddress out;
  in_addr v4{};
  if (::inet_pton(AF_INET, buf, &v4) == 1) {
    std::memcpy(out.bytes.data(), &v4, 4);
    return out;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, buf, &v6) != 1) return std::nullopt;
  if (IsMapped(v6)) {
    std::memcpy(out.bytes.data(), v6.s6_addr + 12, 4);
    return out;
  }
  out.v6 = true;
  std::memcpy(out.bytes.data(), v6.s6_addr, 16);
  return out;
}

std::string IpAddressText(const TIpAddress& address) {
  char buf[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), buf, sizeof buf);
  return buf;
}

std::string CanonicalAddress(std::string_view text) {
  const std::optional<TIpAddress> ip = ParseIpAddress(text);
  return ip ? IpAddressText(*ip) : std::string(text);
}

std::string SockAddrText(const sockaddr* address) {
  TIpAddress ip;
  if (address->sa_family == AF_INET) {
    std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
  } else if (address->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IsMapped(a)) {
      std::memcpy(ip.bytes.data(), a.s6_addr + 12, 4);
    } else {
      ip.v6 = true;
      std::memcpy(ip.bytes.data(), a.s6_addr, 16);
    }
  } else {
    return {};
  }
  return IpAddressText(ip);
}

uint16_t SockAddrPort(const sockaddr* address) {
  if (address->sa_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  if (address->sa_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
  return 0;
}

bool MakeSockAddr(std::string_view text, uint16_t port, int socketFamily, TSockAddr& out,
                  socklen_t& length) {
  out = TSockAddr{};
  const std::optional<TIpAddress> ip = ParseIpAddress(text);
  if (!ip) return false;
  if (socketFamily == AF_INET) {
    if (ip->v6) return false;
    out.v4.sin_family = AF_INET;
    out.v4.sin_port = htons(port);
    std::memcpy(&out.v4.sin_addr, ip->bytes.data(), 4);
    length = sizeof out.v4;
    return true;
  }
  out.v6.sin6_family = AF_INET6;
  out.v6.sin6_port = htons(port);
  if (ip->v6) {
    std::memcpy(out.v6.sin6_addr.s6_addr, ip->bytes.data(), 16);
  } else {
    std::memcpy(out.v6.sin6_addr.s6_addr, kMappedPrefix, sizeof kMappedPrefix);
    std::memcpy(out.v6.sin6_addr.s6_addr + 12, ip->bytes.data(), 4);
  }
  length = sizeof out.v6;
  return true;
}

bool IsLoopbackText(std::string_view text) {
  const std::optional<TIpAddress> ip = ParseIpAddress(text);
  if (!ip) return false;
  if (!ip->v6) return ip->bytes[0] == 127;
  static constexpr std::array<uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
  return ip->bytes == kLoopback;
}

bool IsAnyAddressText(std::string_view text) {
  return text.empty() || text == "0.0.0.0" || text == "::" || text == "[::]";
}

std::string SourceKey(std::string_view address) {
  const std::optional<TIpAddress> ip = ParseIpAddress(address);
  if (!ip) return std::string(address);
  if (!ip->v6) return IpAddressText(*ip);
  TIPv6Prefix p;
  p.bytes = ip->bytes;
  p.bits = kIPv6HostPrefix;
  return PrefixText(p);
}

std::optional<TIPv6Prefix> ParseIPv6Prefix(std::string_view text) {
  TIPv6Prefix out;
  const size_t slash = text.find('/');
  if (slash != std::string_view::npos) {
    const std::string_view bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : bits) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + (c - '0');
    }
    if (n > 128) return std::nullopt;
    out.bits = n;
    text = text.substr(0, slash);
  }
  const std::optional<TIpAddress> ip = ParseIpAddress(text);
  if (!ip || !ip->v6) return std::nullopt;
  out.bytes = ip->bytes;
  for (int i = 0; i < 16; ++i) {
    const int keep = out.bits - 8 * i;
    if (keep <= 0)
      out.bytes[i] = 0;
    else if (keep < 8)
      out.bytes[i] &= static_cast<uint8_t>(0xff << (8 - keep));
  }
  return out;
}

bool PrefixContains(const TIPv6Prefix& prefix, const TIpAddress& address) {
  if (!address.v6) return false;
  for (int i = 0; i < 16; ++i) {
    const int keep = prefix.bits - 8 * i;
    if (keep <= 0) break;
    const uint8_t mask = keep >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - keep));
    if ((address.bytes[i] & mask) != prefix.bytes[i]) return false;
  }
  return true;
}

std::string PrefixText(const TIPv6Prefix& prefix) {
  TIpAddress ip;
  ip.v6 = true;
  ip.bytes = prefix.bytes;
  for (int i = 0; i < 16; ++i) {
    const int keep = prefix.bits - 8 * i;
    if (keep <= 0)
      ip.bytes[i] = 0;
    else if (keep < 8)
      ip.bytes[i] &= static_cast<uint8_t>(0xff << (8 - keep));
  }
  std::string text = IpAddressText(ip);
  if (prefix.bits < 128) text += "/" + std::to_string(prefix.bits);
  return text;
}

std::string CutWithMark(std::string_view text, size_t room) {
  if (text.size() <= room) return std::string(text);
  if (room == 0) return {};
  return std::string(text.substr(0, room - 1)) + "*";
}

}  // namespace vh
