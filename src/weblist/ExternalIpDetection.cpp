#include "weblist/ExternalIpDetection.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace vh {

std::vector<std::string> AddressesOfHost(const std::string& hostName) {
  std::vector<std::string> out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  addrinfo* found = nullptr;
  if (hostName.empty() || ::getaddrinfo(hostName.c_str(), nullptr, &hints, &found) != 0) return out;
  for (addrinfo* a = found; a; a = a->ai_next) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) out.emplace_back(text);
  }
  ::freeaddrinfo(found);
  return out;
}

bool IsGlobalIPv6(const TIpAddress& address) {
  if (!address.v6) return false;
  const uint8_t first = address.bytes[0];
  if ((first & 0xe0) != 0x20) return false;  // outside 2000::/3
  // 2001:db8::/32 is for examples only.
  return !(first == 0x20 && address.bytes[1] == 0x01 && address.bytes[2] == 0x0d &&
           address.bytes[3] == 0xb8);
}

std::vector<std::string> LocalAddresses() {
  std::vector<std::string> out;
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) == 0) out = AddressesOfHost(name);
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6) continue;
    const std::optional<TIpAddress> ip = ParseIpAddress(SockAddrText(i->ifa_addr));
    if (!ip || !IsGlobalIPv6(*ip)) continue;
    std::string text = IpAddressText(*ip);
    if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(std::move(text));
  }
  ::freeifaddrs(list);
  return out;
}

TExternalIpDetection::~TExternalIpDetection() {
  TLockGuard lock(mutex_);
  current_.reset();
}

bool TExternalIpDetection::Start(bool enabled, const std::string& url, TWebCheck::TOnDone onDone,
                                 TWebCheck::TOnError onError, int timeoutMs) {
  TLockGuard lock(mutex_);
  const bool fresh = !current_ || current_->Finished();
  // A finished check's thread has ended its body; freeing it only joins.
  if (fresh) current_ = std::make_unique<TWebCheck>();
  current_->SetEnabled(enabled);
  current_->SetURL(url);
  current_->SetOnDone(std::move(onDone));
  current_->SetOnError(std::move(onError));
  current_->SetTimeoutMs(timeoutMs);
  if (fresh) current_->Resume();
  return fresh;
}

bool TExternalIpDetection::Running() {
  TLockGuard lock(mutex_);
  return current_ && !current_->Finished();
}

}  // namespace vh
