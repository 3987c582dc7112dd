// Voice relay: one server voice packet per listener for a client voice packet addressed to the
// speaker's channel, to his parent channel, or to a whisper list. The voice data is never
// decoded. The listener thread, or the socket's receive thread through RelayVoiceBatch; both
// with the registry and channel tree locks held. The listeners of one packet go to the
// connection table together (one table-lock hold); the copies it lets go direct leave from here
// in one sendmmsg, each its own header and the one shared voice data, before the registry lock
// is released: per packet on the listener, per receive batch on the receive thread.
#include <algorithm>
#include <cassert>
#include <vector>

#include "common/Log.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "storage/DateTime.h"
#include "transport/ConnectionTable.h"
#include "transport/Requests.h"
#include "transport/udp/UDPSocket.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"
#include "vserver/handlers/WhisperRecipients.h"

namespace vh {

namespace {

constexpr const char* kVoiceCategory = "UDP VOICE";
constexpr const char* kListenerCategory = "UDP Listener";
// Longest voice data the parent-channel and whisper relays pass on.
constexpr size_t kMaxRelayedVoice = 16385;
constexpr uint8_t kTargetChannel = 0;
constexpr uint8_t kTargetPlayer = 1;
// Targets of one whisper that are looked at; the rest of a longer list is ignored, so one
// datagram cannot make the server send more than this many copies to named players.
constexpr size_t kMaxWhisperTargets = 64;

// What every relayed copy shares: the client header fields that pass through and the data.
// Header word 12 carries the speaker's counter until the connection table puts the listener
// connection's own counter there; word 20 keeps the speaker's.
TVoiceFanout Fanout(const TVoiceHeader& header, uint32_t speakerId, std::span<const uint8_t> data,
                    double arrivedMs) {
  TVoiceFanout f;
  f.dataByte = header.DataByte;
  f.dataWord = header.DataWord;
  f.speakerId = speakerId;
  f.speakerCounter = header.Counter;
  f.data = data;
  f.arrivedMs = arrivedMs;
  return f;
}

void RelayTo(std::vector<TVoiceListener>& listeners, const TClientRecord& listener,
             uint8_t selector) {
  listeners.push_back({listener.PlayerID, selector});
}

bool Hears(const TClientRecord& listener, const TClientRecord& speaker) {
  return (listener.PlayerFlags & PF_HEARS_NOTHING) == 0 &&
         !TClients::IsInPlayerMuteList(&listener, speaker.PlayerID);
}

// May `speaker` be heard in `channel`? On a public server only in his own channel, its
// siblings and its parent; in a moderated channel only with CA, O or V, or as server admin.
bool MayTalkInChannel(TChannels& tree, uint16_t serverFlags, const TClientRecord* speaker,
                      const TChannel* channel) REQUIRES(tree.Mutex()) {
  if (!speaker || !channel) return false;
  if ((serverFlags & SF_PUBLIC) != 0 && channel->ID != speaker->ChannelID) {
    const TChannel* own = tree.GetChannel(speaker->ChannelID);
    if (!own) return false;
    if (own->ParentID != channel->ParentID && own->ParentID != channel->ID) return false;
  }
  if (channel->HasFlag(CF_MODERATED)) {
    const uint16_t voiced = CP_CHANNEL_ADMIN | CP_OPERATOR | CP_VOICE;
    if ((speaker->ChannelPrivileges & voiced) == 0 && !speaker->IsServerAdmin()) return false;
  }
  return true;
}

}  // namespace

void TVHUDPListener::FlushVoiceCopies(TRelayScratch& scratch, const TVoiceFanout& fanout) {
  if (scratch.listeners.empty()) return;
  TUDPServerSocket* socket = voiceSocket_.load();
  std::span<const TVoiceListener> rest(scratch.listeners);
  while (!rest.empty()) {
    if (scratch.batch == 0) scratch.batch = Buffer().NewDirectBatch();
    size_t relayed = rest.size();
    Buffer().RelayVoiceCopies(fanout, rest, socket ? &scratch.direct : nullptr, scratch.batch,
                              &relayed);
    rest = rest.subspan(relayed);
    // The relay stopped at a copy that must queue behind one of ours still unsent.
    if (!rest.empty()) SendDirectCopies(scratch);
  }
  scratch.listeners.clear();
  if (!scratch.holdDirect) SendDirectCopies(scratch);
}

void TVHUDPListener::SendDirectCopies(TRelayScratch& scratch) {
  TUDPServerSocket* socket = voiceSocket_.load();
  if (socket && !scratch.direct.empty()) socket->SendVoiceCopies(scratch.direct);
  scratch.direct.clear();
  scratch.batch = 0;
}

void TVHUDPListener::RelayVoice(TClientRecord* speaker, const TPacket& packet,
                                TRelayScratch& scratch) {
  // Voice of a player who has not joined yet is not relayed.
  if (!speaker || speaker->LoggedIn != 1) return;
  try {
    const auto voice = ParseVoice(packet);
    if (!voice) return;
    scratch.listeners.clear();  // what a failed relay left behind is not sent late
    switch (voice->Header.Selector) {
      case 0:
        RelayToOwnChannel(speaker, packet, scratch);
        break;
      case 1:
        RelayWhisper(speaker, packet, scratch);
        break;
      case 2:
        RelayToParentChannel(speaker, packet, scratch);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    LogHandlerException("UDP VOICE", e);
  }
}

void TVHUDPListener::RelayVoiceBatch(std::vector<std::unique_ptr<TPacket>>& voice) {
  if (voice.empty()) return;
  // Never wait here: a listener busy with a login or the database keeps the locks for a
  // while, and the receive thread must go back to its socket. Its queue takes the voice then.
  if (!Clients().Mutex().try_lock()) {
    Buffer().QueueVoiceEvents(voice);
    return;
  }
  if (!Channels().Mutex().try_lock()) {
    Clients().Mutex().unlock();
    Buffer().QueueVoiceEvents(voice);
    return;
  }
  // The direct copies of the whole batch leave together, in one sendmmsg, while the packets
  // their data points into are still ours.
  receiveRelay_.holdDirect = true;
  for (std::unique_ptr<TPacket>& packet : voice) {
    try {
      // As for every datagram the listener takes: the player was active now.
      TClientRecord* speaker = Clients().GetClientByID(packet->PacketPlayerId());
      if (speaker) speaker->LastActivity = NowDateTime();
      RelayVoice(speaker, *packet, receiveRelay_);
    } catch (const std::exception& e) {
      LogHandlerException("UDP VOICE", e);
    }
  }
  receiveRelay_.holdDirect = false;
  try {
    SendDirectCopies(receiveRelay_);
  } catch (const std::exception& e) {
    receiveRelay_.direct.clear();
    receiveRelay_.batch = 0;
    LogHandlerException("UDP VOICE", e);
  }
  // Released in the order of TModelLock: the registry first, then the tree.
  Clients().Mutex().unlock();
  Channels().Mutex().unlock();
  // The datagrams themselves go back to the table's pool with the next batch's spares.
  Buffer().RecyclePackets(voice);
}

void TVHUDPListener::RelayToOwnChannel(TClientRecord* speaker, const TPacket& packet,
                                       TRelayScratch& scratch) {
  assert(speaker && speaker->LoggedIn == 1);  // RelayVoice checked
  try {
    TChannel* channel = Channels().GetChannel(speaker->ChannelID);
    if (!channel) return;
    if (!MayTalkInChannel(Channels(), server_.ServerFlags().load(), speaker, channel)) return;
    const auto voice = ParseVoice(packet);
    if (!voice) return;
    for (size_t i = 0; i < channel->Players.Count(); ++i) {
      TClientRecord* listener = channel->Players.Items(i);
      if (!listener || listener == speaker || !Hears(*listener, *speaker)) continue;
      RelayTo(scratch.listeners, *listener, 0);
    }
    FlushVoiceCopies(scratch,
                     Fanout(voice->Header, speaker->PlayerID, voice->Data, packet.QueuedMs()));
  } catch (const std::exception& e) {
    LogText(LMT_ERROR, LMD_ALL,
            std::string("ProgressVoiceData_SendVoiceDataToChannel Exception: ") +
                ExceptionClassName(e) + "." + e.what(),
            kListenerCategory);
  }
}

void TVHUDPListener::RelayToParentChannel(TClientRecord* speaker, const TPacket& packet,
                                          TRelayScratch& scratch) {
  assert(speaker && speaker->LoggedIn == 1);  // RelayVoice checked
  try {
    const auto voice = ParseVoice(packet);
    if (!voice) return;
    TVoiceFanout s = Fanout(voice->Header, speaker->PlayerID, voice->Data, packet.QueuedMs());
    if (s.data.size() > kMaxRelayedVoice) {
      s.data = s.data.first(kMaxRelayedVoice);
      LogText(LMT_WARNING, LMD_ALL,
              "ProgressVoiceData_SendVoiceDataToParentChannel, invalid packet size",
              kVoiceCategory);
    }
    TChannel* own = Channels().GetChannel(speaker->ChannelID);
    TChannel* parent = own ? Channels().GetChannel(own->ParentID) : nullptr;
    if (!parent) {
      LogText(LMT_WARNING, LMD_ALL,
              "TVHUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get "
              "parentchannel",
              kVoiceCategory);
      return;
    }
    if (!MayTalkInChannel(Channels(), server_.ServerFlags().load(), speaker, parent)) return;
    for (size_t i = 0; i < Clients().Count(); ++i) {
      TClientRecord* listener = Clients().Items(i);
      if (listener == speaker || listener->ChannelID != speaker->ChannelID) continue;
      if (!Hears(*listener, *speaker)) continue;
      RelayTo(scratch.listeners, *listener, 2);
    }
    FlushVoiceCopies(scratch, s);
  } catch (const std::exception&) {
    // Voice is best effort: a failed relay is not worth a log line per datagram.
  }
}

void TVHUDPListener::RelayWhisper(TClientRecord* speaker, const TPacket& packet,
                                  TRelayScratch& scratch) {
  assert(speaker && speaker->LoggedIn == 1);  // RelayVoice checked
  try {
    // A target list that runs past the datagram is not guessed at: the datagram is dropped.
    const auto whisper = ParseWhisper(packet);
    if (!whisper || whisper->Targets.empty()) return;
    TVoiceFanout s = Fanout(whisper->Header, speaker->PlayerID, whisper->Data, packet.QueuedMs());
    if (s.data.size() > kMaxRelayedVoice) {
      s.data = s.data.first(kMaxRelayedVoice);
      LogText(LMT_WARNING, LMD_ALL, "ProgressVoiceData_SendVoiceDataWhisper, invalid packet size",
              kVoiceCategory);
    }

    std::vector<TWhisperRecipient> recipients;
    const uint16_t serverFlags = server_.ServerFlags().load();
    const size_t targetCount = std::min(whisper->Targets.size(), kMaxWhisperTargets);
    for (size_t t = 0; t < targetCount; ++t) {
      const uint8_t kind = whisper->Targets[t].Kind;
      const uint32_t id = whisper->Targets[t].Id;
      if (kind == kTargetPlayer) {
        if (id != speaker->PlayerID) recipients.push_back({id, kTargetPlayer});
      } else if (kind == kTargetChannel) {
        TChannel* channel = Channels().GetChannel(static_cast<int32_t>(id));
        if (!channel || !MayTalkInChannel(Channels(), serverFlags, speaker, channel)) continue;
        for (size_t i = 0; i < Clients().Count(); ++i) {
          TClientRecord* q = Clients().Items(i);
          if (q != speaker && q->ChannelID == channel->ID)
            recipients.push_back({q->PlayerID, kTargetChannel});
        }
      }
    }
    if (MayNameAPlayerTwice(whisper->Targets, targetCount)) KeepFirstPerPlayer(recipients);
    for (const TWhisperRecipient& r : recipients) {
      TClientRecord* listener = Clients().GetClientByID(r.PlayerId);
      if (!listener || listener->LoggedIn != 1) continue;
      if ((listener->PlayerFlags & PF_REFUSES_WHISPERS) != 0) continue;
      if (!Hears(*listener, *speaker)) continue;
      RelayTo(scratch.listeners, *listener, r.Kind);
    }
    FlushVoiceCopies(scratch, s);
  } catch (const std::exception&) {
    // Voice is best effort: a failed relay is not worth a log line per datagram.
  }
}

}  // namespace vh
