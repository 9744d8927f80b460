#include "update/md5.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>

#include "test_files.h"

namespace kesto {
namespace {

using testing::PatternBytes;
using testing::TempDir;

std::string StringDigestText(std::string_view text) {
  Md5Digest digest{};
  EXPECT_TRUE(StringMd5(text.data(), text.size(), digest));
  return DigestText(digest);
}

std::string FileDigestText(const std::string& path, size_t pieceLength) {
  Md5Digest digest{};
  EXPECT_TRUE(FileMd5(path, digest, pieceLength)) << path;
  return DigestText(digest);
}

// The test suite of RFC 1321, appendix A.5.
const std::pair<const char*, const char*> kRfcSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(StringMd5, MatchesTheRfc1321Suite) {
  for (const auto& [text, expected] : kRfcSuite)
    EXPECT_EQ(StringDigestText(text), expected) << text;
}

TEST(FileMd5, MatchesTheRfc1321SuiteForEveryNonEmptyFile) {
  TempDir dir;
  for (const auto& [text, expected] : kRfcSuite) {
    const std::string bytes(text);
    if (bytes.empty()) continue;
    const std::string path = dir.Write("suite.bin", bytes);
    EXPECT_EQ(FileDigestText(path, bytes.size()), expected) << text;
    // Pieces of one byte take the same bytes in the same order.
    EXPECT_EQ(FileDigestText(path, 1), expected) << text;
  }
}

struct PieceCase {
  size_t fileSize;
  size_t pieceLength;
};

void PrintTo(const PieceCase& piece, std::ostream* out) {
  *out << piece.fileSize << " bytes in pieces of " << piece.pieceLength;
}

class FileMd5Pieces : public ::testing::TestWithParam<PieceCase> {};

// Whatever the pieces, the digest is that of the whole file.
TEST_P(FileMd5Pieces, GiveTheDigestOfTheWholeFile) {
  TempDir dir;
  const std::string bytes = PatternBytes(GetParam().fileSize, 7);
  const std::string path = dir.Write("image.bin", bytes);
  EXPECT_EQ(FileDigestText(path, GetParam().pieceLength), StringDigestText(bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FileMd5Pieces,
    ::testing::Values(PieceCase{kMd5ReadBufferSize, kMd5ReadBufferSize},          // one piece
                      PieceCase{kMd5ReadBufferSize + 1, kMd5ReadBufferSize + 1},  // 4 MiB and 1
                      PieceCase{2500, 1000},                                      // 1000, 1000, 500
                      PieceCase{2500, 0},  // no piece length: the whole buffer
                      PieceCase{3 * kMd5ReadBufferSize + 5, 2 * kMd5ReadBufferSize}),
    [](const ::testing::TestParamInfo<PieceCase>& tested) {
      return "File" + std::to_string(tested.param.fileSize) + "Piece" +
             std::to_string(tested.param.pieceLength);
    });

TEST(FileMd5, FailsWithAZeroDigestOnAnEmptyFile) {
  TempDir dir;
  const std::string path = dir.Write("empty.bin", "");
  Md5Digest digest;
  digest.fill(0xff);
  EXPECT_FALSE(FileMd5(path, digest, 0));
  EXPECT_EQ(digest, Md5Digest{});
}

TEST(FileMd5, FailsOnWhatCannotBeRead) {
  TempDir dir;
  Md5Digest digest;
  digest.fill(0xff);
  EXPECT_FALSE(FileMd5((dir.path() / "missing.bin").string(), digest, 1024));
  EXPECT_EQ(digest, Md5Digest{});

  // A folder opens on Linux but cannot be read; that must not pass for a file.
  // (An unreadable file: FileFaults.UnreadableBeforeTheDigest.)
  digest.fill(0xff);
  EXPECT_FALSE(FileMd5(dir.path().string(), digest, 1024));
  EXPECT_EQ(digest, Md5Digest{});
}

TEST(DigestText, IsThirtyTwoLowercaseHexDigitsInDigestOrder) {
  Md5Digest digest{};
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 17 + 0x0a);
  EXPECT_EQ(DigestText(digest), "0a1b2c3d4e5f708192a3b4c5d6e7f809");
  digest.fill(0xff);
  EXPECT_EQ(DigestText(digest), std::string(32, 'f'));
}

}  // namespace
}  // namespace kesto
