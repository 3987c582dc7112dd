// Selection and information: sl, sel, si, cl, pl, gapl, gi, ver (free commands).

#include <cmath>
#include <cstdio>
#include <ctime>

#include "admin/AdminContext.h"
#include "admin/tcpquery/QueryCommands.h"
#include "admin/tcpquery/QueryInterpreter.h"
#include "common/Mutex.h"
#include "common/Strings.h"
#include "common/Version.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "transport/ConnectionTable.h"
#include "vserver/CodecTable.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

int64_t SecondsSince(TDateTime then) {
  return static_cast<int64_t>(std::floor((NowDateTime() - then) * 86400.0));
}

int64_t Rounded(double v) {
  return static_cast<int64_t>(std::llround(v));
}

}  // namespace

void CmdServerList(TQueryCall& call) {
  for (const TListedServer& s : call.session.ServerList) {
    // Servers stopped since the list was taken are skipped.
    WithListedServer(call.services.admin, s,
                     [&](TServerObject&) { call.out.Line(std::to_string(s.Port)); });
  }
  call.out.Ok();
}

void CmdSelect(TQueryCall& call) {
  TQuerySession& session = call.session;
  session.SelectedServer.reset();
  if (call.Count() == 0) return call.out.Error("invalid paramcount");
  int32_t port = 0;
  if (!call.NumberOrError(0, port)) return;
  for (const TListedServer& s : session.ServerList) {
    if (port <= 0 || s.Port != port) continue;
    bool running = false;
    WithListedServer(call.services.admin, s, [&](TServerObject&) { running = true; });
    if (!running) break;
    session.SelectedServer = s;
    return call.out.Ok();
  }
  call.out.Error("invalid id");
}

void CmdServerInfo(TQueryCall& call) {
  TServerObject& server = *call.server;
  const TVirtualServerSettings s = server.Settings();
  TQueryOutput& out = call.out;
  out.Line("server_id=" + std::to_string(server.ServerID()));
  out.Line("server_name=" + QueryEscaped(s.Name));
  out.Line("server_platform=" + QueryEscaped(server.PlatformLabel()));
  out.Line("server_welcomemessage=" + QueryEscaped(s.WelcomeMessage));
  out.Line("server_webpost_linkurl=" + QueryEscaped(s.WebLinkURL));
  out.Line("server_webpost_posturl=" + QueryEscaped(s.WebPostURL));
  out.Line(std::string("server_password=") + (s.Password.empty() ? "0" : "1"));
  out.Line(std::string("server_clan_server=") + (server.IsClanServer() ? "1" : "0"));
  out.Line("server_udpport=" + std::to_string(s.Port));
  out.Line("server_maxusers=" + std::to_string(s.MaxUsers));
  for (int i = 0; i < kCodecCount; ++i)
    out.Line(std::string("server_allow_codec_") + kCodecTable[i].queryName + "=" +
             (s.CodecPermits[static_cast<size_t>(i)] ? "-1" : "0"));
  const TServerStats stats = server.PacketBuffer()->GetServerStats();
  out.Line("server_packetssend=" + std::to_string(stats.packetsSent));
  out.Line("server_bytessend=" + std::to_string(stats.bytesSent));
  out.Line("server_packetsreceived=" + std::to_string(stats.packetsReceived));
  out.Line("server_bytesreceived=" + std::to_string(stats.bytesReceived));
  out.Line("server_uptime=" + std::to_string(SecondsSince(server.StartTime())));
  size_t users = 0, channels = 0;
  {
    TLockGuard registry(server.Clients()->Mutex());
    users = server.Clients()->Count();
    TLockGuard tree(server.Channels()->Mutex());
    channels = server.Channels()->Count();
  }
  out.Line("server_currentusers=" + std::to_string(users));
  out.Line("server_currentchannels=" + std::to_string(channels));
  out.Line("server_bwinlastsec=" + std::to_string(Rounded(stats.inLastSecond)));
  out.Line("server_bwoutlastsec=" + std::to_string(Rounded(stats.outLastSecond)));
  out.Line("server_bwinlastmin=" + std::to_string(Rounded(stats.inLastMinute)));
  out.Line("server_bwoutlastmin=" + std::to_string(Rounded(stats.outLastMinute)));
  out.Ok();
}

void CmdChannelList(TQueryCall& call) {
  TChannels& tree = *call.server->Channels();
  TQueryOutput& out = call.out;
  out.Line("id\tcodec\tparent\torder\tmaxusers\tname\tflags\tpassword\ttopic");
  TLockGuard lock(tree.Mutex());
  for (size_t i = 0; i < tree.Count(); ++i) {
    const TChannel* c = tree.Items(i);
    out.Line(std::to_string(c->ID) + "\t" + std::to_string(c->Codec) + "\t" +
             std::to_string(c->ParentID) + "\t" + std::to_string(c->Order) + "\t" +
             std::to_string(c->MaxUsers) + "\t" + QueryQuoted(c->Name) + "\t" +
             std::to_string(c->Flags) + "\t" + (c->Password.Empty() ? "0" : "1") + "\t" +
             QueryQuoted(c->Topic));
  }
  out.Ok();
}

