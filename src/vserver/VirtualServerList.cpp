#include "vserver/VirtualServerList.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <system_error>
#include <thread>

#include "common/Strings.h"
#include "vserver/ServerObject.h"

namespace vh {

TVirtualServerList::~TVirtualServerList() {
  StopVirtualServers(0);
}

void TVirtualServerList::Add(std::shared_ptr<TServerObject> server) {
  TLockGuard lock(mutex_);
  servers_.push_back(std::move(server));
}

std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>>
TVirtualServerList::ListVirtualServers() const {
  TLockGuard lock(mutex_);
  std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>> out;
  out.reserve(servers_.size());
  for (const auto& s : servers_) out.emplace_back(std::to_string(s->ServerID()), s);
  return out;
}

bool TVirtualServerList::TryListVirtualServers(
    std::vector<std::shared_ptr<TServerObject>>& out) const {
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (mutex_.try_lock()) {
      out = servers_;
      mutex_.unlock();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::shared_ptr<TServerObject> TVirtualServerList::FindVirtualServer(int32_t id) const {
  TLockGuard lock(mutex_);
  for (const auto& s : servers_)
    if (s->ServerID() == id) return s;
  return nullptr;
}

bool TVirtualServerList::WithVirtualServer(int32_t id,
                                           const std::function<void(TServerObject&)>& fn) const {
  TLockGuard lock(mutex_);
  for (const auto& s : servers_) {
    if (s->ServerID() != id) continue;
    fn(*s);
    return true;
  }
  return false;
}

std::shared_ptr<TServerObject> TVirtualServerList::FindVirtualServerByText(
    const std::string& text) const {
  int64_t id = 0;
  if (!TryParseInt(text, id) || id < INT32_MIN || id > INT32_MAX) return nullptr;
  return FindVirtualServer(static_cast<int32_t>(id));
}

namespace {

// Stops the servers side by side: each stop mostly waits (for its threads, for its players'
// goodbyes), so a process with many servers would otherwise take the sum of those waits.
void StopSideBySide(std::vector<std::shared_ptr<TServerObject>>& servers) {
  if (servers.size() == 1) {
    servers.front()->Stop();
    servers.clear();
    return;
  }
  std::atomic<size_t> next{0};
  auto work = [&servers, &next] {
    for (size_t i = next.fetch_add(1); i < servers.size(); i = next.fetch_add(1)) {
      servers[i]->Stop();
      servers[i].reset();  // released here, side by side as well
    }
  };
  std::vector<std::thread> workers;
  const size_t count = std::min(servers.size(), TVirtualServerList::kStopThreads);
  try {
    for (size_t i = 0; i < count; ++i) workers.emplace_back(work);
  } catch (const std::system_error&) {
    // No more threads to be had: those that started (or this one) do the rest.
  }
  if (workers.empty()) work();
  for (std::thread& t : workers) t.join();
  servers.clear();
}

}  // namespace

void TVirtualServerList::StopVirtualServers(int32_t id) {
  TLockGuard lock(mutex_);
  std::vector<std::shared_ptr<TServerObject>> stopping;
  for (size_t i = servers_.size(); i-- > 0;) {
    if (id != 0 && servers_[i]->ServerID() != id) continue;
    stopping.push_back(std::move(servers_[i]));
    servers_.erase(servers_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  StopSideBySide(stopping);
}

void TVirtualServerList::Remove(const TServerObject* server) {
  TLockGuard lock(mutex_);
  std::erase_if(servers_, [server](const auto& s) { return s.get() == server; });
}

size_t TVirtualServerList::Count() const {
  TLockGuard lock(mutex_);
  return servers_.size();
}

bool TVirtualServerList::WithVirtualServer(const TServerObject* server,
                                           const std::function<void(TServerObject&)>& use) const {
  if (!server) return false;
  TLockGuard lock(mutex_);
  for (const auto& s : servers_) {
    if (s.get() != server) continue;
    use(*s);
    return true;
  }
  return false;
}

}  // namespace vh
