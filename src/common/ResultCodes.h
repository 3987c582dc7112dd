// Result codes of refused operations (signed 32-bit; 0 success, failures negative) and their
// message texts. Pure data; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vh {

constexpr int32_t RC_OK = 0;
constexpr int32_t RC_CONNECTION_TIMED_OUT = -10;
constexpr int32_t RC_NO_REPLY = -11;
constexpr int32_t RC_WRONG_SERVER_PASSWORD = -12;
constexpr int32_t RC_SERVER_FULL = -13;
constexpr int32_t RC_UNRESOLVED_HOST = -14;
constexpr int32_t RC_PORT_CLOSED = -15;
constexpr int32_t RC_BAD_RESPONSE = -16;
constexpr int32_t RC_NO_ANONYMOUS_LOGIN = -17;
constexpr int32_t RC_CLIENT_VERSION_UNSUPPORTED = -18;
constexpr int32_t RC_SERVER_VERSION_UNSUPPORTED = -19;
constexpr int32_t RC_CONNECTION_RESET = -20;
constexpr int32_t RC_BAD_LOGIN = -21;
constexpr int32_t RC_IP_BANNED = -22;
constexpr int32_t RC_ALREADY_LOGGED_IN = -23;
constexpr int32_t RC_INTERNAL_ERROR = -50;
constexpr int32_t RC_PLAYER_NOT_FOUND = -100;
constexpr int32_t RC_LOGIN_NAME_NOT_FOUND = -101;
constexpr int32_t RC_CHANNEL_NOT_FOUND = -102;
constexpr int32_t RC_PARENT_CHANNEL_NOT_FOUND = -103;
constexpr int32_t RC_INVALID_CODEC = -104;
constexpr int32_t RC_CODEC_NOT_SUPPORTED = -105;
constexpr int32_t RC_PLAYER_NOT_CONNECTED = -106;
constexpr int32_t RC_BAD_ARGUMENT = -107;
constexpr int32_t RC_CODEC_DISABLED = -108;
constexpr int32_t RC_CHANNEL_NOT_EMPTY = -109;
constexpr int32_t RC_CHANNEL_PASSWORD_PROTECTED = -110;
constexpr int32_t RC_WRONG_CHANNEL_PASSWORD = -111;
constexpr int32_t RC_CHANNEL_CODEC_UNSUPPORTED = -112;
constexpr int32_t RC_CHANNEL_FULL = -113;
constexpr int32_t RC_CHANNEL_ALREADY_EXISTS = -114;
constexpr int32_t RC_CHANNEL_NOT_HIERARCHICAL = -115;
constexpr int32_t RC_NICKNAME_IN_USE = -116;
constexpr int32_t RC_DEFAULT_CHANNEL_UNDELETABLE = -117;
constexpr int32_t RC_SUBCHANNELS_PRESENT = -118;
constexpr int32_t RC_ALREADY_IN_CHANNEL = -119;
constexpr int32_t RC_SUBCHANNEL_PASSWORD = -120;
constexpr int32_t RC_SUBCHANNEL_LIMIT = -121;
constexpr int32_t RC_SUBCHANNEL_CANNOT_NEST = -122;  // no message text
constexpr int32_t RC_NOT_ON_SUBCHANNEL = -123;       // no message text
constexpr int32_t RC_NOT_MODERATED = -130;
constexpr int32_t RC_ALREADY_HAS_PRIVILEGE = -131;
constexpr int32_t RC_NOT_ALLOWED_TO_REGISTER = -140;
constexpr int32_t RC_LOGIN_NAME_IN_USE = -141;
constexpr int32_t RC_BAD_USER_PASSWORD = -142;
constexpr int32_t RC_ALREADY_REGISTERED = -143;
constexpr int32_t RC_NEED_SERVER_ADMIN = -1000;
constexpr int32_t RC_NEED_CHANNEL_ADMIN = -1001;
constexpr int32_t RC_NEED_REGISTERED = 1002;  // positive in the table, kept so
constexpr int32_t RC_NEED_OP_TO_VOICE = -1003;
constexpr int32_t RC_NEED_OP_TO_OP = -1004;
constexpr int32_t RC_NEED_OP_TO_DEVOICE = -1005;
constexpr int32_t RC_NEED_OP_TO_DEOP = -1006;
constexpr int32_t RC_NEED_SA_CA_OR_OP = -1007;
constexpr int32_t RC_NEED_SA_OR_CA = -1008;
constexpr int32_t RC_INSUFFICIENT_PERMISSION = -1009;
constexpr int32_t RC_ALREADY_SERVER_ADMIN = -1020;
constexpr int32_t RC_ALREADY_CHANNEL_ADMIN = -1021;
constexpr int32_t RC_ALREADY_OPERATOR = -1022;
constexpr int32_t RC_ALREADY_VOICE = -1023;
constexpr int32_t RC_ALREADY_ALLOWED_TO_REGISTER = -1024;
constexpr int32_t RC_NOT_SERVER_ADMIN = -1030;
constexpr int32_t RC_NOT_CHANNEL_ADMIN = -1031;
constexpr int32_t RC_NOT_OPERATOR = -1032;
constexpr int32_t RC_NO_VOICE = -1033;
constexpr int32_t RC_NOT_ALLOWED_TO_REGISTER_PRIV = -1034;
constexpr int32_t RC_NOT_REGISTERED = -1035;
constexpr int32_t RC_CANNOT_REVOKE_INHERITED = -1036;
constexpr int32_t RC_MAX_RECORDS = -1900;
constexpr int32_t RC_SERVER_BLACKLISTED = -2000;
// Answer of the liveness-check administration request; no error.
constexpr int32_t RC_ALIVE = 815;

// Sets `text` to the message of `code`; leaves it unchanged for a code without a message.
void ResultCodeToText(int32_t code, std::string& text);
// Convenience: the message, or an empty text.
std::string ResultCodeText(int32_t code);

}  // namespace vh
