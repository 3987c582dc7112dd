// Packet stream, class tests and CRC: the wire rules every other layer builds on.
#include "transport/Packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace vh {
namespace {

std::unique_ptr<TPacket> FromBytes(const std::vector<uint8_t>& bytes) {
  auto p = std::make_unique<TPacket>();
  p->Write(bytes.data(), static_cast<int32_t>(bytes.size()));
  p->SetPosition(0);
  return p;
}

TEST(PacketCrc, StandardCheckValueAndLengthCut) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  std::vector<uint8_t> big(65522, 0xAB);
  EXPECT_EQ(Crc32(big.data(), big.size()), 0xFFFFFFFFu);
  EXPECT_NE(Crc32(big.data(), 65521), 0xFFFFFFFFu);
}

TEST(PacketCrc, EveryByteOfCommandAndConnectionPacketsIsCovered) {
  auto command = NewCommandPacket(5, 0x112233, 9, 4);
  command->WriteCString("hello");
  command->SetCRC();
  auto connection = NewConnectionPacket(kConnKeepAlivePing, 0x112233, 9, 12);
  connection->SetCRC();
  for (TPacket* p : {command.get(), connection.get()}) {
    ASSERT_TRUE(p->IsValidPacket());
    std::string original(p->Bytes());
    for (int32_t i = 2; i < p->Size(); ++i) {  // past the class word, which selects the class
      p->SetByteAt(i, static_cast<uint8_t>(p->ByteAt(i) ^ 0x01));
      EXPECT_FALSE(p->IsValidPacket()) << "byte " << i;
      std::string tampered(p->Bytes());
      EXPECT_FALSE(p->CheckCRC());
      EXPECT_EQ(std::string(p->Bytes()), tampered);  // a failed check leaves the bytes
      p->SetByteAt(i, static_cast<uint8_t>(p->ByteAt(i) ^ 0x01));
    }
    EXPECT_TRUE(p->CheckCRC());
    EXPECT_EQ(std::string(p->Bytes()), original);
  }
}

TEST(PacketClass, MinimumLengthsAndClassWords) {
  std::vector<uint8_t> sixteen(16, 0);
  sixteen[0] = 0xF1;
  sixteen[1] = 0xBE;
  EXPECT_TRUE(FromBytes(sixteen)->IsValidPacket());  // acknowledgement, no CRC
  sixteen[0] = 0xF0;
  auto shortCommand = FromBytes(sixteen);
  EXPECT_FALSE(shortCommand->IsValidPacket());  // a command needs 24 bytes
  EXPECT_THROW(shortCommand->PacketPlayerId(), EPacket);
  EXPECT_THROW(shortCommand->SetCRC(), EPacket);
  try {
    shortCommand->CheckCRC();
    ADD_FAILURE();
  } catch (const EPacket& e) {
    EXPECT_STREQ(e.what(), "Invalid Packet");
  }

  struct Case {
    uint16_t word;
    int32_t minimum;
  };
  for (Case c : {Case{kClassCommand, 24}, Case{kClassAck, 16}, Case{kClassClientVoice, 16},
                 Case{kClassServerVoice, 22}, Case{kClassConnection, 20}}) {
    for (int32_t len = 0; len <= c.minimum; ++len) {
      std::vector<uint8_t> bytes(static_cast<size_t>(len), 0);
      if (len >= 2) std::memcpy(bytes.data(), &c.word, 2);
      auto p = FromBytes(bytes);
      EXPECT_EQ(p->IsKnownPacket(), len == c.minimum) << std::hex << c.word << " len " << len;
      if (len == c.minimum) {
        p->SetCRC();
        EXPECT_TRUE(p->IsValidPacket());
        EXPECT_EQ(p->PacketPlayerId(), 0u);
      }
    }
  }
}

