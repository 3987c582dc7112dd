// The listener thread of one virtual server: the only thread that changes the server's players
// and channels on behalf of clients. It takes the connection table's events one at a time and
// handles each completely with the registry lock and then the channel tree lock held (lock
// order: ServerObject.h); it also carries out the administration requests posted to it.
// Handlers live in files by family (Login, ChannelCommands, PlayerCommands, KicksAndBans,
// VoiceRelay, Requests); they read the current event and player from here.
// Client voice changes nothing, so the socket's receive thread relays it itself when the two
// model locks are free and nothing waits in the listener's queue (RelayVoiceBatch); otherwise
// it goes through the queue like any other datagram.
// A registered login's password check costs milliseconds, so it never runs here: the listener
// reads the account, gives the check to the process's password-check pool
// (common/PasswordCheckPool.h) and goes on with other events; the pool thread wakes it, and it
// completes the login in a later event with the locks held again (CompleteCheckedLogins).
// Until then the connection's later packets wait, so its answers keep their order.
// Whichever thread relays a voice packet sends the copies that need not wait itself
// (ConnectionTable.h says which), while it still holds the registry lock: two relaying threads
// never interleave their copies.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/Log.h"
#include "common/ThreadAnnotations.h"
#include "model/Channels.h"
#include "model/ClientRecord.h"
#include "model/Clients.h"
#include "transport/ConnectionTable.h"
#include "transport/Packet.h"
#include "transport/Requests.h"
#include "vserver/Notifier.h"
#include "vserver/VServerEnvironment.h"

namespace vh {

class TServerObject;
class TCustomPacketBuffer;
class TPasswordCheckPool;
class TUDPServerSocket;
struct TChannel;
struct TListenerRequest;
enum class TListenerRequestKind : uint8_t;

// Command numbers of the client-to-server packets.
enum TClientCommand : uint16_t {
  CMD_cs_LoginStep3No = 5,
  CMD_cs_ChannelCreateNo = 201,
  CMD_cs_ChannelChangePasswordNo = 203,
  CMD_cs_ChannelChangePropertiesNo = 205,
  CMD_cs_ChannelChangeNameNo = 206,
  CMD_cs_ChannelChangeTopicNo = 207,
  CMD_cs_ChannelChangeDescriptionNo = 208,
  CMD_cs_ChannelDestroyNo = 209,
  CMD_cs_ChannelChangeMaxUsersNo = 210,
  CMD_cs_ChannelChangeOrderNo = 212,
  CMD_cs_PlayerQuitNo = 300,
  CMD_cs_PlayerKickNo = 301,
  CMD_cs_PlayerKickFromChannelNo = 302,
  CMD_cs_PlayerChannelSwitchNo = 303,
  CMD_cs_PlayerFlagsChangedNo = 304,
  CMD_cs_PlayerRequestVoiceNo = 305,
  CMD_cs_PlayerChangeChannelPrivilegeNo = 306,
  CMD_cs_PlayerChangePrivilegeNo = 307,
  CMD_cs_PlayerRegisterNo = 308,
  CMD_cs_PlayerAdminRegisterNo = 310,
  CMD_cs_PlayerMutePlayerNo = 320,
  CMD_cs_PlayerBanIpNo = 324,
  CMD_cs_PlayerBanIpPlayerNo = 325,
  CMD_cs_PlayerUnbanIpNo = 326,
  CMD_cs_PlayerMovePlayerNo = 330,
  CMD_cs_PlayerSetUploadBandwidthNo = 340,
  CMD_cs_InfoRequestPlayerConnectionInfoOnIdNo = 400,
  CMD_cs_InfoRequestServerInfoNo = 405,
  CMD_cs_InfoRequestBanIpListNo = 410,
  CMD_cs_InfoSendTextNo = 430,
};

// Handlers and the helpers they share run inside HandleEvent, which holds the registry lock and
// then the channel tree lock (TModelLock) for the whole event.
#define LISTENER_LOCKED REQUIRES(Clients().Mutex(), Channels().Mutex())

class TVHUDPListener {
 public:
  using THandler = void (TVHUDPListener::*)();
  struct TCommandEntry {
    uint16_t number;
    const char* name;
    THandler handler;
  };
  // The dispatch table for command packets of logged-in players, by number.
  static constexpr size_t kCommandCount = 29;
  static const TCommandEntry kCommandTable[kCommandCount];
  static const TCommandEntry* FindCommand(uint16_t number);

