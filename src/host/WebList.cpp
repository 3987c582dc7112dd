#include "host/WebList.h"

#include <memory>

#include "common/Console.h"
#include "common/Log.h"
#include "host/ServerHost.h"
#include "weblist/ExternalIpDetection.h"
#include "weblist/WebPost.h"

namespace vh {

namespace {

std::unique_ptr<TWebPost> gWebPost;
std::unique_ptr<TExternalIpDetection> gIpDetection;

}  // namespace

TWebPostSettings CurrentWebPostSettings() {
  TServerHost& h = Host();
  TLockGuard lock(h.settingsMutex);
  const TSettings& s = h.settings;
  TWebPostSettings w;
  w.AdminEmail = s.AdminEmail;
  w.ISPLinkURL = s.ISPLinkURL;
  w.ISPName = s.ISPName;
  w.ISPCountryNumber = s.ISPCountryNumber;
  w.Enabled = s.WebPostEnabled;
  w.PostURL = s.PostURL;
  w.ListPublic = s.ListPublic;
  w.UserAgent = s.UserAgent;
  w.TCPQueryPort = s.TCPQueryPort;
  w.ListHost = s.ListHost;
  w.ListPort = s.ListPort;
  w.BoundAddress = h.boundAddress;
  w.AllowPrivateTargets = s.WebPostAllowPrivateTargets;
  return w;
}

void StartWebList() {
  TServerHost& h = Host();
  gWebPost = std::make_unique<TWebPost>(*h.virtualServers, CurrentWebPostSettings);
  gWebPost->Start();
  const TSettings s = SettingsCopy();
  if (s.ListHost.empty())
    ConsoleLine("Web list: no list host configured ([WebPost] ListHost), no record is sent");
  else
    ConsoleLine("Web list: every 5 minutes to " + s.ListHost + " UDP port " +
                std::to_string(s.ListPort));

  // The desktop shell runs its own check for its address menu.
  if (h.desktopShell || !s.ExternalIPDetection || s.ExternalIPURL.empty()) return;
  gIpDetection = std::make_unique<TExternalIpDetection>();
  gIpDetection->Start(
      true, s.ExternalIPURL,
      [](TWebCheck&, TWebCheck::TLines lines) {
        const std::string ip = lines ? ExternalAddressFromLines(*lines) : std::string();
        Log(LMT_ALL, LMD_INFO, "external ip: " + ip, "frmMain");
        ConsoleLine("External address: " + (ip.empty() ? std::string("(not in the reply)") : ip));
      },
      [](TWebCheck&) { Log(LMT_ERROR, LMD_ALL, "unable to detect external ip", "frmMain"); });
}

void StopWebList() {
  if (gWebPost) {
    gWebPost->Terminate();
    gWebPost->WaitFor();
    gWebPost.reset();
  }
  gIpDetection.reset();
}

}  // namespace vh
