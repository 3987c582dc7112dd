// The login of a client: the login request (connection packet kind 3) and the join request
// (command 5). Listener thread, registry and channel tree locks held; a registered login's
// password check runs on the password-check pool in between (Listener.h).
#include <algorithm>
#include <memory>

#include "common/FieldLengths.h"
#include "common/PasswordCheckPool.h"
#include "common/PasswordHash.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/ConnectionTable.h"
#include "transport/Requests.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr int32_t kLoginReplySize = 436;
constexpr int32_t kChannelListFlushSize = 472;
constexpr int32_t kPlayerListSize = 468;
constexpr int32_t kClosingPacketSize = 280;
constexpr uint8_t kLoginModeAnonymous = 1;
constexpr uint8_t kLoginModeRegistered = 2;

const char* RefusalReason(int32_t code) {
  switch (code) {
    case -1:
      return "Bad Login";
    case -2:
      return "Server Full";
    case -3:
      return "No Anonymous allowed";
    case -4:
      return "NickName in use";
    case -5:
      return "Client Version not supported";
    case -6:
      return "Client is banned";
    case -7:
      return "LoginName in use";
    default:
      return "";
  }
}

}  // namespace

std::string TVHUDPListener::CheckNickNameChars(std::string_view nickname) const {
  const THostPolicy& s = Policy();
  const std::string allowed = UpperCase(s.AllowedClientNameChars);
  const std::string disallowed = UpperCase(s.DisAllowedClientNameChars);
  std::string invalid;
  for (char c : nickname) {
    const char u = UpperCase(std::string_view(&c, 1))[0];
    bool bad = false;
    if (!allowed.empty())
      bad = allowed.find(u) == std::string::npos;
    else if (!disallowed.empty())
      bad = disallowed.find(u) != std::string::npos;
    if (bad && invalid.find(c) == std::string::npos) invalid.push_back(c);
  }
  return invalid;
}

std::string TVHUDPListener::GetGuestPlayerName(std::string_view name) {
  auto firstFree = [this](const std::string& base) LISTENER_LOCKED {
    for (int n = 1;; ++n) {
      std::string candidate = base + std::to_string(n);
      if (!Clients().GetClientByNickName(candidate)) return candidate;
    }
  };
  try {
    if (Trim(name).empty()) return firstFree("Guest");
    if (!Clients().GetClientByNickName(name)) return std::string(name);
    std::string numbered = firstFree(std::string(name));
    // A nickname has room for 29 characters; a longer one would be cut and could collide.
    if (numbered.size() > TName29::kRoom) return firstFree("Guest");
    return numbered;
  } catch (const std::exception& e) {
    LogHandlerException("GetGuestPlayerName", e);
    return std::string(name);
  }
}

void TVHUDPListener::SendLoginReply(TClientRecord& record, int32_t code, std::string_view text,
                                    bool withProperties, bool closeAfter) {
  auto reply = NewConnectionPacket(kConnLoginReply, 0, record.PlayerID);
  reply->SetSize(kLoginReplySize);
  std::fill(reply->Memory() + kConnectionHeaderSize, reply->Memory() + kLoginReplySize, 0);
  if (withProperties) {
    const TVirtualServerSettings settings = server_.Settings();
    TName29(settings.Name).WriteTo(reply->Memory() + 20);
    TName29(server_.PlatformLabel()).WriteTo(reply->Memory() + 50);
    reply->SetWordAt(80, 2);
    reply->SetWordAt(82, 0);
    reply->SetWordAt(84, 20);
    reply->SetWordAt(86, 1);
    reply->SetLongAt(92, server_.CodecBits());
    reply->SetWordAt(100, server_.ServerFlags().load());
    server_.Permissions().WriteTo(reply->Memory() + 102);
    reply->SetLongAt(168, settings.MaxUsers);
  }
  reply->SetLongAt(88, static_cast<uint32_t>(code));
  reply->SetLongAt(172, record.ConnectionID);
  reply->SetLongAt(176, record.PlayerID);
  TShortString<kTextLength>(text).WriteTo(reply->Memory() + 180);
  server_.Counters()->CountLogin(code);
  notifier_.Send(std::move(reply), closeAfter);
}