  using TRequestHandler = void (TVHUDPListener::*)(TListenerRequest&);
  struct TRequestEntry {
    TListenerRequestKind kind;
    const char* name;  // errors of the request are logged under it
    TRequestHandler handler;
  };
  // The administration requests other threads hand the listener (TServerObject::ExecuteRequest).
  static constexpr size_t kRequestCount = 13;
  static const TRequestEntry kRequestTable[kRequestCount];
  static const TRequestEntry* FindRequest(TListenerRequestKind kind);

  explicit TVHUDPListener(TServerObject& server);
  ~TVHUDPListener();
  TVHUDPListener(const TVHUDPListener&) = delete;
  TVHUDPListener& operator=(const TVHUDPListener&) = delete;

  // Loads the channel tree and starts the thread (unless the caller drives HandleEvent).
  void Start(bool withThread = true);
  // While set, events are taken and dropped unhandled.
  void SetStopping() { stopping_.store(true); }
  // The socket voice copies that need not wait leave through (null: all go through the send
  // thread). Set by the owner once the socket exists; it outlives this listener's relaying.
  void SetVoiceSocket(TUDPServerSocket* socket) { voiceSocket_.store(socket); }
  // Asks the thread to end and waits for it (the connection table must be stopping).
  void Terminate();

  // "SID: <id> " in front of the text; the text is not scanned for placeholders.
  void LogText(uint8_t kind, uint8_t depth, std::string_view text, std::string_view category);
  void LogFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                 std::string_view category);

  // Receive thread: relays client voice the table handed out (TCustomPacketBuffer's
  // OfferDatagrams) if it can take the registry and tree locks without waiting; what it cannot
  // relay now goes to the listener's queue, in order. `voice` is left empty.
  void RelayVoiceBatch(std::vector<std::unique_ptr<TPacket>>& voice);

  // One event, handled completely; the thread body calls it, tests may too.
  void HandleEvent(uint32_t playerId, uint8_t kind, std::unique_ptr<TPacket> packet);

  // The virtual server's registry and channel tree; handlers and their helpers use them with
  // both locks held (LISTENER_LOCKED).
  TClients& Clients();
  TChannels& Channels();
  TNotifier& Notifier() { return notifier_; }
  std::string GetGuestPlayerName(std::string_view name) LISTENER_LOCKED;
  std::string CheckNickNameChars(std::string_view nickname) const;
  void ClearChannelUp(int32_t channelId) LISTENER_LOCKED;

 private:
  void Execute();
  void HandleEventLocked() LISTENER_LOCKED;
  void DispatchCommand() LISTENER_LOCKED;
  void TearDownPlayer() LISTENER_LOCKED;
  bool RunRequest() LISTENER_LOCKED;  // false when no request was pending
  void LogHandlerException(std::string_view name, const std::exception& e);

  // Helpers shared by the handler families.
  TCustomPacketBuffer& Buffer();
  // The host's rules as they stood when the current event was taken.
  const THostPolicy& Policy() const { return *policy_; }
  const TPacket& Packet() const { return *eventPacket_; }
  // The current request read by `parse` (a reader of transport/Requests.h); nothing when there
  // is no packet or it is too short, and the handler then ignores the request.
  template <typename TParse>
  auto Read(TParse parse) const -> decltype(parse(std::declval<const TPacket&>())) {
    if (!eventPacket_) return std::nullopt;
    return parse(*eventPacket_);
  }
  void Refuse(int32_t code);  // the error reply to the current player
  bool Can(int permission) const;
  bool CanInChannel(TChannel* channel, int permission) LISTENER_LOCKED;

