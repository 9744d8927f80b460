// libFuzzer targets, one per parser of what the network sends us (and the
// simulator's parsers of what we send), built once per target with
// KESTO_FUZZ_<TARGET>; a property violated aborts like a crash does.
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "discovery/device_list.h"
#include "discovery/device_query.h"
#include "discovery/discovery.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "sim/device_protocol.h"
#include "update/update_answers.h"
#include "update/write_rules.h"

#define CHECK(c) \
  ((c) ? void() : (std::fprintf(stderr, "line %d: check failed: %s\n", __LINE__, #c), std::abort()))

using namespace kesto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view text = input.substr(0, input.find('\0'));  // as C text ends
  [[maybe_unused]] const std::string cText(text);
#if defined(KESTO_FUZZ_DISCOVERY_REPLY)
  // The first four bytes are the sender's address, the rest the datagram.
  sockaddr_in sender{};
  if (size < 4) return 0;
  std::memcpy(&sender.sin_addr.s_addr, data, 4);
  IsDeviceAddress(sender.sin_addr.s_addr);
  DeviceRecord record;
  ApplyDiscoveryReply(data + 4, size - 4, sender, record);
  CHECK(ParseIpv4(record.addressText) == sender.sin_addr.s_addr);
  for (size_t i = 0; i < 6; ++i)
    CHECK(record.hardwareAddress[i] == (28 + i < std::min<size_t>(size, 34) ? data[28 + i] : 0));
  CHECK(record.kindLetter == (size > 13 ? static_cast<char>(data[13]) : 0));
#elif defined(KESTO_FUZZ_VER_REPLY)
  const auto lines = SplitVerReply(input);
  const size_t firstCr = text.find('\r');
  CHECK(lines.has_value() ==
        (firstCr != std::string_view::npos && text.find('\r', firstCr + 1) != text.npos));
  if (!lines) return 0;
  CHECK(lines->line1.size() <= 31 && lines->line2.size() <= 31);
  DeviceInfo info;
  ApplyVerLines(*lines, info);
  info.kind = KindFromLetter('L');
  DeviceRecord record;
  ApplyDeviceInfo(info, record);
  DeviceListEntry(record, record.textVersion);
#elif defined(KESTO_FUZZ_DUMP_REPLY)
  const DumpValues values = ParseDump(input);
  if (text.find("MODEL") == text.npos || text.find("ID") == text.npos)
    CHECK(values.modelId == 0 && values.idValue == 0);
  for (const char letter : {'B', 'L', 'T', 'W', 'X'}) {  // the model tables are indexed by them
    DeviceRecord record;
    record.kind = KindFromLetter(letter);
    record.modelId = record.sketchVersion = values.modelId;
    record.idValue = values.idValue;
    DeviceListEntry(record, values.idValue);
    IsRefusedForTmode(record);
  }
#elif defined(KESTO_FUZZ_RSSI_REPLY)
  int32_t rssi = 0x5a5a5a5a;
  const bool ok = ApplyRssiReply(input, rssi);
  const size_t cr = text.find('\r');
  CHECK(ok == (cr != text.npos));
  if (!ok || text.substr(0, cr).find("RSSI : ") == text.npos) CHECK(rssi == 0x5a5a5a5a);
#elif defined(KESTO_FUZZ_NUMBERS)
  // The atoi-like reader against the C library, cut to 32 bits.
  ReadUnsignedNumber(std::string(input));
  CHECK(ReadIntNumber(std::string(input)) ==
        std::clamp<long long>(std::strtoll(cText.c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
#elif defined(KESTO_FUZZ_UPDATE_ANSWERS)
  const std::string answer = DatagramText(input.data(), size);
  CHECK(answer == text);
  CHECK(AuthenticationAccepted(answer) == answer.starts_with("OK"));
  if (ClassifyAnswer(answer) == InvitationAnswer::kChallenge) {
    const std::string nonce = AnswerNonce(answer);
    CHECK(nonce.size() == (answer.size() > 5 ? answer.size() - 5 : 0));
    const auto scheme = SchemeOfNonce(nonce);
    CHECK(scheme.has_value() == (nonce.size() == 32 || nonce.size() == 64));
    if (scheme) {
      const auto message =
          AuthenticationMessage({"/fw/KS_N_%s%n.bin", 4096, "0123456789abcdef0123456789abcdef",
                                 "192.168.1.20", "PELICANUS", nonce, *scheme});
      CHECK(message && message->size() == (*scheme == ChallengeScheme::kMd5 ? 70u : 134u) &&
            message->starts_with("200 "));
    }
  }
#elif defined(KESTO_FUZZ_FINAL_ANSWER)
  // Byte 0: whether the device closed, and where the text is split.
  if (size == 0) return 0;
  const std::string_view answer = input.substr(1);
  const bool closed = (data[0] & 1) != 0;
  const std::string_view words = FinalAnswerWords(answer);
  CHECK(answer.ends_with(words));
  const FinalVerdict verdict = ExamineFinalAnswer(answer, closed);
  CHECK(verdict.accepted == (answer.find("OK") != answer.npos || (closed && words.empty())));
  if (!verdict.accepted)
    CHECK(answer.find(verdict.shown) != answer.npos && verdict.shown.size() <= kShownWordsLimit &&
          verdict.shown.find_first_of("\r\n") == std::string::npos);
  // Reading on never undoes a complete answer: the read loop may stop early.
  const size_t split = (data[0] >> 1) % (answer.size() + 1);
  if (FinalAnswerComplete(answer.substr(0, split))) CHECK(FinalAnswerComplete(answer));
#elif defined(KESTO_FUZZ_SIM_MESSAGES)
  if (const auto invitation = sim::ParseInvitation(input))
    CHECK(invitation->port != 0 && invitation->size != 0 && invitation->md5.size() == 32);
  if (const auto auth = sim::ParseAuthMessage(input))
    CHECK((auth->cnonce.size() == 32 || auth->cnonce.size() == 64) &&
          auth->response.size() == auth->cnonce.size());
  sim::ParseInfoRequest(input.substr(0, input.find('\n')));
#endif
  return 0;
}
