// The security log: failed logins on every interface, throttled and released addresses and
// accounts, and successful administrator logins, one line each in category "Security". The
// lines are written whatever the [debug] filter says, while [log] security is on (the default),
// because an operator and fail2ban (dist/fail2ban/) rely on them. Any thread.
//
// Every line names the interface and the remote address before any text a client chose, so a
// login name can never pose as another field: see dist/fail2ban/filter.d/voxhollow.conf.
#pragma once

#include <cstdint>
#include <string_view>

namespace vh {

// The interface names of the lines.
inline constexpr std::string_view kVoiceInterface = "voice";
inline constexpr std::string_view kQueryInterface = "tcpquery";
inline constexpr std::string_view kWebInterface = "web";

// Reason codes of a failed login.
inline constexpr std::string_view kReasonInvalidLogin = "invalid_login";  // name or password
inline constexpr std::string_view kReasonNoPermission = "no_permission";  // account may not
inline constexpr std::string_view kReasonRefused = "address_refused";     // address throttled

void SetSecurityLogEnabled(bool enabled);

// Failed logins since the process started on one interface (kQueryInterface, kWebInterface,
// kVoiceInterface), counted whether the security log is on or not; for the metrics page.
uint64_t FailedLogins(std::string_view interface);
bool SecurityLogEnabled();

// "login failed [Interface: %1, IP: %2, Reason: %3, LoginName: %4]". The password never
// reaches this function.
void LogLoginFailure(std::string_view interface, std::string_view ip, std::string_view reason,
                     std::string_view loginName);
// "admin login [Interface: %1, IP: %2, Server: %3, LoginName: %4]" (server 0: super server admin)
void LogAdminLogin(std::string_view interface, std::string_view ip, long long serverId,
                   std::string_view loginName);
// A throttle line whose fields the caller has formatted ("address throttled [...]").
void LogSecurityEvent(std::string_view message);

}  // namespace vh
