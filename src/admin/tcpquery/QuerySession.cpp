#include "admin/tcpquery/QuerySession.h"

namespace vh {

void TQuerySession::Publish() {
  TSessionSummary s;
  s.LoggedIn = Login.has_value();
  if (Login) {
    s.LoginName = Login->LoginName;
    s.SuperServerAdmin = Login->IsSuperServerAdmin();
    s.ServerAdmin = Login->IsServerAdmin();
  }
  s.LoginServerId = LoginServerId;
  s.RemoteIP = RemoteIP;
  s.LastCommand = LastCommand;
  TLockGuard lock(mutex_);
  summary_ = std::move(s);
}

TSessionSummary TQuerySession::Summary() const {
  TLockGuard lock(mutex_);
  return summary_;
}

}  // namespace vh
