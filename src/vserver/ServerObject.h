// One virtual server: its settings, permission sets, ban list, administration request record,
// and the objects it owns (socket, connection table, listener and send threads, registry,
// channel tree). Started and stopped on the main thread or an administration thread; its own
// threads read its settings while it runs.
//
// Lock order of the whole server, outermost first (a thread holding one may take only those
// below it; Clang's -Wthread-safety build checks the guarded fields and lock-requiring calls):
//   1. the virtual-server list lock (TVirtualServerList::mutex_, vserver/VirtualServerList.h)
//   2. a virtual server's request lock (requestLock_: one administration request at a time)
//   3. the client registry lock, then the channel tree lock (TModelLock, model/ModelLock.h,
//      takes both in this order and releases the registry first); the listener holds both
//      for every event
//   4. the process-wide storage lock (around each load-bind-run-read of a script)
//   5. innermost: the connection-table lock (TCustomPacketBuffer::mutex_, taken only inside
//      its operations) and the two table-wide bandwidth-counter locks
// settingsMutex_, bansMutex_ and requestMutex_ are leaves: they may be taken under any of the
// above (the listener reads settings and bans with the registry and tree held), and nothing is
// taken while one is held; LoadBans and SaveServer use the storage lock before or after, never
// inside.
// A password-check pool thread takes a listener's wake-line lock (vserver/Listener.h) and,
// inside it, the connection-table lock, and nothing else; the pool's queue lock
// (common/PasswordCheckPool.h) is a leaf, taken under the model locks when a login is queued.
// Every wait of the listener and send threads is bounded (at most 52 ms).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "model/Permissions.h"
#include "storage/DateTime.h"
#include "storage/StoreResult.h"
#include "vserver/ServerCounters.h"

namespace vh {

class TCustomStorage;
class TStorageContainer;
class TClients;
class TChannels;
class TCustomPacketBuffer;
class TUDPServerSocket;
class TVHUDPListener;
class TVHUDPSender;
class TVirtualServerList;
class TClock;
class TStorageScript;
class TVServerEnvironment;

constexpr uint16_t kDefaultServerPort = 8767;
constexpr int kCodecCount = 13;

// The settings of a virtual server that its record stores (guarded by settingsMutex_).
struct TVirtualServerSettings {
  std::string Name = "Voxhollow Server";
  std::string WelcomeMessage;
  uint16_t MaxUsers = 16;
  uint16_t Port = kDefaultServerPort;
  std::string Password;
  std::array<bool, kCodecCount> CodecPermits{};  // all on by default (set in the constructor)
  std::string WebLinkURL;
  std::string WebPostURL;
  bool JoinOptionPermit = false;
};

// Binds the parameters of edit_server.sql: the one row both the server and the
// administration's settings edit write.
void BindServerRow(TStorageScript& q, int32_t serverId, bool clanServer,
                   const TVirtualServerSettings& s);

// A request of an administration thread to the listener.
// What an administration request asks the listener to do; the listener's request table
// (kRequestTable in Listener.cpp) gives each its handler and the name its errors are logged
// under. The numbers are those of the request record.
enum class TListenerRequestKind : uint8_t {
  None = 0,
  AddPlayer = 1,
  RemovePlayer = 2,
  MovePlayer = 3,
  KickWithReason = 4,  // kicked from the server, the admins hear the reason
  RemoveWithText = 5,  // kicked from the server with a text, no message to the admins
  AddChannel = 6,
  DeleteChannel = 7,
  ServerPropertiesChanged = 8,
  CheckAlive = 9,  // answered RC_ALIVE
  SetPlayerPrivileges = 10,
  SetChannelRegistered = 11,
  KickFromChannel = 12,      // to the default channel, as a kick by a server admin
  SetChannelPrivilege = 13,  // grant or revoke a channel privilege in the player's channel
};

struct TListenerRequest {
  TListenerRequestKind Type = TListenerRequestKind::None;
  int32_t RequestTarget = 0;
  int32_t RequestArgument = 0;
  uint16_t RequestFlags = 0;
  std::string RequestText;    // at most 255 characters
  std::string RequestIssuer;  // at most 29 characters
  // Results.
  int32_t ResultCode = -10;
  int32_t ResultValue = 0;
};

class TServerObject : public std::enable_shared_from_this<TServerObject> {
 public:
  static constexpr int kRequestTimeoutMs = 5000;
  static constexpr int kLivenessTimeoutMs = 1500;

