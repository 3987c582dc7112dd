// Request readers on hostile datagrams: empty, cut one byte short of the fixed part, oversized,
// texts without their zero, length bytes beyond their room, whisper lists that run past the end.
#include "transport/Requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace vh {
namespace {

std::unique_ptr<TPacket> Sized(int32_t size, uint8_t fill = 0) {
  auto p = std::make_unique<TPacket>();
  p->SetSize(size);
  if (size > 0) std::memset(p->Memory(), fill, static_cast<size_t>(size));
  return p;
}

// A command header followed by `payload`.
std::unique_ptr<TPacket> Command(uint16_t number, const std::string& payload) {
  auto p = NewCommandPacket(number, 1, 2, 3);
  p->Write(payload.data(), static_cast<int32_t>(payload.size()));
  return p;
}

std::string Le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
std::string Le16(uint16_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8)};
}
// A fixed 30-byte field; `length` may claim more than the room.
std::string Ss29(const std::string& text, uint8_t length) {
  std::string field(30, '\0');
  field[0] = static_cast<char>(length);
  field.replace(1, std::min<size_t>(text.size(), 29), text.substr(0, 29));
  return field;
}
std::string Ss29(const std::string& text) {
  return Ss29(text, static_cast<uint8_t>(text.size()));
}

struct TReaderCase {
  const char* name;
  int32_t fixed;  // the shortest datagram the reader accepts
  bool exact;     // only that size is accepted
  std::function<bool(const TPacket&)> accepts;
};

template <typename F>
std::function<bool(const TPacket&)> Accepts(F parse) {
  return [parse](const TPacket& p) { return parse(p).has_value(); };
}

const std::vector<TReaderCase>& AllReaders() {
  static const std::vector<TReaderCase> readers = {
      {"login", 180, true, Accepts(ParseLogin)},
      {"join", 120, true, Accepts(ParseJoin)},
      {"header (300, 405, 410)", 24, false, Accepts(ParseCommandHeader)},
      {"201", 40, false, Accepts(ParseChannelCreate)},
      {"203", 58, false, Accepts(ParseChannelPassword)},
      {"205", 32, false, Accepts(ParseChannelProperties)},
      {"206", 28, false, Accepts(ParseChannelName)},
      {"207", 28, false, Accepts(ParseChannelTopic)},
      {"208", 28, false, Accepts(ParseChannelDescription)},
      {"209", 28, false, Accepts(ParseChannelDestroy)},
      {"210, 212", 30, false, Accepts(ParseChannelWord)},
      {"301, 302", 58, false, Accepts(ParseKick)},
      {"303", 58, false, Accepts(ParseSwitch)},
      {"304", 26, false, Accepts(ParseFlags)},
      {"305", 54, false, Accepts(ParseRequestVoice)},
      {"306, 307", 30, false, Accepts(ParsePrivilege)},
      {"308", 84, false, Accepts(ParseRegister)},
      {"310", 85, false, Accepts(ParseAdminRegister)},
      {"320", 29, false, Accepts(ParseMute)},
      {"324", 26, false, Accepts(ParseBanIp)},
      {"325", 60, false, Accepts(ParseBanPlayer)},
      {"326", 24, false, Accepts(ParseUnbanIp)},
      {"330", 32, false, Accepts(ParseMove)},
      {"340", 28, false, Accepts(ParseBandwidth)},
      {"400", 28, false, Accepts(ParsePlayerInfo)},
      {"430", 33, false, Accepts(ParseText)},
      {"voice", 16, false, Accepts(ParseVoice)},
      {"whisper (no targets)", 17, false, Accepts(ParseWhisper)},
  };
  return readers;
}

