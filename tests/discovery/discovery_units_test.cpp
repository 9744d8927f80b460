// A search's pure parts: reply readers, list entries, the device table.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/device_query.h"
#include "discovery/device_table.h"
#include "discovery/discovery.h"
#include "platform/format.h"
#include "platform/socket.h"

namespace kesto {
namespace {

using namespace std::string_literals;

TEST(Readers, NumbersFollowStrtoulAndAtoi) {
  // clang-format off
  const std::pair<std::string, int32_t> unsignedCases[] = {
      {" \t\n\v\f\r125", 125}, {"+7", 7}, {"-62", -62} /* negated modulo 2^32 */, {"12abc", 12},
      {"- 5", 0}, {":125", 0}, {"\0"s + "1", 0}, {"4294967295", -1},
      {"4294967296", -1} /* too large: 4294967295 */, {"2147483648", INT32_MIN},
      {"-4294967295", 1}, {"-4294967296", -1}};
  // clang-format on
  for (const auto& [text, value] : unsignedCases)
    EXPECT_EQ(ReadUnsignedNumber(text), value) << text;
  const std::pair<std::string, int32_t> intCases[] = {
      {"\r\n 15\r\n", 15},        {"  -3", -3}, {"x15", 0}, {"", 0}, {"2147483648", INT32_MAX},
      {"-99999999999", INT32_MIN}};  // saturates, never wraps
  for (const auto& [text, value] : intCases) EXPECT_EQ(ReadIntNumber(text), value) << text;
}

TEST(Readers, VerReplyIsTwoCrEndedLinesCutAt31) {
  const std::string x100(100, 'x'), x31(31, 'x');
  const std::pair<std::string, std::string> splits[] = {
      // reply, "line1|line2"
      {"SKETCH VER : 125\r\nTEXT VER : 3\r\n", "SKETCH VER : 125|TEXT VER : 3"},
      {"SKETCH VER : 125\r\nTEXT VER : 3\n", "none"},
      {"SKETCH VER : 125\0\r\nTEXT VER : 3\r\n"s, "none"},  // a NUL ends the text
      {"A\rXTEXT\r\n", "A|TEXT"},                           // line 2 starts two behind the CR
      {"A\r\rB\n", "A|"},
      {x100 + "\r\nT\r\n", x31 + "|T"},
      {"S\r\n" + x100 + "\r\n", "S|" + x31}};
  for (const auto& [reply, expected] : splits) {
    const auto lines = SplitVerReply(reply);
    EXPECT_EQ(lines ? lines->line1 + "|" + lines->line2 : "none", expected) << reply;
  }
  struct Apply {
    std::string line1, line2;
    int32_t sketch, text;
  };
  for (const Apply& a : {
           Apply{"SKETCH VER : 125", "TEXT VER : 3", 125, 3},
           Apply{"SKETCH VER 125", "TEXT VER 9", 125, 9},      // read at the key's length
           Apply{"SKETCH VER:125", "TEXT VER:9", 0, 0},        // the colon stops it
           Apply{"12345678901234 SKETCH VER : 1", "", 4, 77},  // key elsewhere: from character 13
           Apply{"TEXT VER : 5", "SKETCH VER : 130", 77, 77},  // each key in its own line only
       }) {
    DeviceRecord record;
    record.sketchVersion = record.textVersion = 77;
    DeviceInfo info;
    ApplyVerLines({a.line1, a.line2}, info);
    ApplyDeviceInfo(info, record);
    EXPECT_EQ(record.sketchVersion, a.sketch) << a.line1;
    EXPECT_EQ(record.textVersion, a.text) << a.line2;
  }
}

TEST(Readers, DumpAndRssi) {
  const std::pair<std::string, std::pair<int32_t, int32_t>> dumps[] = {
      {"NAME : x\r\nMODEL: -2\r\nID: 1\r\n", {-2, 1}},
      {"MODEL:   5\r\nID:7\r\n", {5, 0}},     // two characters behind the word
      {"ID: 15\r\n", {0, 0}},                 // a missing word gives zero for both
      {"MODEL: 3\r\nID: 15", {0, 0}},         // a CR must follow each position
      {"ID: 15\nMODEL: 3\r\n", {3, 15}},      // any CR later counts
      {"SPID: 42\r\nMODEL: 2\r\n", {2, 42}},  // the first occurrence, even inside a word
      {"MODEL: 3\r\n\0ID: 15\r\n"s, {0, 0}},
  };
  for (const auto& [dump, expected] : dumps) {
    const DumpValues values = ParseDump(dump);
    EXPECT_EQ(std::make_pair(values.modelId, values.idValue), expected) << dump;
  }
  struct Rssi {
    std::string reply;
    bool ok;
    int32_t value;
  };
  for (const Rssi& r : {Rssi{"RSSI : -62\r\n", true, -62}, Rssi{"RSSI -62\r\n", true, 5},
                        Rssi{"LEVEL\r\nRSSI : -5\r\n", true, 5},  // the first line only
                        Rssi{"xxRSSI : -62\r\n", true, 0},        // from character 7
                        Rssi{"RSSI : -62\n", false, 5}, Rssi{"RSSI : -62\0\r\n"s, false, 5}}) {
    int32_t value = 5;
    EXPECT_EQ(ApplyRssiReply(r.reply, value), r.ok) << r.reply;
    EXPECT_EQ(value, r.value) << r.reply;
  }
  for (const char* address : {"10.0.0.1", "127.0.0.2", "223.255.255.254", "1.0.0.0"})
    EXPECT_TRUE(IsDeviceAddress(*ParseIpv4(address))) << address;
  for (const char* address : {"0.0.0.0", "0.1.2.3", "224.0.0.1", "240.0.0.1", "255.255.255.255"})
    EXPECT_FALSE(IsDeviceAddress(*ParseIpv4(address))) << address;
}

TEST(Readers, DiscoveryReplyFieldsAndMissingBytesAsZero) {
  std::vector<uint8_t> reply(30);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(0xA0 + i);
  reply[9] = 'W';
  sockaddr_in sender = MakeSocketAddress(*ParseIpv4("192.0.2.33"), 40001);
  DeviceRecord record;
  record.sketchVersion = 130;  // not a reply field: stays
  ApplyDiscoveryReply(reply.data(), reply.size(), sender, record);
  EXPECT_EQ(record.addressText, "192.0.2.33");
  EXPECT_EQ(record.replyAddress.sin_port, htons(40001));
  EXPECT_EQ(record.hardwareAddress, (std::array<uint8_t, 6>{0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD}));
  EXPECT_EQ(std::tuple(record.replyByte5High, record.replyByte6High, record.replyByte8,
                       record.kindLetter),
            std::tuple(0x0A, 0x0A, 0xA8, 'W'));
  ApplyDiscoveryReply(reply.data(), 10, sender, record);  // missing bytes read as zero
  EXPECT_EQ(std::tuple(record.hardwareAddress[0], record.kindLetter), std::tuple(0, 'W'));
  ApplyDiscoveryReply(nullptr, 0, sender, record);
  EXPECT_EQ(std::tuple(record.kindLetter, record.sketchVersion), std::tuple('\0', 130));
}

DeviceRecord Record(int32_t kind, int32_t modelId, int32_t sketchVersion) {
  DeviceRecord record;
  record.addressText = "192.0.2.10";
  record.hardwareAddress = {0xab, 0xcd, 0xef, 0x0a, 0x1b, 0x01};
  record.kind = kind;
  record.modelId = modelId;
  record.sketchVersion = sketchVersion;
  return record;
}

TEST(DeviceList, NamesVersionsAndEntries) {
  // clang-format off
  const std::pair<std::pair<int32_t, int32_t>, const char*> names[] = {
      {{kKindWiFi, 9}, "WiFi"}, {{kKindPq, -1}, "PQ"}, {{kKindBoard, 0}, "KS-B20"},
      {{kKindBoard, 6}, "KS-B26"}, {{kKindBoard, 7}, "(model id:7)"},
      {{kKindBoard, -1}, "(model id:-1)"}, {{kKindWireless, 17}, "KS-W17"},
      {{kKindWireless, 18}, "KS-W18"}, {{kKindWireless, 16}, ""}, {{kKindWireless, 23}, ""},
      {{kKindWireless, 15}, "(model id:15)"}, {{kKindWireless, 24}, "(model id:24)"},
      {{kKindUnknown, 4}, "(model id:4)"}, {{4, 0}, "(model id:0)"}};
  // clang-format on
  for (const auto& [kindAndId, name] : names)
    EXPECT_EQ(ModelName(kindAndId.first, kindAndId.second), name) << kindAndId.first;
  EXPECT_EQ(DisplayVersion(90), 1.0f);  // 90 * 0.01f lands just below 0.9
  EXPECT_EQ(DisplayVersion(-125), 1.0f);
  EXPECT_EQ(Format("%.2f %.2f", DisplayVersion(91), DisplayVersion(125)), "0.91 1.25");
  // clang-format off
  for (const auto& [model, version, wants] : {std::tuple{0, 122, false}, {0, 123, true},
       {0, INT32_MAX, true}, {1, 200, false}, {-1, 200, false}, {0, 0, false}})
    // clang-format on
    EXPECT_EQ(WantsRssi(Record(kKindUnknown, model, version)), wants) << model << " " << version;
  EXPECT_EQ(DeviceListEntry(Record(kKindWiFi, 0, 125), -58),
            "192.0.2.10 / AB-CD-EF-0A-1B-01 / WiFi / ver. 1.25 (-58 dBm)");
  EXPECT_EQ(DeviceListEntry(Record(kKindBoard, 3, 91), 0),
            "192.0.2.10 / AB-CD-EF-0A-1B-01 / KS-B23 / ver. 0.91");
  EXPECT_EQ(DeviceListEntry(Record(kKindWireless, 20, 90), 7),
            "192.0.2.10 / AB-CD-EF-0A-1B-01 /  / ver. 1.00 (7 dBm)");
  const std::pair<char, int32_t> kinds[] = {{'B', 7},  {'L', 3},  {'T', 6},  {'W', 5},
                                            {'b', -1}, {'X', -1}, {'\0', -1}};
  for (const auto& [letter, kind] : kinds) EXPECT_EQ(KindFromLetter(letter), kind) << letter;
}

TEST(DeviceTable, ListAndRemoval) {
  DeviceTable table;
  for (int i = 0; i < kDeviceTableSize; ++i)
    table.records[static_cast<size_t>(i)] = Record(kKindBoard, 1, i);  // never asks for RSSI
  const QueryOptions noNetwork;
  const auto three = BuildDeviceList(table, 3, noNetwork);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ(three[2], "192.0.2.10 / AB-CD-EF-0A-1B-01 / KS-B21 / ver. 1.00");
  EXPECT_TRUE(BuildDeviceList(table, -1, noNetwork).empty());
  EXPECT_EQ(BuildDeviceList(table, 1000, noNetwork).size(), size_t{kDeviceTableSize});
  const auto versions = [](const DeviceTable& t) {
    std::vector<int32_t> v;
    for (const DeviceRecord& record : t.records) v.push_back(record.sketchVersion);
    return v;
  };
  const std::vector<int32_t> before = versions(table);
  table.count = 9;
  for (const int index : {-1, 256, INT_MAX, 255}) {  // nothing to move
    RemoveDeviceRecord(table, index);
    EXPECT_EQ(versions(table), before) << index;
  }
  RemoveDeviceRecord(table, 3);
  const std::vector<int32_t> after = versions(table);
  EXPECT_EQ(after[2], 2);
  EXPECT_EQ(after[3], 4);
  EXPECT_EQ(after[254], 255);
  EXPECT_EQ(after[255], 255);  // the last slot keeps its content
  EXPECT_EQ(table.count, 9);   // the count is not touched
  RemoveDeviceRecord(table, 0);
  EXPECT_EQ(versions(table)[0], 1);
}

}  // namespace
}  // namespace kesto
