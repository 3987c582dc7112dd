// The packet stream and the header accessors under arbitrary operation sequences: reads and
// writes past the end, seeks anywhere, size changes, strings of every length. Checks the
// stream's own promises (position within bounds, CRC check leaves the bytes unchanged, a
// packet whose CRC was just set passes the check).
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "transport/Packet.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vh;
  fuzz::TFuzzInput in(data, size);
  TPacket p;
  std::string text;
  for (int steps = 0; !in.Done() && steps < 256; ++steps) {
    const uint8_t op = in.Byte();
    try {
      switch (op % 12) {
        case 0: {
          std::string bytes = in.Bytes(4096);
          Check(p.Write(bytes.data(), static_cast<int32_t>(bytes.size())) ==
                static_cast<int32_t>(bytes.size()));
          break;
        }
        case 1: {
          char buffer[600];
          const int32_t want = in.Word() % sizeof buffer;
          const int32_t got = p.Read(buffer, want);
          Check(got >= 0 && got <= want);
          break;
        }
        case 2:
          p.Seek(static_cast<int16_t>(in.Word()) * 4, in.Byte() % 3);
          break;
        case 3:
          p.SetSize(in.Word() % 9000);
          break;
        case 4:
          p.WriteCString(in.Bytes(300));
          break;
        case 5:
          p.ReadCString(text);
          break;
        case 6:
          p.WriteShortString(in.Bytes(300), in.Byte() % 2 ? 29 : 255);
          break;
        case 7:
          if (p.ReadShortString(in.Byte() % 2 ? 29 : 255, text)) Check(text.size() <= 255);
          break;
        case 8: {
          const std::string before(p.Bytes());
          const bool valid = p.IsValidPacket();
          Check(std::string(p.Bytes()) == before);
          if (valid) {
            (void)p.PacketPlayerId();
            (void)p.PacketConnectionId();
          }
          break;
        }
        case 9:
          if (p.IsCommandPacket() || p.IsConnectionPacket()) {
            p.SetCRC();
            Check(p.CheckCRC());
          }
          break;
        case 10: {
          uint32_t v = 0;
          p.ReadU32(v);
          (void)p.LongAt(static_cast<int32_t>(in.Word() % 9000));
          break;
        }
        default: {
          TPacket copy;
          copy.Assign(p);
          Check(copy.Bytes() == p.Bytes() && copy.Position() == 0);
          p.Clear();
        }
      }
    } catch (const EPacket&) {
      // Fields outside the datagram and packets of no class are refused with EPacket.
    }
    Check(p.Position() >= 0 && p.Size() >= 0 && p.Size() <= p.Capacity());
  }
  return 0;
}
