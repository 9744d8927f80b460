// Device list entries, the device table and the discovery reply layout.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/device_table.h"
#include "discovery/discovery.h"

namespace kesto {
namespace {

TEST(DisplayVersion, NinetyAndBelowShowAsOne) {
  EXPECT_EQ(DisplayVersion(90), 1.0f);  // 90 * 0.01f lands just below 0.9
  EXPECT_EQ(DisplayVersion(0), 1.0f);
  EXPECT_EQ(DisplayVersion(-125), 1.0f);
  EXPECT_EQ(DisplayVersion(91), 91 * 0.01f);
  EXPECT_EQ(DisplayVersion(125), 125 * 0.01f);
  EXPECT_GT(DisplayVersion(INT32_MAX), 1e7f);
}

DeviceRecord Record(int32_t kind, int32_t modelId, int32_t sketchVersion) {
  DeviceRecord record;
  record.addressText = "192.0.2.10";
  record.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  record.kind = kind;
  record.modelId = modelId;
  record.sketchVersion = sketchVersion;
  return record;
}

TEST(WantsRssi, ModelZeroFromVersion123) {
  EXPECT_FALSE(WantsRssi(Record(kKindWiFi, 0, 122)));
  EXPECT_TRUE(WantsRssi(Record(kKindWiFi, 0, 123)));
  EXPECT_TRUE(WantsRssi(Record(kKindUnknown, 0, 200)));
  EXPECT_TRUE(WantsRssi(Record(kKindWiFi, 0, INT32_MAX)));
  EXPECT_FALSE(WantsRssi(Record(kKindWiFi, 1, 200)));
  EXPECT_FALSE(WantsRssi(Record(kKindWiFi, -1, 200)));
  EXPECT_FALSE(WantsRssi(Record(kKindWiFi, 0, 0)));  // shown as 1.00
}

TEST(ModelName, FixedNamesAndTables) {
  EXPECT_EQ(ModelName(kKindWiFi, 9), "WiFi");
  EXPECT_EQ(ModelName(kKindPq, -1), "PQ");
  const char* boards[] = {"KS-B20", "KS-B21", "KS-B22", "KS-B23", "KS-B24", "KS-B25", "KS-B26"};
  for (int32_t id = 0; id < 7; ++id) EXPECT_EQ(ModelName(kKindBoard, id), boards[id]);
  EXPECT_EQ(ModelName(kKindWireless, 17), "KS-W17");
  EXPECT_EQ(ModelName(kKindWireless, 18), "KS-W18");
  for (int32_t id : {16, 19, 20, 21, 22, 23}) EXPECT_EQ(ModelName(kKindWireless, id), "") << id;
}

TEST(ModelName, OtherKindsAndIdsOutsideATableShowTheId) {
  EXPECT_EQ(ModelName(kKindUnknown, 4), "(model id:4)");
  EXPECT_EQ(ModelName(4, 0), "(model id:0)");
  EXPECT_EQ(ModelName(kKindBoard, 7), "(model id:7)");
  EXPECT_EQ(ModelName(kKindBoard, -1), "(model id:-1)");
  EXPECT_EQ(ModelName(kKindWireless, 0), "(model id:0)");  // a dump without MODEL
  EXPECT_EQ(ModelName(kKindWireless, 15), "(model id:15)");
  EXPECT_EQ(ModelName(kKindWireless, 24), "(model id:24)");
  EXPECT_EQ(ModelName(kKindWireless, INT32_MIN), "(model id:-2147483648)");
}

TEST(DeviceListEntry, Layout) {
  EXPECT_EQ(DeviceListEntry(Record(kKindWiFi, 0, 125), -58),
            "192.0.2.10 / 02-00-00-00-00-01 / WiFi / ver. 1.25 (-58 dBm)");
  EXPECT_EQ(DeviceListEntry(Record(kKindWiFi, 0, 125), 0),
            "192.0.2.10 / 02-00-00-00-00-01 / WiFi / ver. 1.25");
  EXPECT_EQ(DeviceListEntry(Record(kKindBoard, 0, 90), 0),
            "192.0.2.10 / 02-00-00-00-00-01 / KS-B20 / ver. 1.00");
  EXPECT_EQ(DeviceListEntry(Record(kKindBoard, 3, 91), 7),
            "192.0.2.10 / 02-00-00-00-00-01 / KS-B23 / ver. 0.91 (7 dBm)");
}

TEST(DeviceListEntry, UnnamedWirelessModelLeavesTwoBlanks) {
  EXPECT_EQ(DeviceListEntry(Record(kKindWireless, 20, 125), 0),
            "192.0.2.10 / 02-00-00-00-00-01 /  / ver. 1.25");
}

TEST(DeviceListEntry, HardwareAddressInUpperCaseHex) {
  DeviceRecord record = Record(kKindPq, 0, 100);
  record.hardwareAddress = {0xab, 0xcd, 0xef, 0x0a, 0x1b, 0xff};
  EXPECT_EQ(DeviceListEntry(record, 0), "192.0.2.10 / AB-CD-EF-0A-1B-FF / PQ / ver. 1.00");
}

TEST(BuildDeviceList, OneEntryPerCountedSlotInSlotOrder) {
  DeviceTable table;
  for (int i = 0; i < kDeviceTableSize; ++i) {
    table.records[static_cast<size_t>(i)] = Record(kKindBoard, 1, 100 + i);
  }
  const QueryOptions noNetwork;  // model id 1 never asks for RSSI
  const auto three = BuildDeviceList(table, 3, noNetwork);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ(three[2], "192.0.2.10 / 02-00-00-00-00-01 / KS-B21 / ver. 1.02");
  EXPECT_TRUE(BuildDeviceList(table, 0, noNetwork).empty());
  EXPECT_TRUE(BuildDeviceList(table, -1, noNetwork).empty());
  EXPECT_EQ(BuildDeviceList(table, 1000, noNetwork).size(), size_t{kDeviceTableSize});
}

TEST(KindFromLetter, FourKnownLetters) {
  EXPECT_EQ(KindFromLetter('B'), 7);
  EXPECT_EQ(KindFromLetter('L'), 3);
  EXPECT_EQ(KindFromLetter('T'), 6);
  EXPECT_EQ(KindFromLetter('W'), 5);
  for (char other : {'b', 'w', 'X', '\0', '\xff'}) EXPECT_EQ(KindFromLetter(other), -1);
}

DeviceTable NumberedTable() {
  DeviceTable table;
  for (int i = 0; i < kDeviceTableSize; ++i) {
    table.records[static_cast<size_t>(i)].sketchVersion = i;
  }
  table.count = 9;
  return table;
}

std::vector<int32_t> Versions(const DeviceTable& table) {
  std::vector<int32_t> versions;
  for (const DeviceRecord& record : table.records) versions.push_back(record.sketchVersion);
  return versions;
}

TEST(RemoveDeviceRecord, MovesTheRestDownAndKeepsTheLastSlot) {
  DeviceTable table = NumberedTable();
  RemoveDeviceRecord(table, 3);
  const auto versions = Versions(table);
  EXPECT_EQ(versions[2], 2);
  EXPECT_EQ(versions[3], 4);
  EXPECT_EQ(versions[253], 254);
  EXPECT_EQ(versions[254], 255);
  EXPECT_EQ(versions[255], 255);  // slot 255 keeps its content
  EXPECT_EQ(table.count, 9);      // count is not touched
}

TEST(RemoveDeviceRecord, EdgesAndOutOfRange) {
  DeviceTable first = NumberedTable();
  RemoveDeviceRecord(first, 0);
  EXPECT_EQ(Versions(first)[0], 1);
  DeviceTable last = NumberedTable();
  RemoveDeviceRecord(last, 255);
  EXPECT_EQ(Versions(last), Versions(NumberedTable()));
  for (int index : {-1, 256, INT_MAX}) {
    DeviceTable table = NumberedTable();
    RemoveDeviceRecord(table, index);
    EXPECT_EQ(Versions(table), Versions(NumberedTable())) << index;
  }
}

sockaddr_in Sender(const char* address, uint16_t port) {
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  sender.sin_port = htons(port);
  inet_pton(AF_INET, address, &sender.sin_addr);
  return sender;
}

TEST(ApplyDiscoveryReply, ReadsTheFieldsOfAFullReply) {
  std::vector<uint8_t> reply(30);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(0xA0 + i);
  reply[5] = 0xAB;
  reply[6] = 0x5F;
  reply[8] = 0x7E;
  reply[9] = 'W';
  DeviceRecord record;
  const sockaddr_in sender = Sender("192.0.2.33", 40001);
  ApplyDiscoveryReply(reply.data(), reply.size(), sender, record);
  EXPECT_EQ(record.addressText, "192.0.2.33");
  EXPECT_EQ(record.replyAddress.sin_port, htons(40001));
  EXPECT_EQ(record.replyAddress.sin_addr.s_addr, sender.sin_addr.s_addr);
  EXPECT_EQ(record.hardwareAddress, (std::array<uint8_t, 6>{0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD}));
  EXPECT_EQ(record.replyByte5High, 0x0A);
  EXPECT_EQ(record.replyByte6High, 0x05);
  EXPECT_EQ(record.replyByte8, 0x7E);
  EXPECT_EQ(record.kindLetter, 'W');
}

TEST(ApplyDiscoveryReply, MissingBytesReadAsZeroOverAnEarlierOccupant) {
  DeviceRecord record;
  record.hardwareAddress = {1, 2, 3, 4, 5, 6};
  record.kindLetter = 'B';
  record.replyByte8 = 9;
  record.sketchVersion = 130;  // not a reply field: stays
  std::vector<uint8_t> reply(10, 0xFF);
  reply[9] = 'L';
  ApplyDiscoveryReply(reply.data(), reply.size(), Sender("127.0.0.2", 1), record);
  EXPECT_EQ(record.kindLetter, 'L');
  EXPECT_EQ(record.replyByte8, 0xFF);
  EXPECT_EQ(record.hardwareAddress, (std::array<uint8_t, 6>{}));
  EXPECT_EQ(record.sketchVersion, 130);

  ApplyDiscoveryReply(nullptr, 0, Sender("127.0.0.3", 1), record);
  EXPECT_EQ(record.kindLetter, '\0');
  EXPECT_EQ(record.replyByte5High, 0);
  EXPECT_EQ(record.addressText, "127.0.0.3");
}

}  // namespace
}  // namespace kesto