  // ---- Moving players between channels (Listener.cpp)
  // The seat every move shares: the player leaves his channel's list and joins `to`'s, and
  // his ChannelID follows. Gives the top-level id of the tree he left (-1 for none), which the
  // caller clears up once everybody has heard of the move.
  struct TLeftSeat {
    int32_t Channel = -1;
    int32_t Top = -1;
  };
  TLeftSeat SeatPlayer(TClientRecord* player, TChannel* to) LISTENER_LOCKED;
  // A move the player made himself (a switch, a creator moving in): seat, notification 103 or
  // the change of scope, 104 when asked for, and the clean-up of the tree he left. The caller
  // has given him his privileges in `to`.
  void SwitchPlayerTo(TClientRecord* player, TChannel* to, bool announceFlags) LISTENER_LOCKED;
  // A move by someone else (330, administration request 3): privileges of `to`, seat, 109,
  // 104 and the clean-up of the tree he left.
  void MovePlayerTo(TClientRecord* player, TChannel* to, uint32_t moverId) LISTENER_LOCKED;

  // ---- Login (Login.cpp)
  void CMD_cs_LoginStep1() LISTENER_LOCKED;
  void CMD_cs_LoginStep3() LISTENER_LOCKED;
  void SendLoginReply(TClientRecord& record, int32_t code, std::string_view text,
                      bool withProperties, bool closeAfter) LISTENER_LOCKED;
  // The login request's steps: check, then refuse or admit.
  struct TLoginVerdict {
    int32_t Code = 0;
    std::string Text;
  };
  void RefuseMalformedLogin() LISTENER_LOCKED;
  TClientRecordPtr NewLoginRecord(const TLoginRequest& request) LISTENER_LOCKED;
  // Fills the record from the request; for a registered login reads the account into
  // `account`, whose password the caller has checked off this thread (StartPasswordCheck).
  int32_t CheckAccount(TClientRecord& record, const TLoginRequest& request,
                       std::optional<TStoredLogin>& account) LISTENER_LOCKED;
  // A wrong login name or password: logged as a failed login; -21.
  int32_t InvalidLogin(const TClientRecord& record) LISTENER_LOCKED;
  // What follows the check: the account's rights, -21 or -7, the guest name.
  int32_t ApplyCheckedAccount(TClientRecord& record, const TLoginRequest& request,
                              const TStoredLogin& account, bool verified,
                              const std::string& rehash) LISTENER_LOCKED;
  void FinishLogin(TClientRecordPtr record, uint8_t loginMode,
                   TLoginVerdict verdict) LISTENER_LOCKED;
  void StartPasswordCheck(TClientRecordPtr record, const TLoginRequest& request,
                          TStoredLogin account) LISTENER_LOCKED;
  // The logins whose check has finished, in the order they were asked; a login whose
  // connection went meanwhile is dropped unseated.
  void CompleteCheckedLogins() LISTENER_LOCKED;
  // True (and the packet kept) when the current event's connection waits for its check.
  bool HoldForPendingLogin() LISTENER_LOCKED;
  // Its connection is gone: the check's result will find nothing to complete.
  void DropPendingLogin(uint32_t playerId) LISTENER_LOCKED;
  void CheckLoginRefusals(const TClientRecord& record, TLoginVerdict& verdict) LISTENER_LOCKED;
  void RefuseLogin(TClientRecord& record, const TLoginVerdict& verdict) LISTENER_LOCKED;
  int32_t AdmissionResult(const TClientRecord& record, uint8_t loginMode) LISTENER_LOCKED;
  void AdmitPlayer(TClientRecordPtr record, uint8_t loginMode) LISTENER_LOCKED;
  // The join request's steps: choose and seat, send the lists, announce.
  TChannel* ChooseJoinChannel(const TJoinRequest& request) LISTENER_LOCKED;
  void SendChannelList(const TClientRecord& player) LISTENER_LOCKED;
  void SendPlayerList(const TClientRecord& player) LISTENER_LOCKED;
  void SendClosingPacket(const TClientRecord& player) LISTENER_LOCKED;
  void CheckJoiningServerAdmin(TClientRecord& player) LISTENER_LOCKED;