// ---- Login request

void TVHUDPListener::CMD_cs_LoginStep1() {
  try {
    const TPacket& p = *eventPacket_;
    const std::optional<TLoginRequest> request = ParseLogin(p);
    if (!request) return RefuseMalformedLogin();
    TClientRecordPtr record = NewLoginRecord(*request);
    TLoginVerdict verdict;
    std::optional<TStoredLogin> account;
    if (record->VersionRelease < 28 && record->VersionBuild < 40) verdict.Code = -5;
    if (verdict.Code == 0) verdict.Code = CheckAccount(*record, *request, account);
    // Every well-sized request gets a connection and a player id, whatever its verdict: the
    // refusal travels over it.
    record->PlayerID = Clients().GetNewPlayerID();
    Buffer().AddConnection(record->PlayerID, record->ConnectionID, p.LocalAddress(), 1,
                           p.PeerPort(), p.PeerAddress());
    if (account) return StartPasswordCheck(std::move(record), *request, std::move(*account));
    FinishLogin(std::move(record), request->LoginMode, std::move(verdict));
  } catch (const std::exception& e) {
    LogHandlerException("CMD_cs_LoginStep1", e);
  }
}

void TVHUDPListener::FinishLogin(TClientRecordPtr record, uint8_t loginMode,
                                 TLoginVerdict verdict) {
  CheckLoginRefusals(*record, verdict);
  if (verdict.Code != 0) return RefuseLogin(*record, verdict);
  AdmitPlayer(std::move(record), loginMode);
}

// ---- The password check, off the listener

void TVHUDPListener::TWakeLine::Wake() {
  TLockGuard lock(mutex);
  if (table) table->WakeListener();
}

void TVHUDPListener::TWakeLine::Close() {
  TLockGuard lock(mutex);
  table = nullptr;
}

void TVHUDPListener::StartPasswordCheck(TClientRecordPtr record, const TLoginRequest& request,
                                        TStoredLogin account) {
  auto check = std::make_shared<TPasswordCheck>();
  check->stored = account.StoredPassword;
  check->typed = record->Password.Str();
  // The job holds only what it shares with this listener: it may outlive the server.
  std::shared_ptr<TWakeLine> line = wakeLine_;
  const bool queued = server_.Environment().PasswordChecks().Submit([check, line] {
    try {
      check->verified = TPasswordHash::Verify(check->stored, check->typed);
      if (check->verified && TPasswordHash::NeedsRehash(check->stored))
        check->rehash = TPasswordHash::Make(check->typed);
    } catch (const std::exception&) {
      check->rehash.clear();  // out of memory while hashing: the old value stays
    }
    check->done.store(true, std::memory_order_release);
    line->Wake();
  });
  if (!queued) {
    // More checks wait than the pool takes: the server is too busy for this login now.
    LogText(LMT_ERROR, LMD_ALL, "password checks queue full, login refused", "UDP Listener");
    return FinishLogin(std::move(record), request.LoginMode, TLoginVerdict{-2, ""});
  }
  TPendingLogin& pending = pendingLogins_.emplace_back();
  pending.playerId = record->PlayerID;
  pending.connectionId = record->ConnectionID;
  pending.packet = std::move(eventPacket_);
  pending.request = request;
  pending.record = std::move(record);
  pending.account = std::move(account);
  pending.check = std::move(check);
}

TVHUDPListener::TPendingLogin* TVHUDPListener::PendingLogin(uint32_t playerId) {
  if (playerId == 0) return nullptr;
  for (TPendingLogin& p : pendingLogins_)
    if (p.playerId == playerId) return &p;
  return nullptr;
}

void TVHUDPListener::DropPendingLogin(uint32_t playerId) {
  std::erase_if(pendingLogins_, [playerId](const TPendingLogin& p) {
    return playerId != 0 && p.playerId == playerId;
  });
}

bool TVHUDPListener::HoldForPendingLogin() {
  TPendingLogin* pending = PendingLogin(eventPlayerId_);
  if (!pending || !eventPacket_) return false;
  pending->held.push_back(std::move(eventPacket_));
  return true;
}

