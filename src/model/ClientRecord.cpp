#include "model/ClientRecord.h"

namespace vh {

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

void EncodePlayerBlock(const TClientRecord& record, uint8_t* out) {
  Put32(out + 0, record.PlayerID);
  Put32(out + 4, static_cast<uint32_t>(record.ChannelID));
  Put16(out + 8, record.ChannelPrivileges);
  Put16(out + 10, record.PlayerPrivileges);
  Put16(out + 12, record.PlayerFlags);
  record.NickName.WriteTo(out + 14);
  static_assert(14 + TName29::kWireSize == kPlayerBlockSize);
}

void DecodePlayerBlock(const uint8_t* in, TClientRecord& record) {
  record.PlayerID = Get32(in + 0);
  record.ChannelID = static_cast<int32_t>(Get32(in + 4));
  record.ChannelPrivileges = Get16(in + 8);
  record.PlayerPrivileges = Get16(in + 10);
  record.PlayerFlags = Get16(in + 12);
  record.NickName = TName29::ReadFrom(in + 14);
}

}  // namespace vh