  // ---- Channel commands (ChannelCommands.cpp)
  void CMD_cs_ChannelCreate() LISTENER_LOCKED;
  void CMD_cs_ChannelChangePassword() LISTENER_LOCKED;
  void CMD_cs_ChannelChangeProperties() LISTENER_LOCKED;
  void CMD_cs_ChannelChangeName() LISTENER_LOCKED;
  void CMD_cs_ChannelChangeTopic() LISTENER_LOCKED;
  void CMD_cs_ChannelChangeDescription() LISTENER_LOCKED;
  void CMD_cs_ChannelDestroy() LISTENER_LOCKED;
  void CMD_cs_ChannelChangeMaxUsers() LISTENER_LOCKED;
  void CMD_cs_ChannelChangeOrder() LISTENER_LOCKED;
  void RemoveModeratedFlags(int32_t channelId) LISTENER_LOCKED;
  // The channel `channelId` when the requester may edit it with `permission`; otherwise the
  // refusal (-102, -1009) is sent and null given.
  TChannel* ChannelToEdit(int32_t channelId, int permission) LISTENER_LOCKED;
  // After a top-level channel's flags changed: its sub-channels follow, registered ones store
  // their privilege entries, everybody hears of each, and moderation ends there too.
  void UpdateAndAnnounceSubChannels(TChannel* channel, uint32_t changerId,
                                    bool moderationRemoved) LISTENER_LOCKED;
  // Is the current player server admin, or channel admin of `channel` (or of its parent)?
  bool AdministersChannel(TChannel* channel) LISTENER_LOCKED;
  // The steps of a property change (205): check, the registration change, apply, announce.
  int32_t CheckPropertyChange(TChannel* channel, const TChannelPropertiesRequest& request,
                              uint16_t& flags) LISTENER_LOCKED;
  bool ApplyRegistrationChange(TChannel*& channel, uint16_t flags) LISTENER_LOCKED;
  void ApplyPropertyChange(TChannel* channel, uint16_t flags, uint16_t codec,
                           bool moderationRemoved) LISTENER_LOCKED;

  // ---- Player commands (PlayerCommands.cpp)
  void CMD_cs_PlayerQuit() LISTENER_LOCKED;
  void CMD_cs_PlayerChannelSwitch() LISTENER_LOCKED;
  void CMD_cs_PlayerFlagsChanged() LISTENER_LOCKED;
  void CMD_cs_PlayerRequestVoice() LISTENER_LOCKED;
  void CMD_cs_PlayerChangeChannelPrivilege() LISTENER_LOCKED;
  void CMD_cs_PlayerChangePrivilege() LISTENER_LOCKED;
  void CMD_cs_PlayerRegister() LISTENER_LOCKED;
  void CMD_cs_PlayerAdminRegister() LISTENER_LOCKED;
  void CMD_cs_PlayerMutePlayer() LISTENER_LOCKED;
  void CMD_cs_PlayerMovePlayer() LISTENER_LOCKED;
  void CMD_cs_PlayerSetUploadBandwidth() LISTENER_LOCKED;
  void CMD_cs_InfoRequestPlayerConnectionInfoOnId() LISTENER_LOCKED;
  void CMD_cs_InfoRequestServerInfo() LISTENER_LOCKED;
  void CMD_cs_InfoSendText() LISTENER_LOCKED;
  // A grant or revoke of 306 and 307 with its target; nullopt when the datagram is short or
  // asks for another action, and after -100 when the target is not there.
  struct TPrivilegeEdit {
    uint8_t action;
    uint8_t privilege;
    TClientRecord* target;
  };
  std::optional<TPrivilegeEdit> ReadPrivilegeEdit() LISTENER_LOCKED;