  // `list`: the virtual-server list the server registers in while it runs (none in tests
  // that run a server on its own). `environment`: the host's rules and bound addresses (the
  // defaults when none is given); it outlives the server. Create with std::make_shared.
  explicit TServerObject(TCustomStorage* storage, TVirtualServerList* list = nullptr,
                         TVServerEnvironment* environment = nullptr);
  virtual ~TServerObject();
  TServerObject(const TServerObject&) = delete;
  TServerObject& operator=(const TServerObject&) = delete;

  // Starts the virtual server `id`; id 0 or less creates a new record first, on `port`
  // (0 means 8767). For an existing id the port comes from the database.
  bool Start(int32_t id, uint16_t port);
  // Why the last Start returned false, in a few words for the operator (empty after a start
  // that succeeded). Read by the thread that called Start.
  const std::string& StartFailure() const { return startFailure_; }
  // Tells every player, closes the connections and ends the threads.
  virtual void Stop();
  bool Running() const { return running_.load(); }
  // The clock of the connection table's timers (the steady clock unless set before Start;
  // tests drive time with a manual clock).
  void SetClock(const TClock& clock) { clock_ = &clock; }
  // The socket binds a port the system picks instead of the configured one (set before Start;
  // test servers use it, so that no two of them race for a port). BoundPort() tells which;
  // the stored record keeps the configured port.
  void SetBindAnyPort(bool any) { bindAnyPort_ = any; }
  // Before Start: no socket, no send thread and no listener thread. One caller thread then
  // drives the whole server in process: events from the table's PollEvent go to
  // Listener()->HandleEvent, and what would be sent is taken with NextOutgoingPacket(0).
  void SetDetached() { detached_ = true; }
  int32_t ServerID() const { return serverId_.load(); }

  // Writes the settings into the server's record; false when the database refused them.
  [[nodiscard]] bool SaveServer();
  void LoadBans() EXCLUDES(bansMutex_);
  size_t BanCount() const EXCLUDES(bansMutex_);
  TPermissionSet ReadServerPrivileges(TUserGroup group);
  TStoreResult WriteServerPrivileges(TUserGroup group, const TPermissionSet& set);

  // Settings: copies taken and replaced under the settings lock.
  TVirtualServerSettings Settings() const EXCLUDES(settingsMutex_);
  void SetSettings(const TVirtualServerSettings& settings) EXCLUDES(settingsMutex_);
  TServerPermissions Permissions() const EXCLUDES(settingsMutex_);
  void SetPermissions(const TServerPermissions& sets) EXCLUDES(settingsMutex_);
  // Bit n: codec n permitted.
  uint32_t CodecBits() const EXCLUDES(settingsMutex_);
  std::atomic<uint16_t>& ServerFlags() { return serverFlags_; }
  bool IsClanServer() const;
  std::atomic<bool>& TypeChanged() { return typeChanged_; }
  std::atomic<uint32_t>& LoginCount() { return loginCount_; }
  TDateTime StartTime() const { return startTime_; }
  const std::string& PlatformLabel() const { return platformLabel_; }
  // The monitoring figures; the block outlives the owned objects (and the server) for as long
  // as a reader holds it.
  const std::shared_ptr<TServerCounters>& Counters() const { return counters_; }

  // The objects a running server owns (null before Start and after Stop).
  TClients* Clients() const { return clients_.get(); }
  TChannels* Channels() const { return channels_.get(); }
  TCustomPacketBuffer* PacketBuffer() const { return buffer_.get(); }
  TUDPServerSocket* Socket() const { return socket_.get(); }
  TVHUDPListener* Listener() const { return listener_.get(); }
  TCustomStorage* Storage() const { return storage_; }
  TVServerEnvironment& Environment() const { return environment_; }
  // The port the socket actually bound (differs from the setting when that was 0).
  uint16_t BoundPort() const;