void TVHUDPListener::CompleteCheckedLogins() {
  // Each login completes as the current event of its own connection; the event being handled
  // (a wake-up) is put back afterwards.
  const uint32_t savedPlayerId = eventPlayerId_;
  const uint8_t savedKind = eventKind_;
  std::unique_ptr<TPacket> savedPacket = std::move(eventPacket_);
  TClientRecord* const savedPlayer = currentPlayer_;
  for (auto it = pendingLogins_.begin(); it != pendingLogins_.end();) {
    if (!it->check->done.load(std::memory_order_acquire)) {
      ++it;
      continue;
    }
    TPendingLogin login = std::move(*it);
    it = pendingLogins_.erase(it);
    // A connection that timed out or closed while its check ran is gone (or is another's now):
    // nobody to answer, nobody to seat.
    if (Buffer().GetConnectionStats(login.playerId).connectionId != login.connectionId) continue;
    eventPlayerId_ = login.playerId;
    eventKind_ = EV_PACKET;
    eventPacket_ = std::move(login.packet);
    currentPlayer_ = nullptr;
    try {
      TLoginVerdict verdict;
      verdict.Code = ApplyCheckedAccount(*login.record, login.request, login.account,
                                         login.check->verified, login.check->rehash);
      FinishLogin(std::move(login.record), login.request.LoginMode, std::move(verdict));
    } catch (const std::exception& e) {
      LogHandlerException("CMD_cs_LoginStep1", e);
    }
    // What the connection sent meanwhile, in its order, now that its login is answered.
    for (std::unique_ptr<TPacket>& held : login.held) {
      eventPacket_ = std::move(held);
      currentPlayer_ = Clients().GetClientByID(login.playerId);
      disconnect_ = false;
      HandleEventLocked();
    }
    // A held packet's handler may have ended another pending login (its connection): the
    // walk starts over.
    it = pendingLogins_.begin();
  }
  eventPlayerId_ = savedPlayerId;
  eventKind_ = savedKind;
  eventPacket_ = std::move(savedPacket);
  currentPlayer_ = savedPlayer;
  disconnect_ = false;
}

void TVHUDPListener::RefuseMalformedLogin() {
  const TPacket& p = *eventPacket_;
  TClientRecordPtr record = TClients::NewClient();
  record->ConnectionID = Clients().GetNewConnectionID();
  record->PlayerID = Clients().GetNewPlayerID();
  Buffer().AddConnection(record->PlayerID, record->ConnectionID, p.LocalAddress(), 1, p.PeerPort(),
                         p.PeerAddress());
  SendLoginReply(*record, -5, "", false, true);
}

TClientRecordPtr TVHUDPListener::NewLoginRecord(const TLoginRequest& request) {
  TClientRecordPtr record = TClients::NewClient();
  TClientRecord& r = *record;
  r.ConnectionID = Clients().GetNewConnectionID();
  r.ClientInfo1 = request.ClientInfo1;
  r.ClientInfo2 = request.ClientInfo2;
  r.VersionMajor = request.VersionMajor;
  r.VersionMinor = request.VersionMinor;
  r.VersionRelease = request.VersionRelease;
  r.VersionBuild = request.VersionBuild;
  r.LoggedIn = 0;
  return record;
}

int32_t TVHUDPListener::InvalidLogin(const TClientRecord& r) {
  LogLoginFailure(kVoiceInterface, eventPacket_->PeerAddress(), kReasonInvalidLogin,
                  r.LoginName.Str());
  return -21;
}

