// The update core's pure parts, the listener probe, a socket wait under a signal.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/format.h"
#include "platform/sha256.h"
#include "platform/stop_signal.h"
#include "support/test_support.h"
#include "update/listener.h"
#include "update/md5.h"
#include "update/preflight.h"
#include "update/update_answers.h"
#include "update/write_rules.h"

namespace kesto {
namespace {

using namespace std::string_literals;
using testing::PatternBytes;
using testing::TempDir;

std::string Md5Hex(std::string_view text) {
  const Result<Md5Digest> digest = StringMd5(text.data(), text.size());
  EXPECT_TRUE(digest);
  return digest ? DigestText(*digest) : "";
}

// The digest, or the name of the failure's category: "file" for the system's reason.
std::string FileMd5Hex(const std::string& path, size_t piece) {
  const Result<Md5Digest> digest = FileMd5(path, piece);
  return digest ? DigestText(*digest) : digest.error().category().name();
}

TEST(Md5, MatchesRfc1321AndGivesTheWholeFilesDigestWhateverThePieces) {
  const std::pair<std::string, const char*> suite[] = {
      // RFC 1321, appendix A.5
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [text, expected] : suite) EXPECT_EQ(Md5Hex(text), expected) << text;
  TempDir dir;
  for (const auto& [size, piece] : std::vector<std::pair<size_t, size_t>>{
           {kMd5ReadBufferSize + 1, kMd5ReadBufferSize + 1}, {2500, 1000}, {2500, 0}, {3, 1}}) {
    const std::string bytes = PatternBytes(size, 7);
    EXPECT_EQ(FileMd5Hex(dir.Write("image.bin", bytes), piece), Md5Hex(bytes)) << size;
  }
  // Nothing to digest has no cause of the system's; a file that cannot be
  // opened or read has.
  EXPECT_EQ(FileMd5Hex(dir.Write("empty.bin", ""), 0), "generic");
  EXPECT_EQ(FileMd5Hex(dir.PathOf("missing.bin"), 1024), "file");
  EXPECT_EQ(FileMd5Hex(dir.PathOf(""), 1024), "file");  // a folder opens but cannot be read
}

TEST(UpdateAnswers, InvitationAnswerAndAuthentication) {
  const std::string bytes = "AUTH 12\0junk"s;
  EXPECT_EQ(DatagramText(bytes.data(), bytes.size()), "AUTH 12");
  EXPECT_EQ(ClassifyAnswer("OKAY"), InvitationAnswer::kAccepted);
  EXPECT_EQ(ClassifyAnswer("AUTH"), InvitationAnswer::kChallenge);
  for (const char* other : {"", "O", "ok", " OK", "AUT", "auth 1"})
    EXPECT_EQ(ClassifyAnswer(other), InvitationAnswer::kUnrecognised) << other;
  EXPECT_EQ(AnswerNonce("AUTH:%s%n "), "%s%n ");  // the separator is not examined
  EXPECT_EQ(AnswerNonce("AUTH"), "");
  // (the authentication message itself: UpdateProtocol.Authenticates...)
  EXPECT_TRUE(AuthenticationAccepted("OK\r\n"));
  EXPECT_FALSE(AuthenticationAccepted("Authentication Failed"));
  for (const char* count : {"1024", "10241024", ""}) EXPECT_FALSE(AcknowledgementRefuses(count));
  for (const char* words : {"Wrong Magic Byte", "1024Wrong Magic Byte", "\r\n"})
    EXPECT_TRUE(AcknowledgementRefuses(words)) << words;
}

// Published vectors (FIPS 180-2; RFC 7914 section 11, the first 32 of its 64
// bytes) and one authentication message per scheme, computed apart from this
// code (Python's hashlib).
TEST(UpdateAnswers, Sha256Pbkdf2AndTheAuthenticationOfEachScheme) {
  const auto hex = [](const Sha256Digest& digest) {
    std::string text;
    for (const uint8_t byte : digest) text += Format("%02x", byte);
    return text;
  };
  EXPECT_EQ(hex(Sha256("abc", 3).value()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(Pbkdf2HmacSha256("passwd", "salt", 1).value()),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
  EXPECT_EQ(hex(Pbkdf2HmacSha256("Password", "NaCl", 80000).value()),
            "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56");
  EXPECT_FALSE(Pbkdf2HmacSha256("p", "s", 0));

  const std::string md5Nonce = "0123456789abcdef0123456789abcdef";
  const std::string shaNonce = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  EXPECT_EQ(SchemeOfNonce(md5Nonce), ChallengeScheme::kMd5);
  EXPECT_EQ(SchemeOfNonce(shaNonce), ChallengeScheme::kSha256);
  for (const size_t length : {0, 31, 33, 63, 65})
    EXPECT_FALSE(SchemeOfNonce(std::string(length, 'a')));
  AuthenticationInput input{"/fw/KS_N_1.bin", 4096, md5Nonce, "127.0.0.2", "PELICANUS", md5Nonce};
  EXPECT_EQ(AuthenticationMessage(input),
            "200 d87d157e0c37697831c5b7b7e30b0370 98c5ec60e7e5147c9b32cf078f97ef91\n");
  input.nonce = shaNonce;
  input.scheme = ChallengeScheme::kSha256;
  const std::string cnonce = "a4f04df2b5565736f148a52bd324f0340652f4f3efe3a6a5f73fb657fd905f78";
  EXPECT_EQ(
      AuthenticationMessage(input),
      "200 " + cnonce + " c6b5ac506f501dc900dc85c8748b8c5ff144ba54f15a04b24d4ed0deec72af73\n");
  input.stored = StoredPassword::kMd5;
  EXPECT_EQ(
      AuthenticationMessage(input),
      "200 " + cnonce + " 8d8b63b3d5d9c9cd853e52e07b23d7f98b3f6b2b23f51bb1dd1fb5238d8bc261\n");
}

TEST(UpdateAnswers, FinalAnswer) {
  struct Case {
    std::string text;
    bool closed, complete, accepted;
    std::string shown;
  };
  const std::string flood(1000, 'E');
  for (const Case& c : {
           Case{"1024OK", false, true, true, ""},
           Case{"1024", true, false, true, ""},  // a silent close: the device restarts
           Case{"1024O", false, false, false, "O"},
           Case{"1024", false, false, false, "1024"},
           Case{"952MD5 Check Failed\r\n", false, true, false, "MD5 Check Failed"},
           Case{"952MD5 Check", false, false, false, "MD5 Check"},
           // the device's words may begin with their line end
           Case{"952\r\nMD5 Check Failed\r\nmore", false, true, false, "MD5 Check Failed"},
           Case{"\n\rERROR", true, true, false, "ERROR"},
           Case{"\r\n\r\n", false, true, false, ""},
           Case{"3" + flood, true, false, false, flood.substr(0, kShownWordsLimit)},
       }) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FinalAnswerComplete(c.text), c.complete);
    const FinalVerdict verdict = ExamineFinalAnswer(c.text, c.closed);
    EXPECT_EQ(verdict.accepted, c.accepted);
    EXPECT_EQ(verdict.shown, c.shown);
  }
}

TEST(WriteRules, PrefixesTmodeAndFileNames) {
  const std::pair<int32_t, const char*> prefixes[] = {
      {kKindWiFi, "KESTOWiFi"}, {kKindWireless, "KS_N"}, {kKindPq, "PQ"},
      {kKindBoard, "KS_N"},     {kKindUnknown, ""},      {4, ""}};
  for (const auto& [kind, prefix] : prefixes) EXPECT_EQ(FilePrefixForKind(kind), prefix) << kind;
  for (const auto& [kind, id, refused] : {std::tuple{kKindWireless, 15, true},
                                          {kKindBoard, 15, true},
                                          {kKindWiFi, 15, false},
                                          {kKindPq, 15, false},
                                          {kKindBoard, 14, false},
                                          {kKindWireless, 16, false}}) {
    DeviceRecord record;
    record.kind = kind;
    record.idValue = id;
    EXPECT_EQ(IsRefusedForTmode(record), refused) << kind << " " << id;
  }
  struct Name {
    const char* name;
    const char* prefix;
    bool hidden, matches;
  };
  for (const Name& n :
       {Name{"KS_N_v125.bin", "KS_N", false, true}, Name{"KS_N", "KS_N", false, true},
        Name{"ks_n.bin", "KS_N", false, false}, Name{"KS_", "KS_N", false, false},
        Name{"xKS_N.bin", "KS_N", false, false}, Name{"/fw/KS_N_v2.bin", "KS_N", false, true},
        Name{"/KS_N/other.bin", "KS_N", false, false}, Name{"anything", "", false, true},
        Name{"ks_n.bin", "KS_N", true, true}})
    EXPECT_EQ(FileNameMatchesPrefix(n.name, n.prefix, n.hidden), n.matches) << n.name;
}

// Every kind of file that cannot be an image is refused with a reason of its
// own, and a good one is measured and digested.
TEST(Preflight, TheImageIsARegularReadableNonEmptyFile) {
  TempDir dir;
  const std::string good = dir.Write("KS_N_1.bin", "abc");
  const PreparedImage image = PrepareImage(good).value();
  EXPECT_EQ(image.path, good);
  EXPECT_EQ(image.bytes, 3);
  EXPECT_EQ(image.md5, "900150983cd24fb0d6963f7d28e17f72");

  // Each bad file, and whether a system call failed and so has a number.
  std::vector<std::pair<std::string, bool>> bad = {{dir.PathOf("missing.bin"), true},
                                                   {dir.PathOf(""), true},
                                                   {dir.Write("empty.bin", ""), false},
                                                   {dir.Write("huge.bin", "x"), false}};
  // sparse: no disk space is taken and nothing is ever read
  std::filesystem::resize_file(bad.back().first, uintmax_t{INT32_MAX} + 1);
#ifndef _WIN32
  bad.emplace_back(dir.PathOf("pipe.bin"), false);
  ASSERT_EQ(mkfifo(bad.back().first.c_str(), 0600), 0);
  bad.emplace_back("/dev/null", false);
#endif
  std::vector<std::string> reasons;
  for (const auto& [path, systemFailed] : bad) {
    errno = EACCES;  // whatever a failure before left behind must not show
    const PreflightResult result = PrepareImage(path).error();
    EXPECT_EQ(result.failed, PreflightCheck::kImage) << path;
    EXPECT_EQ(result.systemError != 0, systemFailed) << path;
    EXPECT_NE(result.systemError, EACCES) << path;
    if (std::find(reasons.begin(), reasons.end(), result.reason) == reasons.end())
      reasons.push_back(result.reason);
  }
  EXPECT_EQ(reasons.size(), bad.size());
}

TEST(Preflight, TheListenerHonoursAFixedPortAndFailsWithTheBindsError) {
  Result<Listener> held = OpenListener("127.0.0.1", 0, {});
  ASSERT_TRUE(held);
  std::string log;
  const Result<Listener> taken =
      OpenListener("127.0.0.1", held->port, [&](std::string_view piece) { log += piece; });
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().value(), errors::kAddressInUse);
  EXPECT_NE(log.find(Format("ERROR: %d\r\n", errors::kAddressInUse)), std::string::npos);
  EXPECT_EQ(ListenerRefused(taken.error()).failed, PreflightCheck::kListener);
  const uint16_t port = held->port;
  held->socket.Close();
  EXPECT_TRUE(OpenListener("127.0.0.1", port, {}));
  for (const char* address : {"192.0.2.1", "not an address", "127.0.0.1.5"})
    EXPECT_EQ(OpenListener(address, 0, {}).error().value(), errors::kAddressNotAvailable)
        << address;
}

#ifndef _WIN32
// A signal that interrupts a wait or a pause (a window's SIGCHLD, a
// terminal's SIGWINCH) must not end it: it goes on to its own end.
TEST(SocketWait, SignalsDoNotEndAWait) {
  struct sigaction action {};
  action.sa_handler = [](int) {};  // no SA_RESTART: poll returns EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
  Socket socket = Socket::Open(SOCK_DGRAM).value();
  ASSERT_TRUE(socket.Bind(MakeSocketAddress(htonl(INADDR_LOOPBACK), 0)));
  // Signals all through the wait, so that some arrive while it runs; the
  // pause only paces them.
  const pthread_t waiter = pthread_self();
  std::atomic<bool> waiting{true};
  std::thread signaller([waiter, &waiting] {
    for (int i = 0; i < 1000 && waiting; ++i) {
      pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  EXPECT_EQ(ErrorNumber(socket.WaitReadable(300, nullptr)), errors::kTimedOut);
  const StopSignal stop;
  EXPECT_TRUE(stop.SleepFor(300));  // a pause is no stop either
  waiting = false;
  signaller.join();
}
#endif

}  // namespace
}  // namespace kesto
