// Filling a page: the variables and blocks every template may use, and the conditional
// sections. Runs on the HTTP connection thread of the request.

#include <httplib.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <set>

#include "admin/DateFormat.h"
#include "admin/ServerAdmin.h"
#include "admin/web/PermissionForms.h"
#include "admin/web/TemplateEngine.h"
#include "admin/web/WebCall.h"
#include "admin/web/WebInterface.h"
#include "common/Countries.h"
#include "common/Log.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "model/ClientRecord.h"
#include "model/Clients.h"
#include "model/ModelLock.h"
#include "storage/CustomStorage.h"
#include "transport/ConnectionTable.h"
#include "vserver/CodecTable.h"
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kCategory = "WEBINTERFACE";

// The account rows of one server (id 0: the super server admins).
std::string AccountRows(TWebInterface& web, const std::string& rowTemplate, int64_t serverId,
                        const std::string& format) {
  std::string html;
  TStorageScript q(*web.Context().storage, "read_clients.sql");
  q.SetInteger(":iServerID", serverId);
  auto rows = q.Open();
  for (size_t i = 0; rows && i < rows->Count(); ++i) {
    const TStorageRow& row = rows->Row(i);
    const TDateTime last = row.FieldByName("dt_client_lastonline").GetAsDateTime();
    std::string r = rowTemplate;
    FillValues(r, {{"CLIENT_LOGINNAME", row.FieldByName("s_client_name").GetAsString()},
                   {"CLIENT_ID", row.FieldByName("i_client_id").GetAsString()},
                   {"CLIENT_REGISTERED",
                    FormatDateTime(format, row.FieldByName("dt_client_created").GetAsDateTime())},
                   {"CLIENT_LASTONLINE", last == 0 ? "never" : FormatDateTime(format, last)}});
    html += r;
  }
  return html;
}

// The country names are Latin-1; the pages are UTF-8.
std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A link a box offers stays on this site; anything else becomes the start page. The yes-link
// of a choice box is posted with the session's token, so besides pages it may name only the
// commands that confirm a delete (they act on what the asking command stored in the session,
// never on their own parameters): a crafted box cannot make "yes" stop a server.
std::string BoxUrl(const std::string& url, bool posted) {
  if (!IsPageOfThisSite(url)) return "index.html";
  const std::string upper = UpperCase(url);
  if (upper.find(".VHCMD") == std::string::npos) return url;
  if (!posted) return "index.html";
  for (const char* confirm : {"DELETE_CLIENT.VHCMD", "DELETE_SCLIENT.VHCMD", "DELETE_SERVER.VHCMD",
                              "CONFIRM_STOP_SERVER.VHCMD"})
    if (upper.rfind(confirm, 0) == 0 && (upper.size() == std::string_view(confirm).size() ||
                                         upper[std::string_view(confirm).size()] == '?'))
      return url;
  return "index.html";
}

// The hoster's link (and logo) from the basic settings: http or https only.
std::string HosterUrl(const std::string& url) {
  return IsHttpLink(url) ? url : std::string();
}

// A small form that posts a command with one field: what a link to a command becomes.
std::string CommandButton(const std::string& command, const std::string& field,
                          const std::string& value, const std::string& label) {
  return "<form method=\"post\" action=\"" + command +
         "\" class=\"inline\"><input type=\"hidden\" name=\"" + field + "\" value=\"" +
         HtmlEscape(value) + "\"><button type=\"submit\" class=\"icon\">" + label +
         "</button></form>";
}

// The log viewer reads at most this much of the end of the log and shows at most this many of
// the lines that pass its filter, newest last.
constexpr std::streamoff kLogTailBytes = 512 * 1024;
constexpr size_t kLogLinesShown = 300;

struct TLogLine {
  std::string time, kind, depth, category, text;
};

// A log line is "time,KIND,Depth,Category,<tab>text"; a line that is not (a banner, say) is
// all text.
TLogLine ParseLogLine(const std::string& line) {
  TLogLine l;
  size_t at = 0;
  std::string* fields[] = {&l.time, &l.kind, &l.depth, &l.category};
  for (std::string* f : fields) {
    const size_t comma = line.find(',', at);
    if (comma == std::string::npos) return TLogLine{{}, {}, {}, {}, line};
    *f = line.substr(at, comma - at);
    at = comma + 1;
  }
  l.text = Trim(line.substr(at));
  return l;
}

