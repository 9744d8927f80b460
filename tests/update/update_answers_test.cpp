// The device's words in an update run, examined without a socket.
#include <gtest/gtest.h>

#include <string>

#include "update/md5.h"
#include "update/update_answers.h"

namespace kesto {
namespace {

using namespace std::string_literals;

std::string Md5Hex(const std::string& text) {
  Md5Digest digest{};
  EXPECT_TRUE(StringMd5(text.data(), text.size(), digest));
  return DigestText(digest);
}

TEST(DatagramText, EndsAtTheFirstZeroByteOrTheLength) {
  const std::string bytes = "AUTH 12\0junk"s;
  EXPECT_EQ(DatagramText(bytes.data(), bytes.size()), "AUTH 12");
  EXPECT_EQ(DatagramText(bytes.data(), 4), "AUTH");
  EXPECT_EQ(DatagramText(bytes.data(), 0), "");
}

TEST(ClassifyAnswer, ByTheFirstBytesOnly) {
  EXPECT_EQ(ClassifyAnswer("OK"), InvitationAnswer::kAccepted);
  EXPECT_EQ(ClassifyAnswer("OKAY, whatever follows"), InvitationAnswer::kAccepted);
  EXPECT_EQ(ClassifyAnswer("AUTH 0123"), InvitationAnswer::kChallenge);
  EXPECT_EQ(ClassifyAnswer("AUTH"), InvitationAnswer::kChallenge);
  for (const char* other : {"", "O", "ok", " OK", "AUT", "ERR", "auth 1"})
    EXPECT_EQ(ClassifyAnswer(other), InvitationAnswer::kUnrecognised) << other;
}

TEST(AnswerNonce, EverythingBehindTheSeparatorUnexamined) {
  EXPECT_EQ(AnswerNonce("AUTH 0123456789abcdef0123456789abcdef"),
            "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(AnswerNonce("AUTH:%s%n "), "%s%n ");  // device text stays text
  EXPECT_EQ(AnswerNonce("AUTH "), "");
  EXPECT_EQ(AnswerNonce("AUTH"), "");
}

TEST(AuthenticationMessage, IsTheDigestChainOfPasswordNonceAndCnonce) {
  AuthenticationInput input;
  input.firmwarePath = "/tmp/KS_N_1.bin";
  input.fileSize = 2048;
  input.fileDigest = "00112233445566778899aabbccddeeff";
  input.deviceAddress = "192.168.1.20";
  input.password = "PELICANUS";
  input.nonce = "%s%s%n";
  const auto message = AuthenticationMessage(input);
  ASSERT_TRUE(message);
  const std::string cnonce = Md5Hex(
      "/tmp/KS_N_1.bin2048"
      "00112233445566778899aabbccddeeff"
      "192.168.1.20");
  EXPECT_EQ(*message,
            "200 " + cnonce + " " + Md5Hex(Md5Hex("PELICANUS") + ":%s%s%n:" + cnonce) + "\n");
  EXPECT_EQ(message->size(), 70u);
}

TEST(AuthenticationAccepted, OnlyWhenTheReplyBeginsWithOk) {
  EXPECT_TRUE(AuthenticationAccepted("OK"));
  EXPECT_TRUE(AuthenticationAccepted("OK\r\n"));
  EXPECT_FALSE(AuthenticationAccepted("Authentication Failed"));
  EXPECT_FALSE(AuthenticationAccepted(""));
}

TEST(FinalAnswer, CompleteWithOkOrAWholeLineOfWords) {
  EXPECT_TRUE(FinalAnswerComplete("1024OK"));
  EXPECT_TRUE(FinalAnswerComplete("5364242OK"));
  EXPECT_TRUE(FinalAnswerComplete("952MD5 Check Failed\r\n"));
  EXPECT_FALSE(FinalAnswerComplete("1024"));
  EXPECT_FALSE(FinalAnswerComplete("1024O"));
  EXPECT_FALSE(FinalAnswerComplete("952MD5 Check"));
  EXPECT_FALSE(FinalAnswerComplete(""));
}

TEST(FinalAnswer, OkAnywhereOrASilentCloseAccepts) {
  EXPECT_TRUE(ExamineFinalAnswer("1024OK", false).accepted);
  EXPECT_TRUE(ExamineFinalAnswer("OK", false).accepted);
  EXPECT_TRUE(ExamineFinalAnswer("1024", true).accepted);
  EXPECT_TRUE(ExamineFinalAnswer("", true).accepted);
}

TEST(FinalAnswer, WordsWithoutOkAreShownWithoutTheirLineEnd) {
  FinalVerdict verdict = ExamineFinalAnswer("952MD5 Check Failed\r\n", false);
  EXPECT_FALSE(verdict.accepted);
  EXPECT_EQ(verdict.shown, "MD5 Check Failed");
  verdict = ExamineFinalAnswer("ERROR[7]: bad image", true);
  EXPECT_FALSE(verdict.accepted);
  EXPECT_EQ(verdict.shown, "ERROR[7]: bad image");
  verdict = ExamineFinalAnswer("1024", false);  // no word and no close: digits are all there is
  EXPECT_FALSE(verdict.accepted);
  EXPECT_EQ(verdict.shown, "1024");
  verdict = ExamineFinalAnswer("\r\n\r\n", false);
  EXPECT_FALSE(verdict.accepted);
  EXPECT_EQ(verdict.shown, "");
}

// A device that talks on gets one short line in the log, not a flood.
TEST(FinalAnswer, ShownWordsAreTheirFirstLineCutShort) {
  EXPECT_EQ(ExamineFinalAnswer("1024ERROR\r\nSECOND LINE", true).shown, "ERROR");
  EXPECT_EQ(ExamineFinalAnswer("952Update failed\nanother", false).shown, "Update failed");
  const std::string flood(1000, 'E');
  EXPECT_EQ(ExamineFinalAnswer("3" + flood, false).shown, flood.substr(0, kShownWordsLimit));
}

}  // namespace
}  // namespace kesto
