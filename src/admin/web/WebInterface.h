// The web administration interface: an HTTP server (cpp-httplib, one thread per connection
// from TConnectionPool) with cookie sessions, serving the template directory: images as they are,
// pages through the template language, and command URLs (".vhcmd") that change the server and
// redirect. Started and stopped by the host's main thread; the request threads share the
// session table (its own lock) and the failed-login table (its own lock).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "admin/AdminContext.h"
#include "admin/GuardedHttpServer.h"
#include "admin/LoginFailures.h"
#include "admin/web/ApiTokens.h"
#include "admin/web/TemplateEngine.h"
#include "admin/web/WebSessions.h"

namespace vh {

class TClock;
struct TWebCall;

// What checking a login against the database found.
enum class TWebLogin { Valid, Invalid, NoPermission, StorageFailed };

class TWebInterface {
 public:
  static constexpr size_t kMaxConnections = 500;
  static constexpr size_t kSpareThreads = 16;
  static constexpr int kKeepAliveSeconds = 2;
  static constexpr size_t kMaxPathLength = 1024;
  static constexpr size_t kMaxHeaders = 64;
  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  static constexpr size_t kMaxBodyLength = 64 * 1024;
  static constexpr double kRecheckMs = 11000;
  static constexpr double kSettingsCacheMs = 21000;
  static constexpr size_t kMaxFieldLength = 4096;
  // One address cannot hold more connections than this, so it cannot use up the threads.
  static constexpr size_t kMaxConnectionsPerAddress = 32;
  // A request must have arrived whole within this time (tests give a shorter one).
  static constexpr std::chrono::milliseconds kRequestDeadline{10000};
  static THttpGuards DefaultGuards() { return {kRequestDeadline, kMaxConnectionsPerAddress}; }

  // `clock` times the sessions, the login re-validation, the settings cache and the
  // failed-login purge.
  TWebInterface(TAdminContext context, const TClock& clock, THttpGuards guards = DefaultGuards());
  ~TWebInterface();
  TWebInterface(const TWebInterface&) = delete;
  TWebInterface& operator=(const TWebInterface&) = delete;

  // Serves `documentRoot` on `port` (0: the system picks; see BoundPort) at `address`. False,
  // logged, when the server cannot start.
  // With `tls` it serves HTTPS only: the session cookie is Secure and every answer carries
  // Strict-Transport-Security. A certificate or key that cannot be loaded fails the start.
  bool Start(uint16_t port, const std::string& documentRoot,
             const std::string& address = "::", const THttpTls* tls = nullptr);
  bool Https() const { return https_; }
  void Stop();
  uint16_t BoundPort() const { return boundPort_.load(); }
  // Why the last Start failed ("Could not bind to 0.0.0.0:14534: Address already in use").
  const std::string& StartFailure() const { return startFailure_; }
  size_t OpenConnections() const { return server_ ? server_->OpenConnections() : 0; }
  TWebSessions& Sessions() { return sessions_; }
  TLoginFailures& Failures() { return failures_; }
  TApiTokens& Tokens() { return tokens_; }

  // Shared with the command handlers.
  const TAdminContext& Context() const { return context_; }
  const TClock& Clock() const { return clock_; }
  const std::string& DocumentRoot() const { return documentRoot_; }
  // StorageFailed when the database could not be asked (logged); the session's login values
  // are then left as they were.
  TWebLogin CheckLogin(TWebCall& call, const std::string& user, const std::string& password,
                       const std::string& port);
  // Holds a login answer back for `ms` on the request's own connection thread; Stop ends it.
  void WaitToAnswer(double ms) const;
  bool HasWebPermission(TWebCall& call, int permission, const TServerPermissions& sets);
  std::optional<TWorkingSettings> GetCachedSettings(TWebCall& call, const std::string& serverId);
  std::string LoadFile(const std::string& name) const;
  // A successful login: `fresh` replaces the request's session (a new id, sent as the cookie).
  void StartSession(TWebCall& call, std::shared_ptr<TWebSession> fresh);
  // The logout: the session ends and the browser is told to drop the cookie.
  void EndSession(TWebCall& call);

 private:
  void HandleRequest(const httplib::Request& req, httplib::Response& res);
  // Answers a request whose path, headers or form fields are too long, or that names a form
  // field twice, with a 4xx status.
  bool RefuseMalformed(const httplib::Request& req, httplib::Response& res);
  void Route(TWebCall& call);
  void ProgressFile(TWebCall& call, const std::string& file);
  // Fills a template page: the values every page may show, then its blocks (lists, forms).
  void SetVariables(TWebCall& call, std::string& page);
  // Loads a row template of a block; false (and the page says so) when it is missing.
  bool RowTemplate(TWebCall& call, const std::string& name, std::string& out) const;
  // The values of the server being worked on; true when it is running.
  bool AddServerValues(TWebCall& call, const TAdminSettings& settings,
                       const TWorkingSettings& working, TTemplateValues& values);
  // The block SERVER_LIST: every stored server for a super server admin.
  void FillServerList(TWebCall& call, std::string& page, bool super);
  // The permission forms of the six groups.
  void FillPermissionGroups(TWebCall& call, std::string& page, const TWorkingSettings& working);
  void ServeStatic(TWebCall& call, const std::string& file);
  void ServeVirtualFolder(TWebCall& call);
  // The file of the template directory that `path` names after canonicalising; empty when
  // it lies outside or does not exist (`outside` says which).
  std::string ResolvePath(const std::string& path, bool* outside) const;

  // set at construction
  const TAdminContext context_;
  const TClock& clock_;
  const THttpGuards guards_;
  TWebSessions sessions_;
  std::string startFailure_;  // set by Start on the starting thread
  TLoginFailures failures_;
  TApiTokens tokens_;

  // "; Secure" for cookies served over HTTPS.
  const char* CookieSecurity() const { return https_ ? "; Secure" : ""; }

  // set by Start, before the server thread runs
  bool https_ = false;
  std::string documentRoot_;
  std::unique_ptr<TGuardedHttpServer> server_;
  std::unique_ptr<TGuardedHttpServer> loopbackV6_;  // the ::1 twin of a 127.0.0.1 interface
  std::atomic<uint16_t> boundPort_{0};
  std::atomic<bool> stopping_{false};
};

}  // namespace vh
