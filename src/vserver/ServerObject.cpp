#include "vserver/ServerObject.h"

#include <chrono>
#include <thread>

#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/Strings.h"
#include "common/Version.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "storage/CustomStorage.h"
#include "transport/ConnectionTable.h"
#include "transport/udp/UDPSocket.h"
#include "transport/udp/VHUDPSender.h"
#include "vserver/CodecTable.h"
#include "vserver/Listener.h"
#include "vserver/VServerEnvironment.h"
#include "vserver/VirtualServerList.h"

namespace vh {

static_assert(kCodecTableSize == kCodecCount, "one row per codec");

namespace {

constexpr const char* kServerCategory = "SERVER";
constexpr const char* kDefaultWelcome = "[Welcome to Voxhollow, check https://voxhollow.example/]";
constexpr uint8_t kServerConnectionFlagsStart = 7;

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

TVServerEnvironment& DefaultVServerEnvironment() {
  static TFixedVServerEnvironment environment;
  return environment;
}

TServerObject::TServerObject(TCustomStorage* storage, TVirtualServerList* list,
                             TVServerEnvironment* environment)
    : storage_(storage),
      list_(list),
      environment_(environment ? *environment : DefaultVServerEnvironment()),
      platformLabel_(UnscramblePlatformLabel(kScrambledPlatformLabel)) {
  settings_.CodecPermits.fill(true);
  settings_.WelcomeMessage = kDefaultWelcome;
}

TServerObject::~TServerObject() {
  if (running_.load()) Stop();
  FreeOwnedObjects();
}

TVirtualServerSettings TServerObject::Settings() const {
  TLockGuard lock(settingsMutex_);
  return settings_;
}

void TServerObject::SetSettings(const TVirtualServerSettings& settings) {
  TLockGuard lock(settingsMutex_);
  settings_ = settings;
}

TServerPermissions TServerObject::Permissions() const {
  TLockGuard lock(settingsMutex_);
  return permissions_;
}

void TServerObject::SetPermissions(const TServerPermissions& sets) {
  TLockGuard lock(settingsMutex_);
  permissions_ = sets;
}

uint32_t TServerObject::CodecBits() const {
  TLockGuard lock(settingsMutex_);
  uint32_t bits = 0;
  for (int i = 0; i < kCodecCount; ++i)
    if (settings_.CodecPermits[static_cast<size_t>(i)]) bits |= 1u << i;
  return bits;
}

bool TServerObject::IsClanServer() const {
  return (serverFlags_.load() & 1) != 0;
}

uint16_t TServerObject::BoundPort() const {
  return socket_ && socket_->Active() ? socket_->BoundPort(0) : Settings().Port;
}

bool TServerObject::Start(int32_t id, uint16_t port) {
  startFailure_.clear();
  if (!Register(id)) return false;
  ResetToDefaults();
  if (!LoadRecord(id, port)) {
    Unregister();
    return false;
  }
  const TVirtualServerSettings s = Settings();
  LogFormat(LMT_ALL, LMD_INFO, {serverId_.load(), s.Port},
            "Starting VirtualServer id:%1 with port:%2", "server");
  // This build is freeware; bit 8 means nothing to its clients and is never sent.
  serverFlags_.store(static_cast<uint16_t>((serverFlags_.load() | SF_FREEWARE) & ~8));
  // A refused write is logged by the storage; the server still serves the record it read.
  static_cast<void>(SaveServer());
  CreateOwnedObjects(s);
  if (!detached_ && !OpenSocket(s)) {
    FreeOwnedObjects();
    Unregister();
    return false;
  }
  running_.store(true);
  {
    // The listener publishes the count after each event; the loaded tree shows before one.
    TLockGuard tree(channels_->Mutex());
    counters_->channels.store(static_cast<uint32_t>(channels_->Count()));
  }
  counters_->serverId.store(serverId_.load());
  counters_->port.store(BoundPort());
  counters_->running.store(true);
  return true;
}

// Two servers of one id would share their rows; the second is refused.
bool TServerObject::Register(int32_t id) {
  if (!list_) return true;
  if (list_->FindVirtualServer(id > 0 ? id : serverId_.load())) {
    Log(LMT_ERROR, LMD_ALL, "unable to register VirtualServer", kServerCategory);
    startFailure_ = "a virtual server with this id is running already";
    return false;
  }
  list_->Add(shared_from_this());
  return true;
}

void TServerObject::Unregister() {
  if (list_) list_->Remove(this);
}

void TServerObject::ResetToDefaults() {
  {
    TLockGuard lock(settingsMutex_);
    settings_ = TVirtualServerSettings{};
    settings_.CodecPermits.fill(true);
    settings_.WelcomeMessage = kDefaultWelcome;
  }
  serverFlags_.store(SF_CLAN);
  startTime_ = NowDateTime();
  loginCount_.store(0);
  running_.store(false);
  TLockGuard lock(bansMutex_);
  bans_.reset();
}

// The server's record and permission sets: read for an id, created with the default sets for
// none (the id is then the new row's). False when the record is missing or the storage fails.
bool TServerObject::LoadRecord(int32_t id, uint16_t port) {
  try {
    TVirtualServerSettings s = Settings();
    TServerPermissions sets;
    if (id <= 0) {
      sets = DefaultServerPrivileges();
      int64_t newId = 0;
      {
        TStorageScript q(*storage_, "new_server.sql");
        q.SetInteger(":iServerPort", kDefaultServerPort)
            .SetDateTime(":dtServerCreated", startTime_);
        if (!q.Loaded() || !q.Execute()) throw std::runtime_error("new_server.sql failed");
        newId = q.LastInsertId();
      }
      serverId_.store(static_cast<int32_t>(newId));
      s.Port = port == 0 ? kDefaultServerPort : port;
      // A group whose row could not be written (logged by the storage) still runs with the
      // default set held here; the record itself exists, so the start goes on.
      for (size_t g = 0; g < kUserGroupCount; ++g)
        static_cast<void>(WriteServerPrivileges(static_cast<TUserGroup>(g), sets.Sets[g]));
    } else {
      std::unique_ptr<TStorageContainer> rows;
      {
        TStorageScript q(*storage_, "read_server.sql");
        q.SetInteger(":iServerID", id);
        rows = q.Open();
      }
      if (!rows || rows->Count() == 0) {
        startFailure_ = "no such virtual server in the database";
        return false;
      }
      serverId_.store(id);
      const TStorageRow& row = rows->Row(0);
      s.Name = Cut(row.FieldByName("s_server_name").GetAsString(), kNameLength);
      s.WelcomeMessage = Cut(row.FieldByName("s_server_welcomemessage").GetAsString(), kTextLength);
      s.MaxUsers = static_cast<uint16_t>(row.FieldByName("i_server_maxusers").GetAsInteger());
      s.Port = static_cast<uint16_t>(row.FieldByName("i_server_udpport").GetAsInteger());
      s.Password = Cut(row.FieldByName("s_server_password").GetAsString(), kNameLength);
      if (!row.FieldByName("b_server_clan_server").GetAsBoolean())
        serverFlags_.store(static_cast<uint16_t>((serverFlags_.load() & ~SF_CLAN) | SF_PUBLIC));
      for (int i = 0; i < kCodecCount; ++i)
        s.CodecPermits[static_cast<size_t>(i)] =
            row.FieldByName(kCodecTable[i].column).GetAsBoolean();
      s.WebLinkURL = Cut(row.FieldByName("s_server_weblinkurl").GetAsString(), kTextLength);
      s.WebPostURL = Cut(row.FieldByName("s_server_webposturl").GetAsString(), kTextLength);
      for (size_t g = 0; g < kUserGroupCount; ++g)
        sets.Sets[g] = ReadServerPrivileges(static_cast<TUserGroup>(g));
    }
    SetSettings(s);
    SetPermissions(sets);
    return true;
  } catch (const std::exception& e) {
    LogException("VirtualServer Startup(" + std::to_string(id) + ")", e, kServerCategory);
    startFailure_ = e.what();
    return false;
  }
}

// Registry, tree, connection table and the two threads, in the order each needs the one
// before; the listener loads the tree before its thread takes the first event.
void TServerObject::CreateOwnedObjects(const TVirtualServerSettings& s) {
  clients_ = std::make_unique<TClients>(static_cast<uint32_t>(serverId_.load()), storage_);
  channels_ = std::make_unique<TChannels>(static_cast<uint32_t>(serverId_.load()), storage_);
  // Channels the tree makes itself take the best Speex codec the server permits (11000 when
  // none of 2150 to 11000 is).
  uint16_t codec = 9;
  for (uint16_t c = 5; c <= 9; ++c)
    if (s.CodecPermits[c]) codec = c;
  channels_->DefaultCodec = codec;
  buffer_ = std::make_unique<TCustomPacketBuffer>(
      kServerConnectionFlagsStart, clock_ ? *clock_ : SystemClock(),
      std::shared_ptr<TTrafficCounters>(counters_, &counters_->traffic));
  buffer_->SetVoiceAgeLimitMs(environment_.Policy()->VoiceMaxQueueMs);
  listener_ = std::make_unique<TVHUDPListener>(*this);
  listener_->Start(!detached_);
  if (detached_) {
    // Driven in process by one caller thread: no socket and no send thread.
    LoadBans();
    return;
  }
  // A test server may take any free port; the stored record keeps its own.
  const uint16_t bindPort = bindAnyPort_ ? 0 : s.Port;
  // Voice is relayed on the receive thread when the model is free (TVHUDPListener); the
  // listener outlives the socket's receive thread (FreeOwnedObjects).
  TVHUDPListener* listener = listener_.get();
  socket_ = std::make_unique<TUDPServerSocket>(
      bindPort,
      TableReceiveHandler(*buffer_, [listener](std::vector<std::unique_ptr<TPacket>>& voice) {
        listener->RelayVoiceBatch(voice);
      }));
  environment_.ApplyBoundAddresses(bindPort, socket_->Bindings());
  // Voice copies that need not wait leave from the thread that relays them.
  listener_->SetVoiceSocket(socket_.get());
  sender_ = std::make_unique<TVHUDPSender>(*buffer_, *socket_, serverId_.load());
  sender_->Start();
  // The bans are in place before the socket opens: no login gets past a ban it missed.
  LoadBans();
}

bool TServerObject::OpenSocket(const TVirtualServerSettings& s) {
  try {
    socket_->Open();
    return true;
  } catch (const std::exception& e) {
    LogFormat(LMT_ERROR, LMD_ALL, {s.Port},
              "VirtualServer startup failed with port %1, Exception: " + ExceptionClassName(e) +
                  "." + e.what(),
              kServerCategory);
    startFailure_ = e.what();
    return false;
  }
}

void TServerObject::RemoveAllClients() {
  if (!clients_ || !channels_) return;
  TLockGuard registry(clients_->Mutex());
  try {
    TNotifier notifier(*clients_, *channels_, *buffer_, serverFlags_, serverId_.load());
    for (size_t i = clients_->Count(); i-- > 0;) {
      TClientRecord* p = clients_->Items(i);
      p->LeftNotified = 1;
      auto packet = NewPacketFor(*p, CMD_sc_NotifyPlayerLeftScope);
      packet->WriteU32(p->PlayerID);
      packet->WriteU16(kLeftServerStopped);
      packet->WriteU32(0);
      packet->WriteShortString("", kNameLength);
      notifier.Send(std::move(packet), /*closeAfter=*/true);
      clients_->DeleteClient(p);  // freed here
    }
  } catch (const std::exception& e) {
    LogException("RemoveAllClients", e, "Server");
  }
}

void TServerObject::Stop() {
  try {
    // The listener drops every further event before the players are told. A detached server
    // has no threads of its own: its one caller is here, so there is nothing to wait for.
    if (listener_) {
      listener_->SetStopping();
      if (!detached_) Sleep(50);
      if (buffer_) buffer_->MarkThreadStopped(1);
      if (!detached_) Sleep(50);
    }
    // Every player hears that the server stopped (reason 4).
    RemoveAllClients();
    // The send thread gets time to deliver the notices.
    for (int i = 0; i < 350 && !detached_ && buffer_ && buffer_->ConnectionCount() > 0; ++i)
      Sleep(1);
    {
      TLockGuard lock(bansMutex_);
      bans_.reset();
    }
    FreeOwnedObjects();
  } catch (const std::exception& e) {
    LogException("TServerObject.Stop(" + std::to_string(serverId_.load()) + ")", e,
                 kServerCategory);
  }
  running_.store(false);
  counters_->running.store(false);
  counters_->players.store(0, std::memory_order_relaxed);
  counters_->channels.store(0, std::memory_order_relaxed);
}

void TServerObject::FreeOwnedObjects() {
  // The table's stop ends both threads' loops; they are joined before anything they use goes.
  // The socket closes last: the send thread empties the table through it on its way out.
  // A detached server has neither thread: the table is told so and does not wait for them.
  if (buffer_ && detached_) {
    buffer_->MarkThreadStopped(0);
    buffer_->MarkThreadStopped(1);
  }
  if (buffer_) buffer_->Stop();
  if (listener_) listener_->Terminate();
  if (sender_) {
    sender_->Terminate();
    sender_->WaitFor();
  }
  if (socket_) socket_->Close();
  listener_.reset();
  sender_.reset();
  socket_.reset();
  buffer_.reset();
  channels_.reset();
  clients_.reset();
}

void BindServerRow(TStorageScript& q, int32_t serverId, bool clanServer,
                   const TVirtualServerSettings& s) {
  q.SetInteger(":iServerID", serverId)
      .SetInteger(":iMaxUser", s.MaxUsers)
      .SetInteger(":iServerPort", s.Port)
      .SetBoolean(":bActive", true)
      .SetBoolean(":bClanServer", clanServer)
      .SetString(":sName", s.Name)
      .SetString(":sWelcome", s.WelcomeMessage)
      .SetString(":sPassword", s.Password)
      .SetString(":sWebPostURL", s.WebPostURL)
      .SetString(":sWebLinkURL", s.WebLinkURL);
  for (int i = 0; i < kCodecCount; ++i)
    q.SetBoolean(kCodecTable[i].parameter, s.CodecPermits[static_cast<size_t>(i)]);
}

bool TServerObject::SaveServer() {
  const TVirtualServerSettings s = Settings();
  try {
    TStorageScript q(*storage_, "edit_server.sql");
    BindServerRow(q, serverId_.load(), IsClanServer(), s);
    return q.Execute().Ok();
  } catch (const std::exception& e) {
    LogException("SaveServer", e, kServerCategory);
    return false;
  }
}

void TServerObject::LoadBans() {
  std::unique_ptr<TStorageContainer> rows;
  try {
    TStorageScript q(*storage_, "read_bans.sql");
    q.SetInteger(":iServerID", serverId_.load());
    rows = q.Open();
  } catch (const std::exception& e) {
    LogException("LoadBans", e, kServerCategory);
  }
  TLockGuard lock(bansMutex_);
  bans_ = std::move(rows);
}

size_t TServerObject::BanCount() const {
  TLockGuard lock(bansMutex_);
  return bans_ ? bans_->Count() : 0;
}

TPermissionSet TServerObject::ReadServerPrivileges(TUserGroup group) {
  return vh::ReadServerPrivileges(storage_, static_cast<uint32_t>(serverId_.load()),
                                  UserGroupName(group));
}

TStoreResult TServerObject::WriteServerPrivileges(TUserGroup group, const TPermissionSet& set) {
  return vh::WriteServerPrivileges(storage_, static_cast<uint32_t>(serverId_.load()),
                                   UserGroupName(group), set);
}

TListenerRequest TServerObject::ExecuteRequest(TListenerRequest request, int timeoutMs) {
  TLockGuard requester(requestLock_);
  request.ResultCode = -10;
  request.ResultValue = 0;
  TCustomPacketBuffer* buffer = buffer_.get();
  if (!running_.load() || !buffer) return request;
  uint64_t serial;
  {
    TLockGuard lock(requestMutex_);
    serial = ++requestSerial_;
    request_ = request;
    pendingSerial_ = serial;
  }
  buffer->WakeListener();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  TUniqueLock lock(requestMutex_);
  while (completedSerial_ < serial)
    if (!lock.WaitUntil(requestDone_, deadline)) break;
  if (completedSerial_ >= serial) return request_;
  // Too late: withdraw the request so the listener never runs it for nobody; an answer to
  // it that comes anyway carries an old serial and is ignored.
  if (pendingSerial_ == serial) pendingSerial_ = 0;
  request.ResultCode = -10;
  return request;
}

bool TServerObject::TakeRequest(TListenerRequest& request, uint64_t& serial) {
  TLockGuard lock(requestMutex_);
  if (pendingSerial_ == 0 || request_.Type == TListenerRequestKind::None) return false;
  request = request_;
  serial = pendingSerial_;
  pendingSerial_ = 0;
  return true;
}

void TServerObject::CompleteRequest(uint64_t serial, const TListenerRequest& result) {
  {
    TLockGuard lock(requestMutex_);
    if (serial != requestSerial_) return;  // the requester gave up; a newer request waits
    request_ = result;
    request_.Type = TListenerRequestKind::None;
    completedSerial_ = serial;
  }
  requestDone_.notify_all();
}

}  // namespace vh