TEST(PacketStream, CapacityGrowthAndSizeRules) {
  TPacket p;
  uint8_t bytes[1020] = {};
  p.Write(bytes, 10);
  EXPECT_EQ(p.Size(), 10);
  EXPECT_EQ(p.Capacity(), 64);
  p.Write(bytes, 1020);
  EXPECT_EQ(p.Size(), 1030);
  EXPECT_EQ(p.Capacity(), 1088);

  TPacket q;
  q.Write(bytes, 30);
  q.Seek(20, 0);
  q.SetSize(5);
  EXPECT_EQ(q.Position(), 5);
  EXPECT_EQ(q.Size(), 5);

  // Writing beyond the end leaves a zeroed gap; reading there gives nothing.
  TPacket r;
  r.Seek(8, 0);
  r.WriteU8(0xAA);
  EXPECT_EQ(r.Size(), 9);
  EXPECT_EQ(r.LongAt(0), 0u);
  EXPECT_EQ(r.Seek(-100, 1), 0);  // never before the start
  uint8_t out[4];
  r.Seek(50, 0);
  EXPECT_EQ(r.Read(out, 4), 0);
  r.Clear();
  EXPECT_EQ(r.Size(), 0);
  EXPECT_EQ(r.Capacity(), 0);
}

TEST(PacketStream, ReadersStopAtTheEndAndTextsAreCut) {
  auto p = NewCommandPacket(300, 1, 2);
  p->WriteShortString("a very long nickname that is more than 29 characters", 29);
  p->WriteCString("tail");
  p->WriteU16(0xBEEF);
  p->SetPosition(24);
  std::string text;
  ASSERT_TRUE(p->ReadShortString(29, text));
  EXPECT_EQ(text, "a very long nickname that is ");
  ASSERT_TRUE(p->ReadCString(text));
  EXPECT_EQ(text, "tail");
  uint32_t u32 = 0;
  EXPECT_FALSE(p->ReadU32(u32));  // two bytes left
  uint16_t u16 = 0;
  ASSERT_TRUE(p->ReadU16(u16));
  EXPECT_EQ(u16, 0xBEEF);
  EXPECT_FALSE(p->ReadCString(text));
  // A length byte that lies is held to the field.
  TPacket lie;
  lie.WriteU8(200);
  lie.WriteCString("abc");
  lie.SetPosition(0);
  EXPECT_FALSE(lie.ReadShortString(29, text));
  lie.SetSize(31);
  lie.SetPosition(0);
  ASSERT_TRUE(lie.ReadShortString(29, text));
  EXPECT_EQ(text.size(), 29u);
  EXPECT_THROW(lie.LongAt(28), EPacket);
}

TEST(PacketStream, AssignCopiesBytesAndAddresses) {
  auto p = NewServerVoicePacket(1, 2, 3, 4, 5, 6, 7, 8);
  p->SetAddress("192.0.2.1", 4000, "127.0.0.1");
  TPacket copy;
  copy.Assign(*p);
  EXPECT_EQ(copy.Bytes(), p->Bytes());
  EXPECT_EQ(copy.Position(), 0);
  EXPECT_EQ(copy.PeerAddress(), "192.0.2.1");
  EXPECT_EQ(copy.PeerPort(), 4000);
  EXPECT_EQ(copy.LocalAddress(), "127.0.0.1");
  EXPECT_EQ(copy.SpeakerId(), 7u);
  EXPECT_EQ(copy.WordAt(20), 8);
}

TEST(PacketStream, RandomDatagramsNeverReadOutside) {
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> bytes(rng() % 40);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    if (bytes.size() >= 2) {
      bytes[0] = static_cast<uint8_t>(0xF0 + rng() % 6);
      bytes[1] = 0xBE;
    }
    auto p = FromBytes(bytes);
    bool known = p->IsKnownPacket();
    p->IsValidPacket();
    if (known) {
      EXPECT_NO_THROW(p->PacketConnectionId());
      EXPECT_NO_THROW(p->CheckCRC());
    } else {
      EXPECT_THROW(p->PacketConnectionId(), EPacket);
    }
    EXPECT_EQ(p->Size(), static_cast<int32_t>(bytes.size()));
  }
}

}  // namespace
}  // namespace vh