std::vector<std::string> LogTail(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  if (!in) return lines;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff from = size > kLogTailBytes ? size - kLogTailBytes : 0;
  in.seekg(from);
  std::string line;
  if (from > 0) std::getline(in, line);  // the first line is cut
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// The log viewer's rows and the category choices seen in the part read.
void LogViewer(const TWebCall& call, const std::string& file, const std::string& rowTemplate,
               std::string& rows, std::string& categoryOptions) {
  const std::string category = LowerCase(Trim(call.Field("category")));
  const std::string kind = LowerCase(Trim(call.Field("level")));
  const std::string search = LowerCase(Trim(call.Field("search")));
  std::set<std::string> categories;
  std::vector<TLogLine> shown;
  for (const std::string& line : LogTail(file)) {
    TLogLine l = ParseLogLine(line);
    if (!l.category.empty()) categories.insert(l.category);
    if (!category.empty() && LowerCase(l.category) != category) continue;
    if (!kind.empty() && LowerCase(l.kind) != kind) continue;
    if (!search.empty() && LowerCase(line).find(search) == std::string::npos) continue;
    shown.push_back(std::move(l));
  }
  const size_t first = shown.size() > kLogLinesShown ? shown.size() - kLogLinesShown : 0;
  for (size_t i = first; i < shown.size(); ++i) {
    std::string r = rowTemplate;
    FillValues(r, {{"LOG_TIME", shown[i].time},
                   {"LOG_KIND", shown[i].kind},
                   {"LOG_DEPTH", shown[i].depth},
                   {"LOG_CATEGORY", shown[i].category},
                   {"LOG_TEXT", shown[i].text}});
    rows += r;
  }
  for (const std::string& c : categories)
    categoryOptions += "<option value=\"" + HtmlEscape(c) + "\"" +
                       (LowerCase(c) == category ? " selected" : "") + ">" + HtmlEscape(c) +
                       "</option>";
}

}  // namespace

bool TWebInterface::RowTemplate(TWebCall& call, const std::string& name, std::string& out) const {
  out = LoadFile(name);
  if (out.empty()) call.ErrorBox("file " + name + " was not found");
  return !out.empty();
}