int32_t TVHUDPListener::CheckAccount(TClientRecord& r, const TLoginRequest& request,
                                     std::optional<TStoredLogin>& account) {
  int32_t code = 0;
  // An anonymous player has no login name, whatever he typed: it would show in the player
  // info and the audit lines as an account's, and could lock that account out. His password
  // stays for the server password check.
  if (request.LoginMode == kLoginModeRegistered) r.LoginName = request.LoginName;
  r.Password = request.Password;
  r.NickName = request.NickName;
  r.LastActivity = r.LoginTime = NowDateTime();
  r.ChannelID = -1;
  r.ChannelPrivileges = r.PlayerPrivileges = r.PlayerFlags = 0;
  if (request.LoginMode == kLoginModeRegistered && HasControlChars(r.LoginName.Str())) {
    // No account can hold such a name; it is not looked up.
    code = -21;
  } else if (request.LoginMode == kLoginModeRegistered && !r.LoginName.Empty()) {
    bool storageFailed = false;
    account = Clients().DBReadLogin(r.LoginName.Str(), &storageFailed);
    if (account) return 0;  // the rest follows the password check
    if (storageFailed) {
      // The database could not be asked: no verdict on the password, an internal error.
      code = -50;
    } else {
      code = InvalidLogin(r);
    }
  }
  if (request.RenameOption != 0) r.NickName = GetGuestPlayerName(r.NickName.Str());
  return code;
}

int32_t TVHUDPListener::ApplyCheckedAccount(TClientRecord& r, const TLoginRequest& request,
                                            const TStoredLogin& account, bool verified,
                                            const std::string& rehash) {
  int32_t code = 0;
  if (verified) {
    uint16_t privileges = PP_REGISTERED;
    if (account.ServerAdmin) privileges |= PP_SERVER_ADMIN;
    r.PlayerPrivileges = static_cast<uint16_t>(privileges & ~PP_ALLOWED_TO_REGISTER);
    r.Created = account.Created;
    r.DBID = account.DBID;
    Clients().DBReplacePasswordHash(account, rehash);
    // Checked now, not before the check: two logins of one account may have been checked at
    // once, and only the first seated keeps the name.
    if (Clients().isLoggedIn(r.LoginName.Str())) code = -7;
  } else {
    code = InvalidLogin(r);
  }
  if (request.RenameOption != 0) r.NickName = GetGuestPlayerName(r.NickName.Str());
  return code;
}

void TVHUDPListener::CheckLoginRefusals(const TClientRecord& r, TLoginVerdict& verdict) {
  const TVirtualServerSettings vs = server_.Settings();
  if (!r.IsRegistered() && !vs.Password.empty() && r.Password.Str() != vs.Password)
    verdict.Code = -1;
  std::string invalid = CheckNickNameChars(r.NickName.Str());
  // Control characters are refused whatever the settings allow; the text names them printably.
  std::string controls;
  for (char c : r.NickName.Str())
    if (HasControlChars(std::string_view(&c, 1)) && controls.find(c) == std::string::npos)
      controls.push_back(c);
  if (!controls.empty()) {
    std::erase_if(invalid, [](char c) { return HasControlChars(std::string_view(&c, 1)); });
    invalid += PrintableSample(controls);
  }
  if (!invalid.empty()) {
    verdict.Text = "Your nickname contains the following invalid characters \"" + invalid + "\".";
    verdict.Code = -1;
  }
  DBRemoveOldBans();
  int64_t remaining = -1;
  if (IsBanned(eventPacket_->PeerAddress(), remaining)) {
    if (remaining >= 0)
      verdict.Text = "You have been timebanned from this server, you may connect in " +
                     FormatUptime(remaining);
    verdict.Code = -6;
  }
}

void TVHUDPListener::RefuseLogin(TClientRecord& r, const TLoginVerdict& verdict) {
  const THostPolicy& settings = Policy();
  if (r.IsRegistered() && (settings.LogAccessRegistered || settings.LogAccessUnregistered))
    LogFormat(LMT_ALL, LMD_INFO,
              {RefusalReason(verdict.Code), eventPacket_->PeerAddress(), r.NickName.Str(),
               r.LoginName.Str(), r.VersionMajor, r.VersionMinor, r.VersionRelease, r.VersionBuild},
              "client disconnected, reason %1 [IP: %2, Nick: %3, LoginName: %4, Version: "
              "%5.%6.%7.%8]",
              "AccessLog");
  SendLoginReply(r, verdict.Code, verdict.Text, false, true);
}

