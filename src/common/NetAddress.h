// Address texts of both families: parsing, the text a peer address is shown and stored in,
// the source key under which limits count an address, and IPv6 ban prefixes. Pure functions,
// callable from any thread.
//
// Texts: an IPv4 address (also one that arrives mapped into IPv6, ::ffff:a.b.c.d) is dotted;
// an IPv6 address is the compressed lowercase form (inet_ntop, RFC 5952). Everything stored
// or shown (bans, logs, the query's lists, replies) uses these texts, so IPv4 players look
// exactly as they did before the server listened on IPv6.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vh {

// A socket address of either family, large enough for what recvmsg/accept return.
union TSockAddr {
  sockaddr any;
  sockaddr_in v4;
  sockaddr_in6 v6;
};

struct TIpAddress {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // IPv4 in the first four bytes
};

// A literal of either family; brackets around an IPv6 literal ("[::1]") are accepted. An
// IPv4-mapped IPv6 literal is taken as the IPv4 address it carries.
std::optional<TIpAddress> ParseIpAddress(std::string_view text);
std::string IpAddressText(const TIpAddress& address);
// The text of `text` in the form above (a mapped IPv4 address dotted); a text that is no
// address comes back unchanged.
std::string CanonicalAddress(std::string_view text);
// The text of a socket address (dotted for IPv4 and mapped IPv4); empty for another family.
std::string SockAddrText(const sockaddr* address);
uint16_t SockAddrPort(const sockaddr* address);
// Fills `out` for `text` and `port`, in the family of a socket: a socket of family AF_INET6
// reaches an IPv4 address through its mapped form. False when the text is no address of
// that family. Returns the length to pass to the system call in `length`.
bool MakeSockAddr(std::string_view text, uint16_t port, int socketFamily, TSockAddr& out,
                  socklen_t& length);

// True for a text holding an IPv6 address (contains a colon); IPv4 texts never do.
inline bool IsIPv6Text(std::string_view text) {
  return text.find(':') != std::string_view::npos;
}
// "::1" and 127.x.y.z.
bool IsLoopbackText(std::string_view text);
// The wildcard bind addresses: empty, "0.0.0.0", "::" and "[::]".
bool IsAnyAddressText(std::string_view text);

// Bits that one IPv6 host is assumed to own: a single subscriber gets at least a /64 and may
// use any address in it, so limits and player bans act on the /64.
constexpr int kIPv6HostPrefix = 64;
// The key under which a source is counted: an IPv4 address itself, an IPv6 address as its /64
// ("2001:db8:1:2::/64"), a mapped IPv4 address dotted. Texts that are no address stay as
// they are.
std::string SourceKey(std::string_view address);

// An IPv6 ban pattern: an address, or an address with a prefix length ("2001:db8::/48").
struct TIPv6Prefix {
  std::array<uint8_t, 16> bytes{};
  int bits = 128;
};
std::optional<TIPv6Prefix> ParseIPv6Prefix(std::string_view text);
bool PrefixContains(const TIPv6Prefix& prefix, const TIpAddress& address);
// The canonical text of a prefix (host bits cleared; no "/128" for a single address).
std::string PrefixText(const TIPv6Prefix& prefix);

// `text` cut to fit `room` characters; a cut text ends in '*' so it is not mistaken for a
// whole address.
std::string CutWithMark(std::string_view text, size_t room);

}  // namespace vh