bool TWebInterface::AddServerValues(TWebCall& call, const TAdminSettings& settings,
                                    const TWorkingSettings& working, TTemplateValues& values) {
  bool running = false;
  const TVirtualServerSettings& w = working.Server;
  values.insert(
      values.end(),
      {{"SERVERID", std::to_string(working.ServerId)},
       {"SERVERNAME", w.Name},
       {"SERVERPLATFORM", context_.platformLabel},
       {"SERVERWELCOMEMESSAGE", w.WelcomeMessage},
       {"SERVERMAXUSERS", std::to_string(w.MaxUsers)},
       {"SERVERPASSWORD", w.Password},
       {"SERVERWEBPOSTLINKURL", w.WebLinkURL},
       {"SERVERWEBPOSTPOSTURL", w.WebPostURL},
       {"SERVERUDPPORT", std::to_string(w.Port)},
       {"SERVERTYPE", working.ClanServer ? "Clan Server" : "Public Server"},
       {"SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED", working.ClanServer ? "selected" : ""},
       {"SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED", working.ClanServer ? "" : "selected"}});
  for (int i = 0; i < kCodecCount; ++i)
    values.emplace_back(std::string("SERVERCFG_CODEC_") + kCodecTable[i].webName + "_SELECTED",
                        w.CodecPermits[static_cast<size_t>(i)] ? "checked" : "");
  // The running server is read under the list lock, so no other thread stops it meanwhile.
  context_.servers->WithVirtualServer(working.ServerId, [&](TServerObject& server) {
    if (!server.Running() || !server.Clients() || !server.Channels()) return;
    running = true;
    const int64_t up = static_cast<int64_t>((NowDateTime() - server.StartTime()) * 86400);
    size_t players = 0, channels = 0;
    {
      TModelLock model(*server.Clients(), *server.Channels());
      players = server.Clients()->Count();
      channels = server.Channels()->Count();
    }
    values.insert(values.end(), {{"SERVERUPTIME", FormatUptime(up)},
                                 {"CURRENTUSERS", std::to_string(players)},
                                 {"CURRENTCHANNELS", std::to_string(channels)},
                                 {"SERVERUSERSONLINE", std::to_string(channels)},
                                 {"SERVERCHANNELS", std::to_string(channels)}});
    if (TCustomPacketBuffer* table = server.PacketBuffer()) {
      const TServerStats t = table->GetServerStats();
      auto whole = [](double v) { return std::to_string(static_cast<int64_t>(std::llround(v))); };
      values.insert(values.end(), {{"SERVERPACKETSSEND", std::to_string(t.packetsSent)},
                                   {"SERVERBYTESSEND", std::to_string(t.bytesSent)},
                                   {"SERVERPACKETSRECEIVED", std::to_string(t.packetsReceived)},
                                   {"SERVERBYTESRECEIVED", std::to_string(t.bytesReceived)},
                                   {"SERVERBWLASTSECIN", whole(t.inLastSecond)},
                                   {"SERVERBWLASTSECOUT", whole(t.outLastSecond)},
                                   {"SERVERBWLASTMININ", whole(t.inLastMinute)},
                                   {"SERVERBWLASTMINOUT", whole(t.outLastMinute)}});
    }
  });
  int64_t clientId = 0;
  if (call.HasField("clientid") && TryParseInt(call.Field("clientid"), clientId) && clientId > 0 &&
      clientId <= INT32_MAX) {
    TClients accounts(static_cast<uint32_t>(working.ServerId), context_.storage);
    if (TClientRecordPtr a = accounts._DBLoadUser(static_cast<uint32_t>(working.ServerId),
                                                  static_cast<int32_t>(clientId))) {
      values.insert(
          values.end(),
          {{"SELECTED_CLIENT_LOGINNAME", a->LoginName.Str()},
           {"SELECTED_CLIENT_REGISTERED", FormatDateTime(settings.DateTimeFormat, a->Created)},
           {"SELECTED_CLIENT_ID", std::to_string(clientId)},
           {"SELECTED_CLIENT_SERVERADMIN", a->IsServerAdmin() ? "checked" : ""}});
    }
  }
  return running;
}

void TWebInterface::FillServerList(TWebCall& call, std::string& page, bool super) {
  std::string row;
  if (super && HasBlock(page, "SERVER_LIST") &&
      RowTemplate(call, "server_manager_servers_list.html", row)) {
    std::string html;
    if (auto list = ListStoredServers(context_))
      for (const TStoredServer& sv : *list) {
        std::string r = row;
        const std::string id = std::to_string(sv.Id);
        std::string players = "-";
        if (const auto count = sv.Running ? RunningPlayerCount(context_, sv.Id) : std::nullopt)
          players = std::to_string(*count);
        FillRawValues(r,
                      {{"SERVER_RUNNING",
                        sv.Running ? CommandButton("ask_stop_server.vhcmd", "serverid", id,
                                                   "<img src=\"gfx/server-run.png\" alt=\"Stop "
                                                   "Server\" border=\"0\">")
                                   : CommandButton("start_server.vhcmd", "serverid", id,
                                                   "<img src=\"gfx/server-stop.png\" alt=\"Start "
                                                   "Server\" border=\"0\">")}});
        FillValues(r, {{"SERVER_ID", id},
                       {"SERVER_NAME", sv.Name},
                       {"SERVER_UDPPORT", std::to_string(sv.Port)},
                       {"SERVER_PLAYERS", players}});
        html += r;
      }
    ReplaceBlock(page, "SERVER_LIST", html);
  } else if (!super && HasBlock(page, "SERVER_LIST")) {
    // The list is the super server admins'; a server admin sees his own server elsewhere.
    ReplaceBlock(page, "SERVER_LIST",
                 "<tr><td colspan=\"6\" class=\"muted\">Only a super server admin sees the "
                 "list of virtual servers.</td></tr>");
  }
}

