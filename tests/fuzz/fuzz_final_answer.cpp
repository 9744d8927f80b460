// What the device sends after the last chunk (behind the last acknowledgement
// read): byte 0 says whether the device closed and where the text is split,
// the rest is the text.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "update/update_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  if (size == 0) return 0;
  const bool closed = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool hasOk = text.find("OK") != std::string_view::npos;
  const std::string_view words = FinalAnswerWords(text);
  KESTO_FUZZ_CHECK(words.size() <= text.size());
  KESTO_FUZZ_CHECK(text.ends_with(words));

  const FinalVerdict verdict = ExamineFinalAnswer(text, closed);
  KESTO_FUZZ_CHECK(verdict.accepted == (hasOk || (closed && words.empty())));
  if (!verdict.accepted) {
    KESTO_FUZZ_CHECK(text.find(verdict.shown) != std::string_view::npos);
    KESTO_FUZZ_CHECK(verdict.shown.find_first_of("\r\n") == std::string::npos);
    KESTO_FUZZ_CHECK(verdict.shown.size() <= kShownWordsLimit);
  }

  // Reading on never undoes a complete answer: the read loop may stop at the
  // first complete prefix.
  const size_t split = text.empty() ? 0 : (data[0] >> 1) % (text.size() + 1);
  if (FinalAnswerComplete(text.substr(0, split))) KESTO_FUZZ_CHECK(FinalAnswerComplete(text));
  if (hasOk) KESTO_FUZZ_CHECK(FinalAnswerComplete(text));
  return 0;
}