void CmdPlayerList(TQueryCall& call) {
  TServerObject& server = *call.server;
  TClients& registry = *server.Clients();
  TQueryOutput& out = call.out;
  const auto& login = call.session.Login;
  out.Line(
      "p_id\tc_id\tps\tbs\tpr\tbr\tpl\tping\tlogintime\tidletime\tcprivs\tpprivs\tpflags\tip\t"
      "nick\tloginname");
  TLockGuard lock(registry.Mutex());
  for (size_t i = 0; i < registry.Count(); ++i) {
    const TClientRecord* p = registry.Items(i);
    const TConnectionStats st = server.PacketBuffer()->GetConnectionStats(p->PlayerID);
    std::string row;
    for (int64_t v :
         {static_cast<int64_t>(p->PlayerID), static_cast<int64_t>(p->ChannelID),
          static_cast<int64_t>(st.packetsSent), static_cast<int64_t>(st.bytesSent),
          static_cast<int64_t>(st.packetsReceived), static_cast<int64_t>(st.bytesReceived),
          static_cast<int64_t>(st.packetLoss), static_cast<int64_t>(st.ping),
          SecondsSince(p->LoginTime), SecondsSince(p->LastActivity),
          static_cast<int64_t>(p->ChannelPrivileges), static_cast<int64_t>(p->PlayerPrivileges),
          static_cast<int64_t>(p->PlayerFlags)})
      row += std::to_string(v) + "\t";
    // Anonymous sessions see a blank address; logins without server-admin see no column.
    if (!login)
      row += QueryQuoted("0.0.0.0") + "\t";
    else if (login->IsServerAdmin())
      row += QueryQuoted(st.peerAddress) + "\t";
    row += QueryQuoted(p->NickName.Str()) + "\t" + QueryQuoted(p->LoginName.Str()) + "\t";
    out.Line(row);
  }
  out.Ok();
}

void CmdAveragePacketLoss(TQueryCall& call) {
  TServerObject& server = *call.server;
  TClients& registry = *server.Clients();
  double sum = 0;
  size_t n = 0;
  {
    TLockGuard lock(registry.Mutex());
    for (size_t i = 0; i < registry.Count(); ++i) {
      sum += server.PacketBuffer()->GetConnectionStats(registry.Items(i)->PlayerID).packetLoss;
      ++n;
    }
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "average_packet_loss=%3.2f%%", n ? sum / n / 100.0 : 0.0);
  call.out.Line(buf);
  call.out.Ok();
}

void CmdGlobalInfo(TQueryCall& call) {
  const TAdminContext& admin = call.services.admin;
  int64_t servers = 0, users = 0, maxUsers = 0, channels = 0;
  uint64_t bytesIn = 0, bytesOut = 0, packetsOut = 0, packetsIn = 0;
  double outMin = 0, outSec = 0, inMin = 0, inSec = 0;
  for (const TListedServer& listed : call.session.ServerList) {
    WithListedServer(admin, listed, [&](TServerObject& s) {
      ++servers;
      maxUsers += s.Settings().MaxUsers;
      {
        TLockGuard registry(s.Clients()->Mutex());
        users += static_cast<int64_t>(s.Clients()->Count());
        TLockGuard tree(s.Channels()->Mutex());
        channels += static_cast<int64_t>(s.Channels()->Count());
      }
      const TServerStats st = s.PacketBuffer()->GetServerStats();
      bytesIn += st.bytesReceived;
      bytesOut += st.bytesSent;
      packetsOut += st.packetsSent;
      packetsIn += st.packetsReceived;
      outMin += st.outLastMinute;
      outSec += st.outLastSecond;
      inMin += st.inLastMinute;
      inSec += st.inLastSecond;
    });
  }
  const TAdminSettings settings = admin.Settings();
  TQueryOutput& out = call.out;
  out.Line("total_server_uptime=" +
           FormatUptime(static_cast<int64_t>(std::time(nullptr)) - admin.startTimeSeconds));
  out.Line("total_server_version=" + kVersion.Text());
  out.Line("total_server_platform=" + admin.platformLabel);
  out.Line("total_servers=" + std::to_string(servers));
  out.Line("total_users_online=" + std::to_string(users));
  out.Line("total_users_maximal=" + std::to_string(maxUsers));
  out.Line("total_channels=" + std::to_string(channels));
  out.Line("total_bytesreceived=" + std::to_string(bytesIn));
  out.Line("total_bytessend=" + std::to_string(bytesOut));
  out.Line("total_packetssend=" + std::to_string(packetsOut));
  out.Line("total_packetsreceived=" + std::to_string(packetsIn));
  out.Line("total_bwoutlastmin=" + std::to_string(Rounded(outMin)));
  out.Line("total_bwoutlastsec=" + std::to_string(Rounded(outSec)));
  out.Line("total_bwinlastmin=" + std::to_string(Rounded(inMin)));
  out.Line("total_bwinlastsec=" + std::to_string(Rounded(inSec)));
  out.Line("isp_ispname=" + QueryEscaped(settings.ISPName));
  out.Line("isp_linkurl=" + QueryEscaped(settings.ISPLinkURL));
  out.Line("isp_adminemail=" + QueryEscaped(settings.AdminEmail));
  out.Line("isp_countrynumber=" + std::to_string(settings.ISPCountryNumber));
  out.Ok();
}

void CmdVersion(TQueryCall& call) {
  call.out.Line("Version Voxhollow v" + kVersion.Text() + " " + call.services.admin.platformLabel);
  call.out.Ok();
}

}  // namespace vh