void TWebInterface::FillPermissionGroups(TWebCall& call, std::string& page,
                                         const TWorkingSettings& working) {
  static const char* kGroupMarkers[kUserGroupCount] = {
      "SERVERCFG_GROUP_PERMISSIONS_SA", "SERVERCFG_GROUP_PERMISSIONS_CA",
      "SERVERCFG_GROUP_PERMISSIONS_OP", "SERVERCFG_GROUP_PERMISSIONS_V",
      "SERVERCFG_GROUP_PERMISSIONS_R",  "SERVERCFG_GROUP_PERMISSIONS_U"};
  for (size_t g = 0; g < kUserGroupCount; ++g) {
    if (!HasBlock(page, kGroupMarkers[g])) continue;
    std::string box, field;
    if (!RowTemplate(call, "server_manager_grouppermission.html", box) ||
        !RowTemplate(call, "server_manager_permissionfield.html", field))
      break;
    const auto group = static_cast<TUserGroup>(g);
    const std::string groupName = WebGroupName(group);
    // The form names the group it shows; the save takes the group from here.
    std::string rows =
        "<input type=\"hidden\" name=\"permissiongroup\" value=\"" + groupName + "\">";
    // Listed by section, each permission with its label and one line of help; the form
    // fields keep the permission names.
    for (const char* section : kPermissionSections) {
      std::string sectionRows;
      for (int n = 0; n < kWebPermissionCount; ++n) {
        const std::string name = WebPermissionName(n);
        const TPermissionText& text = WebPermissionText(n);
        if (LowerCase(name).find("reserved") != std::string::npos || NotApplicable(group, n) ||
            std::string_view(text.Section) != section)
          continue;
        std::string r = field;
        FillValues(r, {{"DESCRIPTION", name.substr(2)},
                       {"LABEL", text.Label},
                       {"HELP", text.Help},
                       {"NAME", groupName + "_" + name},
                       {"VALUE", "1"},
                       {"SELECTED", working.Permissions[group].Has(n) ? "checked" : ""}});
        sectionRows += r;
      }
      if (!sectionRows.empty())
        rows += "<h3 class=\"permsection\">" + std::string(section) + "</h3>" + sectionRows;
    }
    FillValues(box, {{"DESCRIPTION", groupName.substr(2)}});
    FillRawValues(box, {{"PERMISSIONS", rows}});
    ReplaceBlock(page, kGroupMarkers[g], box);
  }
}

