// The pure parsers of the information service's replies.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "discovery/device_query.h"
#include "discovery/discovery.h"
#include "platform/socket.h"

namespace kesto {
namespace {

using namespace std::string_literals;

TEST(ReadUnsignedNumber, FollowsStrtoulIntoASigned32BitField) {
  EXPECT_EQ(ReadUnsignedNumber("125"), 125);
  EXPECT_EQ(ReadUnsignedNumber(" \t\n\v\f\r125"), 125);
  EXPECT_EQ(ReadUnsignedNumber("+7"), 7);
  EXPECT_EQ(ReadUnsignedNumber("-62"), -62);  // negated modulo 2^32
  EXPECT_EQ(ReadUnsignedNumber("12abc"), 12);
  EXPECT_EQ(ReadUnsignedNumber("1 2"), 1);
}

TEST(ReadUnsignedNumber, NoDigitGivesZero) {
  EXPECT_EQ(ReadUnsignedNumber(""), 0);
  EXPECT_EQ(ReadUnsignedNumber("-"), 0);
  EXPECT_EQ(ReadUnsignedNumber("- 5"), 0);  // digits must follow the sign at once
  EXPECT_EQ(ReadUnsignedNumber(":125"), 0);
  EXPECT_EQ(ReadUnsignedNumber("\0"s + "125"), 0);
}

TEST(ReadUnsignedNumber, ThirtyTwoBitRangeAndOverflow) {
  EXPECT_EQ(ReadUnsignedNumber("4294967295"), -1);
  EXPECT_EQ(ReadUnsignedNumber("4294967296"), -1);  // too large: 4294967295
  EXPECT_EQ(ReadUnsignedNumber("99999999999999999999999999"), -1);
  EXPECT_EQ(ReadUnsignedNumber("2147483648"), INT32_MIN);
  EXPECT_EQ(ReadUnsignedNumber("-4294967295"), 1);
  EXPECT_EQ(ReadUnsignedNumber("-4294967296"), -1);  // overflow wins over the sign
  EXPECT_EQ(ReadUnsignedNumber("0004294967295"), -1);
}

TEST(ReadIntNumber, FollowsAtoi) {
  EXPECT_EQ(ReadIntNumber("17"), 17);
  EXPECT_EQ(ReadIntNumber("  -3\r\n"), -3);
  EXPECT_EQ(ReadIntNumber("\r\n 15\r\n"), 15);  // line ends count as white space
  EXPECT_EQ(ReadIntNumber("x15"), 0);
  EXPECT_EQ(ReadIntNumber(""), 0);
  EXPECT_EQ(ReadIntNumber("2147483647"), INT32_MAX);
  EXPECT_EQ(ReadIntNumber("-2147483648"), INT32_MIN);
  EXPECT_EQ(ReadIntNumber("2147483648"), INT32_MAX);  // saturates, never wraps
  EXPECT_EQ(ReadIntNumber("-99999999999999"), INT32_MIN);
}

TEST(SplitVerReply, TakesTheTwoCrEndedLines) {
  const auto lines = SplitVerReply("SKETCH VER : 125\r\nTEXT VER : 3\r\n");
  ASSERT_TRUE(lines);
  EXPECT_EQ(lines->line1, "SKETCH VER : 125");
  EXPECT_EQ(lines->line2, "TEXT VER : 3");
}

TEST(SplitVerReply, FailsWithoutTwoCrs) {
  EXPECT_FALSE(SplitVerReply("SKETCH VER : 125\nTEXT VER : 3\n"));
  EXPECT_FALSE(SplitVerReply("SKETCH VER : 125\r\nTEXT VER : 3\n"));
  EXPECT_FALSE(SplitVerReply(""));
  // The reply is text: a NUL ends it before the CRs.
  EXPECT_FALSE(SplitVerReply("SKETCH VER : 125\0\r\nTEXT VER : 3\r\n"s));
}

TEST(SplitVerReply, LineTwoStartsTwoBytesBehindTheFirstCr) {
  const auto noLineFeed = SplitVerReply("A\rXTEXT VER : 3\r\n");
  ASSERT_TRUE(noLineFeed);
  EXPECT_EQ(noLineFeed->line2, "TEXT VER : 3");
  const auto adjacentCrs = SplitVerReply("A\r\rB\n");
  ASSERT_TRUE(adjacentCrs);
  EXPECT_EQ(adjacentCrs->line1, "A");
  EXPECT_EQ(adjacentCrs->line2, "");
}

TEST(SplitVerReply, CutsLongLinesAt31WithoutTouchingTheOther) {
  const std::string longLine(100, 'x');
  const auto longFirst = SplitVerReply(longLine + "\r\nTEXT VER : 3\r\n");
  ASSERT_TRUE(longFirst);
  EXPECT_EQ(longFirst->line1, std::string(31, 'x'));
  EXPECT_EQ(longFirst->line2, "TEXT VER : 3");
  const auto longSecond = SplitVerReply("SKETCH VER : 125\r\n" + longLine + "\r\n");
  ASSERT_TRUE(longSecond);
  EXPECT_EQ(longSecond->line1, "SKETCH VER : 125");
  EXPECT_EQ(longSecond->line2, std::string(31, 'x'));
}

DeviceRecord ApplyVer(const std::string& line1, const std::string& line2, int32_t earlier = 77) {
  DeviceRecord record;
  record.sketchVersion = earlier;
  record.textVersion = earlier;
  ApplyVerLines({line1, line2}, record);
  return record;
}

TEST(ApplyVerLines, ReadsTheNumberAtTheKeyLength) {
  EXPECT_EQ(ApplyVer("SKETCH VER : 125", "").sketchVersion, 125);
  EXPECT_EQ(ApplyVer("SKETCH VER 125", "").sketchVersion, 125);  // the blank is skipped
  EXPECT_EQ(ApplyVer("SKETCH VER:125", "").sketchVersion, 0);    // the colon stops it
  EXPECT_EQ(ApplyVer("", "TEXT VER : 3").textVersion, 3);
  EXPECT_EQ(ApplyVer("", "TEXT VER 9").textVersion, 9);
  EXPECT_EQ(ApplyVer("", "TEXT VER:9").textVersion, 0);
  EXPECT_EQ(ApplyVer("SKETCH VER : -5", "").sketchVersion, -5);
}

TEST(ApplyVerLines, KeyElsewhereInTheLineReadsFromTheKeyLength) {
  // Character 13 of this line is the '4' of the leading digits.
  EXPECT_EQ(ApplyVer("12345678901234 SKETCH VER : 125", "").sketchVersion, 4);
  EXPECT_EQ(ApplyVer("", "xx TEXT VER : 3").textVersion,
            0);  // character 11 is a blank, then the colon
}

TEST(ApplyVerLines, MissingKeysKeepTheEarlierValues) {
  const DeviceRecord record = ApplyVer("SOMETHING : 1", "ELSE : 2", 42);
  EXPECT_EQ(record.sketchVersion, 42);
  EXPECT_EQ(record.textVersion, 42);
  // Each key is looked for in its own line only.
  const DeviceRecord swapped = ApplyVer("TEXT VER : 5", "SKETCH VER : 130", 42);
  EXPECT_EQ(swapped.sketchVersion, 42);
  EXPECT_EQ(swapped.textVersion, 42);
}

TEST(ApplyVerLines, KeyBeyondTheCutIsNotSeen) {
  const auto lines = SplitVerReply(std::string(25, ' ') + "SKETCH VER : 125\r\nTEXT VER : 3\r\n");
  ASSERT_TRUE(lines);
  DeviceRecord record;
  record.sketchVersion = 42;
  ApplyVerLines(*lines, record);
  EXPECT_EQ(record.sketchVersion, 42);
  EXPECT_EQ(record.textVersion, 3);
}

void ExpectDump(const std::string& dump, int32_t model, int32_t id) {
  const DumpValues values = ParseDump(dump);
  EXPECT_EQ(values.modelId, model) << dump;
  EXPECT_EQ(values.idValue, id) << dump;
}

TEST(ParseDump, ReadsTwoCharactersBehindTheWords) {
  ExpectDump("MODEL: 3\r\nID: 15\r\n", 3, 15);
  ExpectDump("NAME : x\r\nMODEL: -2\r\nID: 1\r\nMODE : RUN\r\n", -2, 1);
  ExpectDump("MODEL:   5\r\nID:7\r\n", 5, 0);  // ID's position 4 is the CR: atoi skips it
}

TEST(ParseDump, MissingWordGivesZeroForBoth) {
  ExpectDump("ID: 15\r\n", 0, 0);
  ExpectDump("MODEL: 3\r\n", 0, 0);
  ExpectDump("", 0, 0);
}

TEST(ParseDump, NeedsACrBehindEachPosition) {
  ExpectDump("MODEL: 3\nID: 15\n", 0, 0);
  ExpectDump("MODEL: 3\r\nID: 15", 0, 0);
  // A CR anywhere later counts, even one that belongs to another line.
  ExpectDump("ID: 15\nMODEL: 3\r\n", 3, 15);
  ExpectDump("ID: 1\r\nMODEL", 0, 0);  // the word at the very end
}

TEST(ParseDump, FirstOccurrenceCountsEvenInsideAWord) {
  ExpectDump("SPID: 42\r\nMODEL: 2\r\nID: 9\r\n", 2, 42);
  ExpectDump("VALID=1\r\nMODEL: 2\r\nID: 9\r\n", 2, 0);  // no digits stand there
  ExpectDump("SUBMODEL: 6\r\nMODEL: 2\r\nID: 9\r\n", 6, 9);
}

TEST(ParseDump, TextEndsAtTheFirstNul) {
  ExpectDump("MODEL: 3\r\n\0ID: 15\r\n"s, 0, 0);
}

TEST(ApplyRssiReply, ReadsTheSignedValue) {
  int32_t rssi = 5;
  EXPECT_TRUE(ApplyRssiReply("RSSI : -62\r\n", rssi));
  EXPECT_EQ(rssi, -62);
  rssi = 5;
  EXPECT_TRUE(ApplyRssiReply("RSSI : 0\r\n", rssi));
  EXPECT_EQ(rssi, 0);
}

TEST(ApplyRssiReply, LineWithoutTheKeySucceedsAndKeepsTheValue) {
  int32_t rssi = 0;
  EXPECT_TRUE(ApplyRssiReply("RSSI -62\r\n", rssi));
  EXPECT_EQ(rssi, 0);
  EXPECT_TRUE(ApplyRssiReply("LEVEL\r\nRSSI : -5\r\n", rssi));  // only the first line counts
  EXPECT_EQ(rssi, 0);
}

TEST(ApplyRssiReply, KeyElsewhereReadsFromCharacterSeven) {
  int32_t rssi = 9;
  EXPECT_TRUE(ApplyRssiReply("xxRSSI : -62\r\n", rssi));  // character 7 is the colon
  EXPECT_EQ(rssi, 0);
}

TEST(ApplyRssiReply, FailsWithoutCr) {
  int32_t rssi = 0;
  EXPECT_FALSE(ApplyRssiReply("RSSI : -62\n", rssi));
  EXPECT_FALSE(ApplyRssiReply("RSSI : -62\0\r\n"s, rssi));
  EXPECT_EQ(rssi, 0);
}

// A reply's sender is where the queries connect: never this host's
// "any" address, a group or a broadcast address.
TEST(IsDeviceAddress, RefusesSendersNoDeviceCanHave) {
  for (const char* address :
       {"192.168.1.20", "10.0.0.1", "172.16.5.4", "127.0.0.2", "223.255.255.254", "1.0.0.0"})
    EXPECT_TRUE(IsDeviceAddress(*ParseIpv4(address))) << address;
  for (const char* address :
       {"0.0.0.0", "0.1.2.3", "224.0.0.1", "239.255.255.250", "240.0.0.1", "255.255.255.255"})
    EXPECT_FALSE(IsDeviceAddress(*ParseIpv4(address))) << address;
}

}  // namespace
}  // namespace kesto