  // ---- Kicks, bans and flood control (KicksAndBans.cpp)
  void CMD_cs_PlayerKick() LISTENER_LOCKED;
  void CMD_cs_PlayerKickFromChannel() LISTENER_LOCKED;
  void CMD_cs_PlayerBanIp() LISTENER_LOCKED;
  void CMD_cs_PlayerBanIpPlayer() LISTENER_LOCKED;
  void CMD_cs_PlayerUnbanIp() LISTENER_LOCKED;
  void CMD_cs_InfoRequestBanIpList() LISTENER_LOCKED;
  // The target of a kick or ban: a player still connected and not yet announced as left, or
  // null after -100.
  TClientRecord* TargetToRemove(uint32_t playerId) LISTENER_LOCKED;
  // A kick (301, 302) and its target found by TargetToRemove; nullopt when the datagram is short
  // or there is no such target.
  struct TKickEdit {
    std::string reason;
    TClientRecord* target;
  };
  std::optional<TKickEdit> ReadKick() LISTENER_LOCKED;
  // Only a server admin removes a server admin: false after -1009.
  bool MayRemove(const TClientRecord& target) LISTENER_LOCKED;
  // Who kicks, as the channel kick log names him.
  struct TKicker {
    std::string nickName;
    std::string loginName;
    int32_t dbid = 0;
  };
  // The kick from a channel once it is allowed (302 and the administration request): `t`
  // loses the channel privileges in `revocable` there and goes to the default channel; the
  // notices, the log line and the clean-up of the tree he left follow.
  void KickFromChannel(TClientRecord* t, TChannel* from, uint16_t revocable,
                       const std::string& reason, const TKicker& by) LISTENER_LOCKED;
  // True when the current player's command must be dropped (and he was kicked and banned).
  bool ClientIsSpammer() LISTENER_LOCKED;
  // The ban test of the login: true when `address` is banned, with the remaining time of a
  // time ban in `remainingSeconds` (-1 for a permanent ban).
  bool IsBanned(const std::string& address, int64_t& remainingSeconds) LISTENER_LOCKED;
  void DBRemoveOldBans() LISTENER_LOCKED;

  // ---- Voice relay (VoiceRelay.cpp)
  // Where the fan-out of one voice packet is gathered: its listeners, and the copies the table
  // lets the relaying thread send itself. The listener and the receive thread each have their
  // own.
  struct TRelayScratch {
    std::vector<TVoiceListener> listeners;
    std::vector<TDirectVoice> direct;
    uint64_t batch = 0;       // the table's direct batch of `direct` (0: none taken yet)
    bool holdDirect = false;  // gather the direct copies of several packets (SendDirectCopies)
  };
  // Relays `packet`, client voice of `speaker` (who may be null), by its selector.
  void RelayVoice(TClientRecord* speaker, const TPacket& packet,
                  TRelayScratch& scratch) LISTENER_LOCKED;
  // The three relays RelayVoice picks from, for a speaker who has joined.
  void RelayToOwnChannel(TClientRecord* speaker, const TPacket& packet,
                         TRelayScratch& scratch) LISTENER_LOCKED;
  void RelayWhisper(TClientRecord* speaker, const TPacket& packet,
                    TRelayScratch& scratch) LISTENER_LOCKED;
  void RelayToParentChannel(TClientRecord* speaker, const TPacket& packet,
                            TRelayScratch& scratch) LISTENER_LOCKED;
  // Hands the fan-out gathered in `scratch` to the table (one table-lock hold) and sends the
  // copies that need not wait with one sendmmsg, after the table lock is released.
  // With holdDirect set, the direct copies stay in `scratch` for SendDirectCopies (the voice
  // data they point into must live until then).
  void FlushVoiceCopies(TRelayScratch& scratch, const TVoiceFanout& fanout) LISTENER_LOCKED;
  // Sends the direct copies gathered in `scratch` with one sendmmsg; a new batch begins.
  void SendDirectCopies(TRelayScratch& scratch) LISTENER_LOCKED;

