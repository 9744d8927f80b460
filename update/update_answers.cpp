#include "update/update_answers.h"

#include <cstring>

#include "platform/format.h"
#include "platform/sha256.h"
#include "update/md5.h"

namespace kesto {
namespace {

constexpr size_t kNonceStart = 5;  // behind "AUTH" and its separator

std::optional<std::string> Md5Text(const std::string& text) {
  const Result<Md5Digest> digest = StringMd5(text.data(), text.size());
  if (!digest) return std::nullopt;
  return DigestText(*digest);
}

std::string HexText(const uint8_t* bytes, size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0f]);
  }
  return text;
}

std::optional<std::string> Sha256Text(const std::string& text) {
  const Result<Sha256Digest> digest = Sha256(text.data(), text.size());
  if (!digest) return std::nullopt;
  return HexText(digest->data(), digest->size());
}

}  // namespace

std::string ShownWords(std::string_view text) {
  const size_t start = text.find_first_not_of("\r\n");
  if (start == std::string_view::npos) return {};
  const std::string_view line = text.substr(start, text.find_first_of("\r\n", start) - start);
  return std::string(line.substr(0, kShownWordsLimit));
}

bool AcknowledgementRefuses(std::string_view text) {
  return !FinalAnswerWords(text).empty();
}

std::string DatagramText(const char* bytes, size_t length) {
  return bytes ? std::string(bytes, strnlen(bytes, length)) : std::string();
}

InvitationAnswer ClassifyAnswer(std::string_view text) {
  if (text.starts_with("OK")) return InvitationAnswer::kAccepted;
  if (text.starts_with("AUTH")) return InvitationAnswer::kChallenge;
  return InvitationAnswer::kUnrecognised;
}

std::string AnswerNonce(std::string_view text) {
  return text.size() > kNonceStart ? std::string(text.substr(kNonceStart)) : std::string();
}

std::optional<ChallengeScheme> SchemeOfNonce(std::string_view nonce) {
  if (nonce.size() == 32) return ChallengeScheme::kMd5;
  if (nonce.size() == 64) return ChallengeScheme::kSha256;
  return std::nullopt;
}

std::optional<std::string> AuthenticationMessage(const AuthenticationInput& input) {
  // The texts go in as arguments: a device's nonce never reaches a format.
  const std::string firmwarePath(input.firmwarePath);
  const std::string fileDigest(input.fileDigest);
  const std::string deviceAddress(input.deviceAddress);
  const std::string nonce(input.nonce);
  const std::string password(input.password);
  const std::string identity =
      Format("%s%u%s%s", firmwarePath.c_str(), static_cast<unsigned>(input.fileSize),
             fileDigest.c_str(), deviceAddress.c_str());
  std::optional<std::string> cnonce, response;
  if (input.scheme == ChallengeScheme::kMd5) {
    cnonce = Md5Text(identity);
    const auto passwordDigest = Md5Text(password);
    if (!cnonce || !passwordDigest) return std::nullopt;
    response = Md5Text(Format("%s:%s:%s", passwordDigest->c_str(), nonce.c_str(), cnonce->c_str()));
  } else {
    cnonce = Sha256Text(identity);
    const auto secret =
        input.stored == StoredPassword::kSha256 ? Sha256Text(password) : Md5Text(password);
    if (!cnonce || !secret) return std::nullopt;
    const std::string salt = nonce + ":" + *cnonce;
    const Result<Sha256Digest> key = Pbkdf2HmacSha256(*secret, salt, kPbkdf2Iterations);
    if (!key) return std::nullopt;
    response = Sha256Text(HexText(key->data(), key->size()) + ":" + salt);
  }
  if (!response) return std::nullopt;
  return Format("%d %s %s\n", 200, cnonce->c_str(), response->c_str());
}

bool AuthenticationAccepted(std::string_view replyText) {
  return replyText.starts_with("OK");
}

std::string_view FinalAnswerWords(std::string_view text) {
  const size_t start = text.find_first_not_of("0123456789");
  return start == std::string_view::npos ? std::string_view{} : text.substr(start);
}

bool FinalAnswerComplete(std::string_view text) {
  return text.find("OK") != std::string_view::npos ||
         FinalAnswerWords(text).find('\n') != std::string_view::npos;
}

FinalVerdict ExamineFinalAnswer(std::string_view text, bool closed) {
  const std::string_view words = FinalAnswerWords(text);
  FinalVerdict verdict;
  verdict.accepted = text.find("OK") != std::string_view::npos || (closed && words.empty());
  if (!verdict.accepted) verdict.shown = ShownWords(words.empty() ? text : words);
  return verdict;
}

}  // namespace kesto
