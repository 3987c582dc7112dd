// The web-list poster: one thread for the whole process that, every five minutes, sends each
// running virtual server's 403-byte record by UDP from that server's own socket to the list
// host and, when posting is enabled, the same facts as HTTP form posts (one short-lived
// helper thread per further host while a pass posts, at most kMaxParallelPosts in all). Started and
// stopped on the main thread; the thread reads the settings through the source it was given and the
// virtual-server list under that list's lock. mutex_ guards the termination flag's waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "weblist/HttpFetch.h"
#include "weblist/WebListRecord.h"

namespace vh {

class TServerObject;
class TVirtualServerList;

class TWebPost {
 public:
  // Called at every server's turn: the settings are never copied at thread start, so an
  // administrator's change applies to the next post.
  using TSettingsSource = std::function<TWebPostSettings()>;
  using TServerEntries = std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>>;

  struct TTiming {
    std::chrono::milliseconds wait{150000};  // twice per period: wait, pass, wait
    std::chrono::milliseconds step{250};     // termination is checked at least this often
    int httpTimeoutMs = kWebPostDeadlineMs;  // each post's whole exchange
  };

  // `servers` outlives the poster. The thread starts with Start.
  TWebPost(TVirtualServerList& servers, TSettingsSource settings, TTiming timing);
  TWebPost(TVirtualServerList& servers, TSettingsSource settings)
      : TWebPost(servers, std::move(settings), TTiming{}) {}
  ~TWebPost();
  TWebPost(const TWebPost&) = delete;
  TWebPost& operator=(const TWebPost&) = delete;

  void Start();
  // Asks the thread to end: ends a wait at once and cancels an HTTP post in flight.
  void Terminate();
  // Joins the thread (after Terminate).
  void WaitFor();
  bool Terminated() const { return terminated_.load(); }

  // One posting pass over a fresh copy of the server list (the thread runs it between its
  // waits; an exception escaping it is the caller's to log).
  void PostingPass();
  // The pass over an already copied list: each server is looked up again by id at its turn,
  // so one stopped since the copy is skipped.
  void PostEntries(const TServerEntries& entries);

 private:
  void Execute();
  // False when termination was asked for during the wait.
  bool Wait();
  void SendRecord(TServerObject& server, const TWebPostSettings& settings,
                  const std::string& listAddress, uint16_t listPort);
  struct TPostJob {
    std::string url, body;
    TWebPostSettings settings;
  };
  static constexpr size_t kMaxParallelPosts = 8;
  void RunPosts(const std::vector<TPostJob>& jobs);
  void Post(const TPostJob& job);

  // set at construction
  TVirtualServerList& servers_;
  const TSettingsSource settings_;
  const TTiming timing_;

  std::atomic<bool> terminated_{false};
  TMutex mutex_;  // the waits of Wait; Terminate takes it so that no wake-up is missed
  std::condition_variable wake_;
  THttpCancel cancel_;
  std::thread thread_;  // started and joined on the owner's thread
};

// The dotted IPv4 address of a host name (or dotted text); empty when it does not resolve.
std::string ResolveIPv4(const std::string& host);

}  // namespace vh
