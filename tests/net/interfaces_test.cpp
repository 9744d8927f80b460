// Which local addresses an operator is offered, from synthetic system lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/interfaces.h"
#include "platform/socket.h"

namespace kesto {
namespace {

Ipv4Address Address(const char* text) {
  return *ParseIpv4(text);
}

// A usable address unless a test spoils one property.
SystemAddress Usable(const char* name, uint32_t index, const char* address) {
  SystemAddress entry;
  entry.interfaceName = name;
  entry.ifIndex = index;
  entry.up = true;
  entry.running = true;
  entry.hardwareAddressLength = 6;
  entry.address = Address(address);
  entry.mask = Address("255.255.255.0");
  return entry;
}

std::vector<std::string> Texts(const InterfaceTable& table) {
  std::vector<std::string> texts;
  for (const InterfaceRecord& record : table) texts.push_back(InterfaceEntryText(record));
  return texts;
}

TEST(BuildInterfaceTable, KeepsOnlyUsableAddressesInSystemOrder) {
  std::vector<SystemAddress> system;
  system.push_back(Usable("eth1", 7, "192.168.1.5"));
  SystemAddress down = Usable("eth2", 8, "192.168.2.5");
  down.up = false;
  system.push_back(down);
  SystemAddress notRunning = Usable("eth3", 9, "192.168.3.5");
  notRunning.running = false;
  system.push_back(notRunning);
  SystemAddress loopback = Usable("lo", 1, "127.0.0.2");
  loopback.loopback = true;  // lo reports a six-byte all-zero hardware address
  system.push_back(loopback);
  SystemAddress tunnel = Usable("tun0", 12, "10.8.0.2");
  tunnel.hardwareAddressLength = 0;
  system.push_back(tunnel);
  system.push_back(Usable("odd0", 13, "127.0.0.1"));  // never, whatever carries it
  system.push_back(Usable("eth0", 2, "10.0.0.9"));

  EXPECT_EQ(Texts(BuildInterfaceTable(system)),
            (std::vector<std::string>{"192.168.1.5 (eth1)", "10.0.0.9 (eth0)"}));
}

TEST(BuildInterfaceTable, OneRecordPerAddressOfAnInterface) {
  SystemAddress second = Usable("eth0", 2, "192.168.0.11");
  second.mask = Address("255.255.0.0");
  const InterfaceTable table = BuildInterfaceTable({Usable("eth0", 2, "192.168.0.10"), second});
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].address, Address("192.168.0.10"));
  EXPECT_EQ(table[1].address, Address("192.168.0.11"));
  for (const InterfaceRecord& record : table) {
    EXPECT_EQ(record.ifIndex, 2u);
    EXPECT_EQ(record.friendlyName, "eth0");
    EXPECT_EQ(record.description, "eth0");
  }
  EXPECT_EQ(table[1].mask, Address("255.255.0.0"));
}

TEST(BuildInterfaceTable, SparseInterfaceIndicesAreAllConsidered) {
  const InterfaceTable table = BuildInterfaceTable({Usable("veth9", 4711, "10.1.0.1")});
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].ifIndex, 4711u);
}

TEST(BuildInterfaceTable, NothingUsableGivesAnEmptyTable) {
  SystemAddress loopback = Usable("lo", 1, "127.0.0.1");
  loopback.loopback = true;
  EXPECT_TRUE(BuildInterfaceTable({loopback}).empty());
  EXPECT_TRUE(BuildInterfaceTable({}).empty());
}

TEST(BuildInterfaceTable, RecordsBeyond256AreIgnored) {
  std::vector<SystemAddress> system;
  for (uint32_t i = 0; i < 300; ++i) {
    SystemAddress entry = Usable("eth0", 2, "10.0.0.0");
    entry.address = htonl(0x0A000000u + i + 1);
    system.push_back(entry);
  }
  const InterfaceTable table = BuildInterfaceTable(system);
  ASSERT_EQ(table.size(), kInterfaceTableSize);
  EXPECT_EQ(table.front().address, Address("10.0.0.1"));
  EXPECT_EQ(table.back().address, htonl(0x0A000000u + 256));
}

TEST(InterfaceEntryText, AddressAndFriendlyName) {
  InterfaceRecord record;
  record.address = Address("192.168.0.10");
  record.friendlyName = "Ethernet";
  EXPECT_EQ(InterfaceEntryText(record), "192.168.0.10 (Ethernet)");
  record.friendlyName.clear();
  EXPECT_EQ(InterfaceEntryText(record), "192.168.0.10 ()");
}

TEST(ReadSystemAddresses, LoopbackIsListedButNeverOffered) {
  const std::vector<SystemAddress> system = ReadSystemAddresses();
  bool sawLoopback = false;
  for (const SystemAddress& entry : system) sawLoopback |= entry.address == htonl(INADDR_LOOPBACK);
  EXPECT_TRUE(sawLoopback);
  for (const InterfaceRecord& record : BuildInterfaceTable(system))
    EXPECT_NE(record.address, htonl(INADDR_LOOPBACK));
  EXPECT_TRUE(IsHostAddress(htonl(INADDR_LOOPBACK)));
  EXPECT_FALSE(IsHostAddress(Address("192.0.2.1")));
}

}  // namespace
}  // namespace kesto
