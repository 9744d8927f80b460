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

// The challenge a device sets: an MD5 receiver gives 32 digits, a receiver of
// a current ESP32 core 64 and wants PBKDF2-HMAC-SHA256 over them.
enum class ChallengeScheme { kMd5, kSha256 };
// By the nonce's length alone; nullopt for any other length.
std::optional<ChallengeScheme> SchemeOfNonce(std::string_view nonce);

// What a SHA-256 receiver holds of the password: its SHA-256, or its MD5 when
// the firmware set it as an MD5 hash. Nothing outside tells which.
enum class StoredPassword { kSha256, kMd5 };

inline constexpr unsigned kPbkdf2Iterations = 10000;

struct AuthenticationInput {
  std::string_view firmwarePath;
  int32_t fileSize = 0;
  std::string_view fileDigest;  // 32 lowercase hexadecimal digits
  std::string_view deviceAddress;
  std::string_view password;
  std::string_view nonce;
  ChallengeScheme scheme = ChallengeScheme::kMd5;
  StoredPassword stored = StoredPassword::kSha256;  // for kSha256 only
};
// "200 <cnonce> <response>\n"; nullopt when a digest cannot be made.
//   MD5:     cnonce = md5(path size digest address), response = md5(md5(password):nonce:cnonce)
//   SHA-256: cnonce = sha256(the same), K = hex(PBKDF2-HMAC-SHA256(S, nonce:cnonce, 10000)),
//            response = sha256(K:nonce:cnonce), S = sha256(password) or md5(password)
std::optional<std::string> AuthenticationMessage(const AuthenticationInput& input);

// The authentication reply accepts when it begins with "OK".
bool AuthenticationAccepted(std::string_view replyText);

// The final answer: the last acknowledgement read and what came after it.
// Acknowledgement digits may still stand in front of the device's words.
std::string_view FinalAnswerWords(std::string_view text);
// No more needs to be read: the text holds "OK", or a whole line of words.
bool FinalAnswerComplete(std::string_view text);

inline constexpr size_t kShownWordsLimit = 64;

// A device's words as the log and the operator see them: their first line,
// at most kShownWordsLimit characters, so that a talkative device cannot
// flood either.
std::string ShownWords(std::string_view text);

// An acknowledgement is a count in decimal; anything else in it (after the
// digits of counts before) is the device's refusal, e.g. "Wrong Magic Byte".
bool AcknowledgementRefuses(std::string_view text);

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
