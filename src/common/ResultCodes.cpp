#include "common/ResultCodes.h"

#include <algorithm>
#include <iterator>

namespace vh {

namespace {

struct TResultText {
  int32_t code;
  const char* text;
};

// Sorted by code for the binary search below.
constexpr TResultText kResultTexts[] = {
    {-2000, "Server is blacklisted (banned)"},
    {-1900, "Maximum Recordcount reached"},
    {-1036, "Cant revoke inherited rights"},
    {-1035, "Is not registered"},
    {-1034, "Is not allowed to register"},
    {-1033, "Hasn't got channel voice"},
    {-1032, "Not a channel operator"},
    {-1031, "Not a channel admin"},
    {-1030, "Not a server admin"},
    {-1024, "Already is allowed to register"},
    {-1023, "Already channel voice"},
    {-1022, "Already channel operator"},
    {-1021, "Already channel admin"},
    {-1020, "Already server admin"},
    {-1009, "Insufficient permission rights!"},
    {-1008, "Need server admin or channel admin rights to complete operation"},
    {-1007, "Need server admin, channel admin or channel operator rights to complete operation"},
    {-1006, "Need to be a channel operator to deop"},
    {-1005, "Need to be a channel operator to devoice"},
    {-1004, "Need to be a channel operator to grant op"},
    {-1003, "Need to be a channel operator to grant voice"},
    {-1001, "Need Channel admin rights to complete operation"},
    {-1000, "Need server admin rights to complete operation"},
    {-143, "Already registered"},
    {-142, "Bad user password"},
    {-141, "Loginname already in use"},
    {-140, "Not allowed to register"},
    {-131, "Already has this privilege"},
    {-130, "Command not valid in unmoderated channels"},
    {-121, "Subchannel limit reached"},
    {-120, "Subchannels cannot have a password"},
    {-119, "Allready member of channel"},
    {-118, "Cant remove flag, subchannels are still present"},
    {-117, "Default channel cannot be deleted"},
    {-116, "Nickname already in use"},
    {-115, "Channel is not hierarchical"},
    {-114, "Channel already exists"},
    {-113, "Maximum players reached for this channel"},
    {-112, "Channel uses an unsupported codec"},
    {-111, "Wrong password"},
    {-110, "Channel is password protected"},
    {-109, "Channel is not empty"},
    {-108, "Codec is disabled"},
    {-107, "Bad argument"},
    {-106, "Player is not connected"},
    {-105, "Codec not supported"},
    {-104, "Invalid Codec"},
    {-103, "Parent channel does not exist"},
    {-102, "ChannelId does not exist"},
    {-101, "loginName does not exist"},
    {-100, "Playerid does not exist"},
    {-50, "Undefined internal error"},
    {-23, "This user is already logged in on the server"},
    {-22, "Unable to login. Your IP has been banned."},
    {-21, "Bad Login (name and/or password wrong)"},
    {-20, "Connection reset by peer.\r\nMaybe there is no server running"},
    {-19, "This Client does not support the server version"},
    {-18, "Server does not support this client version"},
    {-17, "This server does not allow anonymous login's"},
    {-16, "Got a bad response from the server"},
    {-15, "Port on the server is closed"},
    {-14, "Unable to resolve hostname to ip number"},
    {-13, "Server is full"},
    {-12, "Wrong Password"},
    {-11,
     "No reply from server\r\nMaybe the server is offline\r\nor maybe voxhollow is not running on "
     "it"},
    {-10, "Connection Timed out"},
    {1002, "Need to be a registered player to complete operation"},
};

static_assert(std::is_sorted(std::begin(kResultTexts), std::end(kResultTexts),
                             [](const TResultText& a, const TResultText& b) {
                               return a.code < b.code;
                             }));

}  // namespace

void ResultCodeToText(int32_t code, std::string& text) {
  auto it = std::lower_bound(std::begin(kResultTexts), std::end(kResultTexts), code,
                             [](const TResultText& e, int32_t c) { return e.code < c; });
  if (it != std::end(kResultTexts) && it->code == code) text = it->text;
}

std::string ResultCodeText(int32_t code) {
  std::string text;
  ResultCodeToText(code, text);
  return text;
}

}  // namespace vh