// The admission rules of the full reply; a later rule overrides an earlier one, so a taken or
// forbidden nickname is reported even on a full server.
int32_t TVHUDPListener::AdmissionResult(const TClientRecord& r, uint8_t loginMode) {
  const TVirtualServerSettings vs = server_.Settings();
  int32_t result = 0;
  if (Clients().Count() >= vs.MaxUsers) result = -2;
  if (result == 0 && loginMode == kLoginModeAnonymous && !vs.Password.empty() &&
      r.Password.Str() != vs.Password)
    result = -1;
  if (result == 0) result = 1;
  if (Clients().GetClientByNickName(r.NickName.Str())) result = -4;
  const std::string trimmed = Trim(r.NickName.Str());
  if (trimmed.empty()) result = -1;
  for (const std::string& bad : Policy().BadNames)
    if (EqualsIgnoreCase(bad, trimmed)) result = -1;
  // One address may hold only a few logins that have not joined; more would fill the server
  // with sessions nobody completes.
  if (result == 1 && Buffer().TooManyHalfOpenLogins(r.PlayerID)) result = -2;
  return result;
}

void TVHUDPListener::AdmitPlayer(TClientRecordPtr record, uint8_t loginMode) {
  const int32_t result = AdmissionResult(*record, loginMode);
  const std::string welcome = result >= 0 ? server_.Settings().WelcomeMessage : std::string();
  if (result <= 0) return SendLoginReply(*record, result, welcome, true, true);
  SendLoginReply(*record, result, welcome, true, false);
  TClientRecord* added = record.get();
  if (!Clients().AddClient(std::move(record))) return;
  const THostPolicy& settings = Policy();
  const std::string& peer = eventPacket_->PeerAddress();
  if (settings.LogAccessRegistered && added->IsRegistered())
    LogFormat(
        LMT_ALL, LMD_INFO,
        {peer, added->NickName.Str(), added->LoginName.Str(), added->DBID, added->VersionMajor,
         added->VersionMinor, added->VersionRelease, added->VersionBuild},
        "client connected [IP: %1, Nick: %2, LoginName: %3, DBID: %4, Version: %5.%6.%7.%8]",
        "AccessLog");
  else if (settings.LogAccessUnregistered)
    LogFormat(LMT_ALL, LMD_INFO,
              {peer, added->NickName.Str(), added->VersionMajor, added->VersionMinor,
               added->VersionRelease, added->VersionBuild},
              "client connected [IP: %1, Nick: %2, Version: %3.%4.%5.%6]", "AccessLog");
}

// ---- Join request

void TVHUDPListener::CMD_cs_LoginStep3() {
  TClientRecord* player = currentPlayer_;
  if (!player) {
    disconnect_ = true;
    return;
  }
  const std::optional<TJoinRequest> request = ParseJoin(*eventPacket_);
  if (!request) return;
  player->LoginOption = request->Option == 1 ? 1 : 0;
  if (player->LoginOption && !server_.Settings().JoinOptionPermit) {
    disconnect_ = true;
    return;
  }
  try {
    TChannel* chosen = ChooseJoinChannel(*request);
    if (!chosen) {
      disconnect_ = true;
      return;
    }
    SeatPlayer(player, chosen);
    notifier_.SetPlayerChannelFlagsAndPrivileges(chosen, player);
    player->UploadBandwidth = request->Bandwidth;
    Buffer().SetClientBandwidth(player->PlayerID, request->Bandwidth);

    SendChannelList(*player);
    SendPlayerList(*player);
    SendClosingPacket(*player);
    notifier_.NotifyPlayerEnteredScope(player->PlayerID);
    server_.LoginCount().fetch_add(1);

    CheckJoiningServerAdmin(*player);
    // Best effort: a failed write is logged and the login stands.
    if (player->IsRegistered()) static_cast<void>(Clients().DBUpdateLastOnline(player->DBID));
    player->LoggedIn = 1;
  } catch (const std::exception& e) {
    LogHandlerException("CMD_cs_LoginStep3", e);
  }
}