TEST(RequestReaders, EveryReaderChecksItsFixedPart) {
  for (const TReaderCase& r : AllReaders()) {
    SCOPED_TRACE(r.name);
    EXPECT_FALSE(r.accepts(TPacket())) << "a packet without any bytes";
    EXPECT_FALSE(r.accepts(*Sized(r.fixed - 1, 0xFF))) << "one byte short";
    EXPECT_TRUE(r.accepts(*Sized(r.fixed, 0))) << "exactly the fixed part";
    // Bytes past the fixed part are texts or padding; only the login's two exchanges must
    // have their exact size.
    EXPECT_EQ(r.accepts(*Sized(r.fixed + 1, 0)), !r.exact) << "one byte over";
    EXPECT_EQ(r.accepts(*Sized(8192, 0xFF)), !r.exact) << "a full receive buffer";
  }
}

TEST(RequestReaders, RandomDatagramsNeverThrow) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 3000; ++round) {
    const int32_t size = static_cast<int32_t>(random() % 300);
    auto p = Sized(size);
    for (int32_t i = 0; i < size; ++i) p->Memory()[i] = static_cast<uint8_t>(random());
    for (const TReaderCase& r : AllReaders()) ASSERT_NO_THROW(r.accepts(*p)) << r.name;
  }
}

TEST(RequestReaders, ChannelCreateTextsAreWholeAndMayLackTheirZero) {
  const std::string fixed = Le32(0) + Le16(8) + Le16(5) + Le32(0xFFFFFFFF) + Le16(3) + Le16(40);
  auto p = Command(201, fixed + std::string(300, 'n') + '\0' + "topic" + '\0' + "desc");
  const auto r = ParseChannelCreate(*p);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Flags, 8);
  EXPECT_EQ(r->Codec, 5);
  EXPECT_EQ(r->ParentId, -1);
  EXPECT_EQ(r->Order, 3);
  EXPECT_EQ(r->MaxUsers, 40);
  EXPECT_EQ(r->Name, std::string(300, 'n')) << "only the datagram bounds a channel text";
  EXPECT_EQ(r->Topic, "topic");
  EXPECT_EQ(r->Description, "desc") << "the last text ends with the datagram";
  EXPECT_EQ(r->Password, "") << "a text past the end is empty";

  auto password = Command(201, fixed + '\0' + '\0' + '\0' + std::string(40, 'p'));
  EXPECT_EQ(ParseChannelCreate(*password)->Password, std::string(kRequestNameRoom, 'p'));
}

TEST(RequestReaders, ShortStringLengthBeyondItsRoomCountsAsTheRoom) {
  auto p = Command(303, Le32(7) + Ss29(std::string(29, 'x'), 200));
  const auto r = ParseSwitch(*p);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->ChannelId, 7);
  EXPECT_EQ(r->Password, std::string(29, 'x'));

  // The last field of 325 ends exactly at the end of the datagram.
  auto ban = Command(325, Le32(9) + Le16(15) + Ss29("spam"));
  const auto b = ParseBanPlayer(*ban);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->TargetId, 9u);
  EXPECT_EQ(b->Minutes, 15);
  EXPECT_EQ(b->Reason, "spam");
}

TEST(RequestReaders, ChatAndBanTextsRunToTheEnd) {
  auto text = Command(430, Le32(0xDEADBEEF) + std::string(1, '\1') + Le32(12) + "hi there");
  const auto t = ParseText(*text);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->Value, static_cast<int32_t>(0xDEADBEEF));
  EXPECT_EQ(t->Kind, 1);
  EXPECT_EQ(t->Target, 12);
  EXPECT_EQ(t->Message, "hi there");

  auto ban = Command(324, Le16(0) + "10.0.*.*");
  EXPECT_EQ(ParseBanIp(*ban)->Pattern, "10.0.*.*");
  EXPECT_EQ(ParseBanIp(*Command(324, Le16(5)))->Pattern, "");
  EXPECT_EQ(ParseUnbanIp(*Command(326, std::string("1.2.3.4\0tail", 12)))->Pattern, "1.2.3.4");
}

