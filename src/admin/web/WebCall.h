// One request of the web interface as its handlers see it: the request, the answer being
// built, the session, and the helpers every handler uses (fields, boxes, redirects). Lives on
// one HTTP connection thread for one request.
#pragma once

#include <memory>
#include <string>

#include "admin/web/WebSessions.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace vh {

class TWebInterface;

struct TWebCall {
  TWebInterface& web;
  const httplib::Request& req;
  httplib::Response& res;
  std::shared_ptr<TWebSession> session;

  // The request parameter (query or posted form) named `name` in any letter case; empty when
  // missing.
  std::string Field(const std::string& name) const;
  bool HasField(const std::string& name) const;
  std::string Header(const std::string& name) const;
  std::string RemoteIP() const;
  bool LoggedIn() const { return session->Get("LOGGEDIN") == "1"; }
  bool SuperAdmin() const { return session->Get("superadmin") == "1"; }

  void Redirect(const std::string& url);
  void DisplayError(const std::string& title, const std::string& text, const std::string& url);
  void DisplayOk(const std::string& title, const std::string& text, const std::string& url);
  void DisplayChoice(const std::string& title, const std::string& text, const std::string& urlYes,
                     const std::string& urlNo, const std::string& yes, const std::string& no);
  void AccessDenied();
  // A request that must be a POST came otherwise: 405, and the connection closed.
  void MethodNotAllowed();
  // The common boxes of the commands.
  void ErrorBox(const std::string& text) { DisplayError("error occured", text, "index.html"); }
  void OkBox(const std::string& text, const std::string& url) {
    DisplayOk("operation successfully", text, url);
  }
  // The Referer as a way back: only a page of this site, else "index.html".
  std::string RefererBack() const;
};

// Whether the request's Origin and Referer, when sent, name this site.
bool FromThisSite(const TWebCall& call);
// Answers a request under /api/v1/ with JSON.
void ProgressApi(TWebCall& call);

// Answers a command URL (names in any case); an unknown command gets an empty answer.
void ProgressCommand(TWebCall& call);

}  // namespace vh
