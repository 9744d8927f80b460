#pragma once

// What the device says during an update run, examined without any socket:
// the answer to the invitation, the authentication, and the final answer
// after the last chunk. Pure functions over the received bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kesto {

// A received datagram as text: its bytes up to the first zero byte.
std::string DatagramText(const char* bytes, size_t length);

enum class InvitationAnswer {
  kAccepted,      // begins with "OK": the image goes without authentication
  kChallenge,     // begins with "AUTH": a nonce follows
  kUnrecognised,  // anything else ends the run as a bad answer
};
InvitationAnswer ClassifyAnswer(std::string_view text);

// The nonce of an "AUTH" answer: the text from byte 5 on. Byte 4, the
// separator, is not examined; an answer of 5 bytes or fewer has an empty nonce.
std::string AnswerNonce(std::string_view text);

struct AuthenticationInput {
  std::string_view firmwarePath;
  int32_t fileSize = 0;
  std::string_view fileDigest;  // 32 lowercase hexadecimal digits
  std::string_view deviceAddress;
  std::string_view password;
  std::string_view nonce;
};
// "200 <cnonce> <response>\n"; nullopt when a digest cannot be made.
std::optional<std::string> AuthenticationMessage(const AuthenticationInput& input);

// The authentication reply accepts when it begins with "OK".
bool AuthenticationAccepted(std::string_view replyText);

// The final answer: the last acknowledgement read and what came after it.
// Acknowledgement digits may still stand in front of the device's words.
std::string_view FinalAnswerWords(std::string_view text);
// No more needs to be read: the text holds "OK", or a whole line of words.
bool FinalAnswerComplete(std::string_view text);

inline constexpr size_t kShownWordsLimit = 64;

struct FinalVerdict {
  bool accepted = false;
  // The words for "Bad Answer: %s": their first line, at most kShownWordsLimit
  // characters, so that a talkative device cannot flood the log.
  std::string shown;
};
// "OK" anywhere accepts; so does a close without a word (a device may restart
// right after the last byte). Anything else is a bad answer.
FinalVerdict ExamineFinalAnswer(std::string_view text, bool closed);

}  // namespace kesto