void TWebInterface::SetVariables(TWebCall& call, std::string& page) {
  try {
    const TAdminSettings settings = context_.Settings();
    TWebSession& s = *call.session;
    const bool super = call.SuperAdmin();
    TTemplateValues values = {
        {"SERVER_VERSION", "v2.0.r20.b1 " + context_.platformLabel},
        {"BASIC_ADMINEMAIL", settings.AdminEmail},
        {"BASIC_ISPLINKURL", HosterUrl(settings.ISPLinkURL)},
        {"BASIC_ISPNAME", settings.ISPName},
        {"HOSTER_GFX_URL", HosterUrl(settings.GFXURL)},
        {"WEBPOST_POSTURL", settings.PostURL},
        {"SPAM_MAXCOMMANDS", std::to_string(settings.SpamMaxCommands)},
        {"SPAM_INSECONDS", std::to_string(settings.SpamInSeconds)},
        {"BASIC_LISTPUBLIC", settings.ListPublic ? "checked" : ""},
        {"WEBPOST_ENABLED", settings.WebPostEnabled ? "checked" : ""},
        {"SERVERVERSIONMAJOR", "2"},
        {"SERVERVERSIONMINOR", "0"},
        {"SERVERVERSIONRELEASE", "20"},
        {"SERVERVERSIONBUILD", "1"},
        {"LOGGEDINUSERNAME", s.Get("username")},
        {"CURRENT_DATETIME", FormatDateTime(settings.DateTimeFormat, NowDateTime())},
    };
    for (const char* box :
         {"ERROR_TITLE", "ERROR_TEXT", "ERROR_URL", "OK_TITLE", "OK_TEXT", "OK_URL", "CHOICE_TITLE",
          "CHOICE_TEXT", "CHOICE_URL_YES", "CHOICE_YES", "CHOICE_URL_NO", "CHOICE_NO"})
      values.emplace_back(
          box, std::string_view(box).find("_URL") != std::string_view::npos
                   ? BoxUrl(call.Field(LowerCase(box)), std::string_view(box) == "CHOICE_URL_YES")
                   : call.Field(LowerCase(box)));
    if (super && !call.Field("client").empty()) {
      values.emplace_back("SELECTED_CLIENT_LOGINNAME", call.Field("client"));
      values.emplace_back("SELECTED_CLIENT_ID", call.Field("clientid"));
    }
    const std::string serverId = s.Get("serverid");
    const std::optional<TWorkingSettings> working =
        call.LoggedIn() && !serverId.empty() ? GetCachedSettings(call, serverId) : std::nullopt;
    bool running = false;
    if (working) running = AddServerValues(call, settings, *working, values);

    // Blocks first, so the row values they bring in are filled like the rest of the page.
    std::string row;
    FillServerList(call, page, super);
    if (super && HasBlock(page, "API_TOKEN_LIST") &&
        RowTemplate(call, "api_tokens_row.html", row)) {
      std::string html;
      for (const TApiToken& t : tokens_.List()) {
        std::string r = row;
        FillValues(r, {{"TOKEN_ID", std::to_string(t.Id)},
                       {"TOKEN_LABEL", t.Label},
                       {"TOKEN_SCOPE", t.ServerId == 0 ? std::string("every server")
                                                       : "server " + std::to_string(t.ServerId)},
                       {"TOKEN_CREATED",
                        FormatDateTime(settings.DateTimeFormat,
                                       NowDateTime() - static_cast<double>(std::time(nullptr) -
                                                                           t.CreatedSeconds) /
                                                           86400.0)}});
        html += r;
      }
      ReplaceBlock(page, "API_TOKEN_LIST", html);
      // Shown once: the session forgets the text as the page that shows it is made.
      values.emplace_back("NEW_API_TOKEN", s.Get("newapitoken"));
      s.Set("newapitoken", "");
    }
    if (super && HasBlock(page, "LOG_LINES") && RowTemplate(call, "log_viewer_row.html", row)) {
      std::string rows, options;
      LogViewer(call, context_.logFile, row, rows, options);
      ReplaceBlock(page, "LOG_LINES", rows);
      FillRawValues(page, {{"LOG_CATEGORY_OPTIONS", options}});
      values.insert(
          values.end(),
          {{"LOG_FILTER_SEARCH", call.Field("search")},
           {"LOG_FILTER_" + UpperCase(Trim(call.Field("level"))) + "_SELECTED", "selected"}});
    }
    if (super && HasBlock(page, "SERVERCFG_DATABASE_SCLIENT_MANAGER_CLIENTLIST") &&
        RowTemplate(call, "database_sclient_manager_clientlist.html", row))
      ReplaceBlock(page, "SERVERCFG_DATABASE_SCLIENT_MANAGER_CLIENTLIST",
                   AccountRows(*this, row, 0, settings.DateTimeFormat));
    if (working && HasBlock(page, "SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST") &&
        RowTemplate(call, "database_client_manager_clientlist.html", row))
      ReplaceBlock(page, "SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST",
                   AccountRows(*this, row, working->ServerId, settings.DateTimeFormat));
    if (HasBlock(page, "COUNTRY_OPTIONLIST") &&
        RowTemplate(call, "server_country_option.html", row)) {
      std::string html;
      for (const TCountry& c : Countries()) {
        std::string r = row;
        FillValues(r,
                   {{"COUNTRY_NUMBER", std::to_string(c.code)},
                    {"COUNTRY_NAME", Latin1ToUtf8(c.name)},
                    {"COUNTRY_SELECTED", c.code == settings.ISPCountryNumber ? "selected" : ""}});
        html += r;
      }
      ReplaceBlock(page, "COUNTRY_OPTIONLIST", html);
    }

    if (working) FillPermissionGroups(call, page, *working);

    FillValues(page, values);
    ClearUnfilledValues(page);
    ApplyCondition(page, "NOT_SUPERADMIN", !super);
    ApplyCondition(page, "SUPERADMIN", super);
    if (!serverId.empty()) ApplyCondition(page, "SERVER_NOT_RUNNING", !running);
    ApplyCondition(page, "SERVER_SELECTED", !serverId.empty());
    ApplyCondition(page, "SERVER_NOT_SELECTED", serverId.empty());
  } catch (const std::exception& e) {
    LogException("SetVariables", e, kCategory);
  }
}

}  // namespace vh
