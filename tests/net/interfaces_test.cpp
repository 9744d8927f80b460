// The addresses offered, from synthetic lists and from this host's (no root needed).
#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/resource.h>
#endif

#include <string>
#include <tuple>
#include <vector>

#include "net/interfaces.h"
#include "platform/socket.h"

namespace kesto {
namespace {

// A usable address unless a test spoils one property.
SystemAddress Usable(const char* name, Ipv4Address address) {
  SystemAddress entry;
  entry.interfaceName = name;
  entry.up = entry.running = true;
  entry.hardwareAddressLength = 6;
  entry.address = address;
  return entry;
}

TEST(BuildInterfaceTable, KeepsOnlyUsableAddressesInSystemOrderUpTo256) {
  std::vector<SystemAddress> system{Usable("eth1", *ParseIpv4("192.168.1.5"))};
  for (int spoiled = 0; spoiled < 5; ++spoiled) {
    SystemAddress entry = Usable("bad", *ParseIpv4("192.168.2.5"));
    entry.up = spoiled != 0;
    entry.running = spoiled != 1;
    entry.loopback = spoiled == 2;
    entry.hardwareAddressLength = spoiled == 3 ? 0 : 6;
    if (spoiled == 4) entry.address = htonl(INADDR_LOOPBACK);  // never, whatever carries it
    system.push_back(entry);
  }
  for (uint32_t i = 0; i < 300; ++i) system.push_back(Usable("eth0", htonl(0x0A000001 + i)));
  const InterfaceTable table = BuildInterfaceTable(system);
  ASSERT_EQ(table.size(), kInterfaceTableSize);
  EXPECT_EQ(std::tuple(InterfaceEntryText(table[0]), InterfaceEntryText(table[1])),
            std::tuple("192.168.1.5 (eth1)", "10.0.0.1 (eth0)"));
  EXPECT_EQ(table.back().address, htonl(0x0A000001 + 254));
}

#ifdef __linux__  // lo and its flags as Linux reports them
TEST(ReadSystemAddresses, LoopbackIsReadWithItsFlagsAndNeverOffered) {
  const std::vector<SystemAddress> system = ReadSystemAddresses().value();
  const SystemAddress* loopback = nullptr;
  int loEntries = 0;  // IPv4 only: lo's link and IPv6 entries are not addresses here
  for (const SystemAddress& entry : system) {
    if (entry.address == htonl(INADDR_LOOPBACK)) loopback = &entry;
    loEntries += entry.interfaceName == "lo";
  }
  EXPECT_EQ(loEntries, 1);
  ASSERT_NE(loopback, nullptr);
  EXPECT_EQ(std::tuple(loopback->interfaceName, loopback->up, loopback->running, loopback->loopback,
                       loopback->hardwareAddressLength, loopback->mask),
            std::tuple("lo", true, true, true, 6u, *ParseIpv4("255.0.0.0")));
  for (const InterfaceRecord& record : BuildInterfaceTable(system))
    EXPECT_NE(record.address, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(IsHostAddress(htonl(INADDR_LOOPBACK)), true);
  EXPECT_EQ(IsHostAddress(*ParseIpv4("192.0.2.1")), false);
  EXPECT_EQ(InterfaceAddressNamed("lo").value(), htonl(INADDR_LOOPBACK));
}

// Without a descriptor to spare the list cannot be read: the system's reason comes back,
// not an empty list that would read as "no interface".
TEST(ReadSystemAddresses, AnUnreadableListIsTheSystemsError) {
  // Made first: the sanitizers' runtime needs a descriptor of its own for a category's first use.
  const std::error_code fileError = FileError(EMFILE), socketError = SocketError(EMFILE);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  const auto system = ReadSystemAddresses();
  const auto named = InterfaceAddressNamed("lo");
  const auto route = RouteLocalAddress(htonl(INADDR_LOOPBACK));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(system, Failure(fileError));
  EXPECT_EQ(named, Failure(fileError));
  EXPECT_EQ(route, Failure(socketError));
}
#endif

// The address a datagram toward a loopback device would leave from.
TEST(RouteLocalAddress, NamesTheSourceOfTheRoute) {
  EXPECT_EQ(RouteLocalAddress(*ParseIpv4("127.0.0.5")), *ParseIpv4("127.0.0.1"));
}

}  // namespace
}  // namespace kesto