  // Ban list (issue of the listener and the administration threads). Callers hold BansLock.
  TMutex& BansLock() RETURN_CAPABILITY(bansMutex_) { return bansMutex_; }
  TStorageContainer* Bans() const REQUIRES(bansMutex_) { return bans_.get(); }
  TDateTime& LastBanCleanup() REQUIRES(bansMutex_) { return lastBanCleanup_; }

  // Administration threads: runs one request on the listener, waiting at most `timeoutMs`;
  // the result code is -10 when the listener did not answer in time. Requests are numbered,
  // so an answer that comes too late is never read by a later requester.
  TListenerRequest ExecuteRequest(TListenerRequest request, int timeoutMs = kRequestTimeoutMs)
      EXCLUDES(requestLock_, requestMutex_);
  // Listener thread: the pending request (false when none).
  bool TakeRequest(TListenerRequest& request, uint64_t& serial) EXCLUDES(requestMutex_);
  void CompleteRequest(uint64_t serial, const TListenerRequest& result) EXCLUDES(requestMutex_);

 protected:
  void RemoveAllClients();
  void FreeOwnedObjects();
  // The steps of Start: check the list, reset, read (or create) the record, build, open.
  bool Register(int32_t id);
  void Unregister();
  void ResetToDefaults();
  bool LoadRecord(int32_t id, uint16_t port);
  void CreateOwnedObjects(const TVirtualServerSettings& s);
  bool OpenSocket(const TVirtualServerSettings& s);

  // set at construction
  TCustomStorage* const storage_;
  TVirtualServerList* const list_;
  TVServerEnvironment& environment_;
  const std::string platformLabel_;
  const std::shared_ptr<TServerCounters> counters_ = std::make_shared<TServerCounters>();

  std::atomic<int32_t> serverId_{0};
  std::atomic<bool> running_{false};
  std::atomic<uint16_t> serverFlags_{0};
  std::atomic<bool> typeChanged_{false};
  std::atomic<uint32_t> loginCount_{0};
  TDateTime startTime_ = 0;        // set by Start
  std::string startFailure_;       // set by Start
  const TClock* clock_ = nullptr;  // set before Start
  bool bindAnyPort_ = false;       // set before Start
  bool detached_ = false;          // set before Start

  mutable TMutex settingsMutex_ ACQUIRED_AFTER(requestLock_);
  TVirtualServerSettings settings_ GUARDED_BY(settingsMutex_);
  TServerPermissions permissions_ GUARDED_BY(settingsMutex_);

  mutable TMutex bansMutex_ ACQUIRED_AFTER(requestLock_);
  std::unique_ptr<TStorageContainer> bans_ GUARDED_BY(bansMutex_);
  TDateTime lastBanCleanup_ GUARDED_BY(bansMutex_) = 0;

  // The request record: requestLock_ serialises requesters (held for a whole request);
  // requestMutex_ guards the record and the serial numbers; requestDone_ wakes the requester.
  TMutex requestLock_ ACQUIRED_BEFORE(requestMutex_);
  TMutex requestMutex_;
  std::condition_variable requestDone_;
  TListenerRequest request_ GUARDED_BY(requestMutex_);
  uint64_t requestSerial_ GUARDED_BY(requestMutex_) = 0;  // the last request posted
  uint64_t pendingSerial_ GUARDED_BY(requestMutex_) = 0;  // 0 when none waits for the listener
  uint64_t completedSerial_ GUARDED_BY(requestMutex_) = 0;

  // Owned objects, created by Start and freed by Stop (in this order of destruction).
  std::unique_ptr<TClients> clients_;
  std::unique_ptr<TChannels> channels_;
  std::unique_ptr<TCustomPacketBuffer> buffer_;
  std::unique_ptr<TVHUDPListener> listener_;
  std::unique_ptr<TVHUDPSender> sender_;
  std::unique_ptr<TUDPServerSocket> socket_;

  friend class TVHUDPListener;
};

}  // namespace vh