// The named channel (and sub-channel) when the player may join it, else the default channel;
// null only when there is no default channel either.
TChannel* TVHUDPListener::ChooseJoinChannel(const TJoinRequest& request) {
  TChannel* chosen = nullptr;
  if (!request.ChannelName.empty()) {
    chosen = Channels().ExistsChannelName(request.ChannelName, -1);
    if (chosen && !request.SubChannelName.empty())
      chosen = Channels().ExistsChannelName(request.SubChannelName, chosen->ID);
  }
  TChannel* fallback = Channels().GetDefaultChannelAsPointer();
  if (!chosen) chosen = fallback;
  if (chosen && !chosen->HasFlag(CF_DEFAULT) && !chosen->HasFlag(CF_UNREGISTERED) &&
      !Can(upChannelJoinRegisterred))
    chosen = fallback;
  if (!chosen || notifier_.CheckChannelJoin(chosen->ID, request.Password) != 0) chosen = fallback;
  return chosen;
}

// The channel list, in the tree's order, in packets of a little over 472 bytes.
void TVHUDPListener::SendChannelList(const TClientRecord& player) {
  std::unique_ptr<TPacket> list;
  uint32_t entries = 0;
  auto flush = [&] {
    if (!list || entries == 0) return;
    list->SetLongAt(24, entries);
    notifier_.Send(std::move(list));
    list.reset();
    entries = 0;
  };
  for (size_t i = 0; i < Channels().Count(); ++i) {
    if (!list) {
      list = NewPacketFor(player, CMD_sc_LoginStep4);
      list->WriteU32(0);
    }
    WriteChannelEntry(*list, *Channels().Items(i));
    ++entries;
    if (list->Size() > kChannelListFlushSize) flush();
  }
  flush();
}

// The players in his scope, ten to a packet.
void TVHUDPListener::SendPlayerList(const TClientRecord& player) {
  std::unique_ptr<TPacket> list;
  uint32_t count = 0;
  auto flush = [&] {
    if (!list || count == 0) return;
    list->SetLongAt(24, count);
    list->SetSize(kPlayerListSize);
    notifier_.Send(std::move(list));
    list.reset();
    count = 0;
  };
  for (size_t i = 0; i < Clients().Count(); ++i) {
    TClientRecord* q = Clients().Items(i);
    if (!notifier_.CanSee(player, *q)) continue;
    if (!list) {
      list = NewPacketFor(player, CMD_sc_LoginStep5);
      list->WriteU32(0);
    }
    WritePlayerBlock(*list, *q);
    if (++count == 10) flush();
  }
  flush();
}

// Its acknowledgement makes the connection connected.
void TVHUDPListener::SendClosingPacket(const TClientRecord& player) {
  const THostPolicy& settings = Policy();
  auto closing = NewPacketFor(player, CMD_sc_LoginStep6);
  closing->WriteShortString(settings.GFXURL, kTextLength);
  closing->SetSize(kClosingPacketSize);
  closing->SetPosition(kClosingPacketSize);
  const std::string ispLink = Trim(settings.ISPLinkURL);
  if (!ispLink.empty()) closing->WriteCString(std::string_view(ispLink));
  notifier_.Send(std::move(closing));
}

// Server admin comes with an account only: an anonymous record that carries it (an account
// deleted since, a hand-edited row) loses it on arrival, and the log says so every time.
void TVHUDPListener::CheckJoiningServerAdmin(TClientRecord& player) {
  if (!player.IsServerAdmin()) return;
  const std::string& peer = eventPacket_->PeerAddress();
  if (Policy().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {peer, player.NickName.Str(), player.LoginName.Str()},
              "serveradmin connected [IP: %1, Nick: %2, LoginName: %3]", "SALog");
  if (player.IsRegistered()) return;
  LogFormat(LMT_ALL, LMD_INFO, {peer, player.NickName.Str(), player.LoginName.Str()},
            "unregistered serveradmin connected [IP: %1, Nick: %2, LoginName: %3] right "
            "auto revoked",
            "SALog");
  player.PlayerPrivileges &= static_cast<uint16_t>(~PP_SERVER_ADMIN);
  notifier_.NotifyPlayerPrivilegesChanged(player.PlayerID, 0, kActionRevokedAuto, 0);
}

}  // namespace vh
