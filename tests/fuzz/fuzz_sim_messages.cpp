// The simulator's parsers of what a writer sends its update receiver: the
// invitation and the authentication message, as datagrams of any content.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/format.h"
#include "sim/device_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);

  if (const auto invitation = sim::ParseInvitation(datagram)) {
    KESTO_FUZZ_CHECK(invitation->port != 0 && invitation->size != 0);
    KESTO_FUZZ_CHECK(invitation->md5.size() == 32);
    // What was taken, written again, is taken the same way.
    const std::string again =
        Format("0 %u %u %s\n", static_cast<unsigned>(invitation->port),
               static_cast<unsigned>(invitation->size), invitation->md5.c_str());
    const auto reparsed = sim::ParseInvitation(again);
    KESTO_FUZZ_CHECK(reparsed && reparsed->port == invitation->port &&
                     reparsed->size == invitation->size && reparsed->md5 == invitation->md5);
  }

  if (const auto auth = sim::ParseAuthMessage(datagram)) {
    KESTO_FUZZ_CHECK(auth->cnonce.size() == 32 && auth->response.size() == 32);
    const auto reparsed =
        sim::ParseAuthMessage(Format("200 %s %s\n", auth->cnonce.c_str(), auth->response.c_str()));
    KESTO_FUZZ_CHECK(reparsed && reparsed->cnonce == auth->cnonce &&
                     reparsed->response == auth->response);
  }

  const std::string_view line = datagram.substr(0, datagram.find('\n'));
  sim::ParseInfoRequest(line);
  return 0;
}
