// The device's answer to the invitation and its authentication reply, as
// datagrams of any content, through the handling of the update run.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "platform/format.h"
#include "update/update_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  const std::string text = DatagramText(reinterpret_cast<const char*>(data), size);
  KESTO_FUZZ_CHECK(text.size() <= size && text.find('\0') == std::string::npos);

  KESTO_FUZZ_CHECK(AuthenticationAccepted(text) == text.starts_with("OK"));
  switch (ClassifyAnswer(text)) {
    case InvitationAnswer::kAccepted:
      KESTO_FUZZ_CHECK(text.starts_with("OK"));
      break;
    case InvitationAnswer::kChallenge: {
      const std::string nonce = AnswerNonce(text);
      KESTO_FUZZ_CHECK(nonce.size() == (text.size() > 5 ? text.size() - 5 : 0));
      AuthenticationInput input;
      input.firmwarePath = "/home/operator/KS_N_%s%n.bin";
      input.fileSize = 4096;
      input.fileDigest = "0123456789abcdef0123456789abcdef";
      input.deviceAddress = "192.168.1.20";
      input.password = "PELICANUS";
      input.nonce = nonce;
      const auto message = AuthenticationMessage(input);
      KESTO_FUZZ_CHECK(message && message->size() == 70);
      KESTO_FUZZ_CHECK(message->starts_with("200 ") && message->back() == '\n');
      break;
    }
    case InvitationAnswer::kUnrecognised: {
      // The text goes into the log as an argument, whatever it holds.
      const std::string line = Format("Bad Answer: %s\r\n", text.c_str());
      KESTO_FUZZ_CHECK(line.size() == text.size() + 14);
      break;
    }
  }
  return 0;
}