  // ---- Administration requests (Requests.cpp and the families above)
  void ExternalCommand_AddClient(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_DelClient(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_MoveClientToChannel(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_KickPlayer(TListenerRequest& r, bool withAdminMessage) LISTENER_LOCKED;
  void ExternalCommand_KickWithReason(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_RemoveWithText(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_CheckServerOK(TListenerRequest& r);
  void ExternalCommand_AddChannel(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_DeleteChannel(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_NotifyChangedServerProperties(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_SetUserPrivilege(TListenerRequest& r) LISTENER_LOCKED;
  // The player a request names, or null with the request's result set to -100.
  TClientRecord* RequestedPlayer(TListenerRequest& r) LISTENER_LOCKED;
  // The channel `player` sits in, or null with the request's result set (-100 with no player).
  TChannel* ChannelOfRequested(TListenerRequest& r, const TClientRecord* player) LISTENER_LOCKED;
  void ExternalCommand_SetChannel(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_KickFromChannel(TListenerRequest& r) LISTENER_LOCKED;
  void ExternalCommand_SetChannelPrivilege(TListenerRequest& r) LISTENER_LOCKED;

  // set at construction
  TServerObject& server_;
  TNotifier notifier_;
  int32_t serverId_ = 0;  // copied when the thread starts

  // The current event; listener thread only.
  uint32_t eventPlayerId_ = 0;
  uint8_t eventKind_ = 0;
  std::unique_ptr<TPacket> eventPacket_;
  TClientRecord* currentPlayer_ = nullptr;
  std::shared_ptr<const THostPolicy> policy_;
  bool disconnect_ = false;

  // ---- Password checks off the listener's locks.
  // Written by the pool thread until `done` is set (release), read by the listener after it
  // sees `done` (acquire); the typed password and the stored value are copies.
  struct TPasswordCheck {
    std::string stored;
    std::string typed;
    bool verified = false;
    std::string rehash;  // the fresh hash to store, when the stored value needs one
    std::atomic<bool> done{false};
  };
  // How a pool thread wakes this listener; closed (no table any more) when the listener ends,
  // so a check that finishes late touches nothing freed. `mutex` is taken before the table's.
  struct TWakeLine {
    TMutex mutex;
    TCustomPacketBuffer* table GUARDED_BY(mutex) = nullptr;
    void Wake();
    void Close();
  };
  struct TPendingLogin {
    uint32_t playerId = 0;
    uint32_t connectionId = 0;
    std::unique_ptr<TPacket> packet;  // the login request, the current packet when it completes
    TLoginRequest request;
    TClientRecordPtr record;
    TStoredLogin account;
    std::shared_ptr<TPasswordCheck> check;
    std::vector<std::unique_ptr<TPacket>> held;  // its connection's later packets, in order
  };
  TPendingLogin* PendingLogin(uint32_t playerId);

  // listener thread only
  std::deque<TPendingLogin> pendingLogins_;
  const std::shared_ptr<TWakeLine> wakeLine_ = std::make_shared<TWakeLine>();

  TRelayScratch listenerRelay_;  // listener thread only
  TRelayScratch receiveRelay_;   // the socket's receive thread only
  std::atomic<TUDPServerSocket*> voiceSocket_{nullptr};

  std::atomic<bool> stopping_{false};
  std::atomic<bool> terminated_{false};
  std::thread thread_;
};

}  // namespace vh