TEST(RequestReaders, LoginAndJoinFieldsAtTheirOffsets) {
  auto login = NewConnectionPacket(kConnLoginRequest, 0, 0, 1);
  login->Write((Ss29("info1") + Ss29("info2")).data(), 60);
  const std::string middle = Le16(2) + Le16(0) + Le16(28) + Le16(41) + '\1' + '\2';
  login->Write(middle.data(), static_cast<int32_t>(middle.size()));
  const std::string names = Ss29("login") + Ss29("secret") + Ss29("nick");
  login->Write(names.data(), static_cast<int32_t>(names.size()));
  ASSERT_EQ(login->Size(), kLoginRequestSize);
  const auto l = ParseLogin(*login);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->ClientInfo2, "info2");
  EXPECT_EQ(l->VersionRelease, 28);
  EXPECT_EQ(l->VersionBuild, 41);
  EXPECT_EQ(l->RenameOption, 1);
  EXPECT_EQ(l->LoginMode, 2);
  EXPECT_EQ(l->Password, "secret");
  EXPECT_EQ(l->NickName, "nick");

  auto join = Command(5, std::string(1, '\0') + '\1' + Ss29("Lobby") + Ss29("Corner") + Ss29("pw") +
                             Le32(0xFFFFFFFE));
  ASSERT_EQ(join->Size(), kJoinRequestSize);
  const auto j = ParseJoin(*join);
  ASSERT_TRUE(j);
  EXPECT_EQ(j->Option, 1);
  EXPECT_EQ(j->ChannelName, "Lobby");
  EXPECT_EQ(j->SubChannelName, "Corner");
  EXPECT_EQ(j->Password, "pw");
  EXPECT_EQ(j->Bandwidth, -2);
}

std::unique_ptr<TPacket> Whisper(uint8_t count, const std::string& targets, int32_t voice) {
  auto p = NewClientVoicePacket(1, 0x44, 5, 6, 0x1234, 0x5678);
  p->WriteU8(count);
  p->Write(targets.data(), static_cast<int32_t>(targets.size()));
  for (int32_t i = 0; i < voice; ++i) p->WriteU8(0xAA);
  return p;
}

TEST(RequestReaders, WhisperListMustFitTheDatagram) {
  const std::string two = std::string(1, '\1') + Le32(8) + std::string(1, '\0') + Le32(3);
  const auto w = ParseWhisper(*Whisper(2, two, 100));
  ASSERT_TRUE(w);
  ASSERT_EQ(w->Targets.size(), 2u);
  EXPECT_EQ(w->Targets[0].Kind, 1);
  EXPECT_EQ(w->Targets[0].Id, 8u);
  EXPECT_EQ(w->Targets[1].Kind, 0);
  EXPECT_EQ(w->Targets[1].Id, 3u);
  EXPECT_EQ(w->Data.size(), 100u);
  EXPECT_EQ(w->Header.Counter, 0x1234);
  EXPECT_EQ(w->Header.DataWord, 0x5678);
  EXPECT_EQ(w->Header.DataByte, 0x44);

  EXPECT_TRUE(ParseWhisper(*Whisper(2, two, 0))) << "a list that ends with the datagram";
  EXPECT_FALSE(ParseWhisper(*Whisper(2, two.substr(0, 9), 0))) << "one byte short";
  EXPECT_FALSE(ParseWhisper(*Whisper(255, two, 100))) << "a count far past the end";
  EXPECT_FALSE(ParseWhisper(*NewClientVoicePacket(1, 0, 5, 6, 0, 0))) << "no count byte";
  const auto none = ParseWhisper(*Whisper(0, "", 10));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->Targets.empty());

  const auto voice = ParseVoice(*NewClientVoicePacket(2, 0, 5, 6, 9, 0));
  ASSERT_TRUE(voice);
  EXPECT_EQ(voice->Header.Selector, 2);
  EXPECT_TRUE(voice->Data.empty());
}

}  // namespace
}  // namespace vh
