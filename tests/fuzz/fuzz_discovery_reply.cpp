// A discovery reply from any sender: the first four bytes are the sender's
// address, the rest the datagram (any length, also beyond the 30 read).
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "discovery/discovery.h"
#include "fuzz_check.h"
#include "platform/socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  if (size >= sizeof sender.sin_addr.s_addr) {
    std::memcpy(&sender.sin_addr.s_addr, data, sizeof sender.sin_addr.s_addr);
    data += sizeof sender.sin_addr.s_addr;
    size -= sizeof sender.sin_addr.s_addr;
  }
  IsDeviceAddress(sender.sin_addr.s_addr);

  DeviceRecord record;
  ApplyDiscoveryReply(data, size, sender, record);
  KESTO_FUZZ_CHECK(record.addressText == Ipv4Text(sender.sin_addr.s_addr));
  KESTO_FUZZ_CHECK(ParseIpv4(record.addressText) == sender.sin_addr.s_addr);
  KESTO_FUZZ_CHECK(record.replyByte5High < 16 && record.replyByte6High < 16);
  for (size_t i = 0; i < record.hardwareAddress.size(); ++i) {
    const size_t at = 24 + i;
    KESTO_FUZZ_CHECK(record.hardwareAddress[i] == (at < std::min<size_t>(size, 30) ? data[at] : 0));
  }
  KESTO_FUZZ_CHECK(record.kindLetter == (size > 9 ? static_cast<char>(data[9]) : 0));
  return 0;
}
