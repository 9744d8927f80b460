// The simulator over real sockets on loopback, driven by hand-made requests.

#include "sim/simulator.h"
#include "platform/errors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "support/test_ports.h"
#include "update/md5.h"

namespace kesto::sim {
namespace {

constexpr int kWaitMs = 3000;

Ipv4Address Address(const char* text) {
  return *ParseIpv4(text);
}

Socket BoundSocket(int type, const char* address) {
  int error = 0;
  Socket socket = Socket::Open(type, error);
  EXPECT_EQ(socket.Bind(MakeSocketAddress(Address(address), 0)), 0);
  return socket;
}

DeviceConfig Device(const char* address, char kind, uint8_t macLast) {
  DeviceConfig device;
  device.address = address;
  device.kindLetter = kind;
  device.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x00, macLast};
  return device;
}

struct Datagram {
  std::string from;
  std::vector<uint8_t> bytes;
};

// Every datagram until none comes for quietMs.
std::vector<Datagram> Collect(Socket& socket, int quietMs) {
  std::vector<Datagram> all;
  for (;;) {
    uint8_t buffer[128];
    sockaddr_in from{};
    const IoResult r = socket.ReceiveFrom(buffer, sizeof buffer, &from, quietMs, nullptr);
    if (!r.ok()) return all;
    all.push_back({Ipv4Text(from.sin_addr.s_addr), {buffer, buffer + r.bytes}});
  }
}

// One request to the information service; everything until the device closes.
std::string Ask(const char* address, uint16_t port, std::string_view request) {
  Socket socket = BoundSocket(SOCK_STREAM, "127.0.0.1");
  if (socket.Connect(MakeSocketAddress(Address(address), port), kWaitMs, nullptr) != 0) return "?";
  socket.SendAll(request.data(), request.size(), kWaitMs, nullptr);
  std::string reply;
  for (;;) {
    char buffer[256];
    const IoResult r = socket.Receive(buffer, sizeof buffer, kWaitMs, nullptr);
    if (!r.ok()) return reply + "<" + std::to_string(r.error) + ">";
    if (r.bytes == 0) return reply;
    reply.append(buffer, r.bytes);
  }
}

std::string Md5Hex(std::string_view text) {
  Md5Digest digest{};
  StringMd5(text.data(), text.size(), digest);
  return DigestText(digest);
}

// The writer's side of one update, made by hand.
struct WriteOutcome {
  std::string answer;      // to the invitation
  std::string authReply;   // to the authentication message, if one was sent
  std::string peer;        // address of the accepted connection
  std::string afterImage;  // everything after the last chunk's acknowledgement
};

WriteOutcome WriteImage(const char* device, uint16_t updatePort, const std::vector<uint8_t>& image,
                        const std::string& password, int waitMs = kWaitMs) {
  WriteOutcome outcome;
  Socket listener = BoundSocket(SOCK_STREAM, "127.0.0.1");
  sockaddr_in local{};
  EXPECT_EQ(listener.Listen(1), 0);
  listener.LocalAddress(local);
  Socket udp = BoundSocket(SOCK_DGRAM, "127.0.0.1");
  const std::string md5 = Md5Hex({reinterpret_cast<const char*>(image.data()), image.size()});
  const std::string invitation = "0 " + std::to_string(ntohs(local.sin_port)) + " " +
                                 std::to_string(image.size()) + " " + md5 + "\n";
  const sockaddr_in to = MakeSocketAddress(Address(device), updatePort);
  udp.SendTo(invitation.data(), invitation.size(), to);
  char buffer[1024];
  IoResult r = udp.ReceiveFrom(buffer, 64, nullptr, waitMs, nullptr);
  if (!r.ok()) return outcome;
  outcome.answer.assign(buffer, r.bytes);
  if (outcome.answer.rfind("AUTH ", 0) == 0) {
    const std::string nonce = outcome.answer.substr(5);
    const std::string cnonce = Md5Hex("a client nonce");
    const std::string response = Md5Hex(Md5Hex(password) + ":" + nonce + ":" + cnonce);
    const std::string auth = "200 " + cnonce + " " + response + "\n";
    udp.SendTo(auth.data(), auth.size(), to);
    r = udp.ReceiveFrom(buffer, 64, nullptr, waitMs, nullptr);
    if (!r.ok()) return outcome;
    outcome.authReply.assign(buffer, r.bytes);
    if (outcome.authReply != "OK") return outcome;
  }
  if (listener.WaitReadable(waitMs, nullptr) != 0) return outcome;
  sockaddr_in peer{};
  int error = 0;
  Socket connection = listener.Accept(&peer, error);
  if (!connection.valid()) return outcome;
  outcome.peer = Ipv4Text(peer.sin_addr.s_addr);
  for (size_t sent = 0; sent < image.size();) {
    const size_t chunk = std::min<size_t>(1024, image.size() - sent);
    if (!connection.SendAll(image.data() + sent, chunk, waitMs, nullptr).ok()) return outcome;
    sent += chunk;
    const size_t digits = std::to_string(chunk).size();
    if (!connection.Receive(buffer, digits, waitMs, nullptr).ok()) return outcome;
  }
  for (;;) {
    r = connection.Receive(buffer, sizeof buffer, waitMs, nullptr);
    if (!r.ok() || r.bytes == 0) return outcome;
    outcome.afterImage.append(buffer, r.bytes);
  }
}

std::vector<uint8_t> TestImage(size_t size) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return image;
}

TEST(SimulatorDiscovery, EveryDeviceRepliesFromItsAddressWithItsFaults) {
  DeviceConfig late = Device("127.0.0.2", 'B', 1);
  late.faults.replyDelayMs = 150;
  DeviceConfig twice = Device("127.0.0.3", 'L', 2);
  twice.faults.replyTwice = true;
  DeviceConfig silent = Device("127.0.0.4", 'T', 3);
  silent.faults.noDiscoveryReply = true;
  DeviceConfig longer = Device("127.0.0.5", 'W', 4);
  longer.faults.replyLength = 31;
  const Ports ports = testing::NextTestPorts();
  Simulator simulator({late, twice, silent, longer}, ports);
  ASSERT_EQ(simulator.Start(), 0);

  Socket client = BoundSocket(SOCK_DGRAM, "127.0.0.1");
  client.SetOption(SOL_SOCKET, SO_BROADCAST, 1);
  const sockaddr_in broadcast = MakeSocketAddress(INADDR_BROADCAST, ports.discovery);
  for (const char* other : {"LX", "LNX", "L"}) client.SendTo(other, strlen(other), broadcast);
  client.SendTo("LN", 2, broadcast);

  const std::vector<Datagram> replies = Collect(client, 500);
  ASSERT_EQ(replies.size(), 4u);
  // No delay: device order; the delayed device last.
  EXPECT_EQ(replies[0].from, "127.0.0.3");
  EXPECT_EQ(replies[1].from, "127.0.0.3");
  EXPECT_EQ(replies[2].from, "127.0.0.5");
  EXPECT_EQ(replies[3].from, "127.0.0.2");
  EXPECT_EQ(replies[0].bytes.size(), 30u);
  EXPECT_EQ(replies[2].bytes.size(), 31u);
  EXPECT_EQ(replies[3].bytes[9], 'B');
  EXPECT_EQ(replies[2].bytes[9], 'W');
  EXPECT_EQ(std::vector<uint8_t>(replies[0].bytes.begin() + 24, replies[0].bytes.begin() + 30),
            (std::vector<uint8_t>{2, 0, 0, 0, 0, 2}));
  EXPECT_EQ(simulator.DiscoveryRequests(), 1);
}

TEST(SimulatorInformation, AnswersEachRequestAndAHungDeviceBlocksNoOther) {
  DeviceConfig normal = Device("127.0.0.2", 'W', 1);
  normal.sketchVersion = 125;
  normal.textVersion = 3;
  normal.model = 17;
  normal.id = 2;
  normal.rssi = -58;
  DeviceConfig hung = Device("127.0.0.3", 'B', 2);
  hung.faults.infoHang = true;
  DeviceConfig cut = Device("127.0.0.4", 'B', 3);
  cut.faults.verOneLineThenClose = true;
  const Ports ports = testing::NextTestPorts();
  Simulator simulator({normal, hung, cut}, ports);
  ASSERT_EQ(simulator.Start(), 0);

  // A client left waiting on the hung device the whole time.
  Socket waiting = BoundSocket(SOCK_STREAM, "127.0.0.1");
  ASSERT_EQ(waiting.Connect(MakeSocketAddress(Address("127.0.0.3"), ports.query), kWaitMs, nullptr),
            0);
  waiting.SendAll("VER\n", 5, kWaitMs, nullptr);

  EXPECT_EQ(Ask("127.0.0.2", ports.query, {"VER\n", 5}), "SKETCH VER : 125\r\nTEXT VER : 3\r\n");
  EXPECT_EQ(Ask("127.0.0.2", ports.query, {"RSSI\n", 6}), "RSSI : -58\r\n");
  const std::string dump = Ask("127.0.0.2", ports.query, {"DUMP\n", 6});
  EXPECT_EQ(dump.substr(dump.find("MODEL") + 7, 3), "17\r");
  EXPECT_EQ(dump.substr(dump.find("ID") + 4, 2), "2\r");
  EXPECT_EQ(Ask("127.0.0.4", ports.query, {"VER\n", 5}), "SKETCH VER : 125\r\n");

  char byte = 0;
  EXPECT_EQ(waiting.Receive(&byte, 1, 200, nullptr).error, errors::kTimedOut);
  simulator.Stop();  // returns with the client still connected
}

TEST(SimulatorUpdate, TakesTheImageWithAndWithoutPassword) {
  DeviceConfig open = Device("127.0.0.2", 'B', 1);
  DeviceConfig guarded = Device("127.0.0.3", 'T', 2);
  guarded.password = "PELICANUS";
  const Ports ports = testing::NextTestPorts();
  Simulator simulator({open, guarded}, ports);
  ASSERT_EQ(simulator.Start(), 0);
  const std::vector<uint8_t> image = TestImage(3000);

  const WriteOutcome plain = WriteImage("127.0.0.2", ports.update, image, "");
  EXPECT_EQ(plain.answer, "OK");
  EXPECT_EQ(plain.peer, "127.0.0.2");
  EXPECT_EQ(plain.afterImage, "OK");
  ASSERT_EQ(simulator.Sessions(0).size(), 1u);
  EXPECT_EQ(simulator.Sessions(0)[0].image, image);
  EXPECT_TRUE(simulator.Sessions(0)[0].complete);
  EXPECT_TRUE(simulator.Sessions(0)[0].md5Matched);
  EXPECT_TRUE(simulator.Sessions(0)[0].authMessages.empty());

  const WriteOutcome authed = WriteImage("127.0.0.3", ports.update, image, "PELICANUS");
  EXPECT_EQ(authed.answer.size(), 37u);
  EXPECT_EQ(authed.authReply, "OK");
  EXPECT_EQ(authed.peer, "127.0.0.3");
  EXPECT_EQ(authed.afterImage, "OK");
  ASSERT_EQ(simulator.Sessions(1).size(), 1u);
  EXPECT_EQ(simulator.Sessions(1)[0].image, image);
  ASSERT_EQ(simulator.Sessions(1)[0].authMessages.size(), 1u);
  EXPECT_EQ(simulator.Sessions(1)[0].authMessages[0].size(), 70u);

  const WriteOutcome wrong = WriteImage("127.0.0.3", ports.update, image, "pelicanus");
  EXPECT_EQ(wrong.authReply, "Authentication Failed");
  EXPECT_TRUE(wrong.peer.empty());
  ASSERT_EQ(simulator.Sessions(1).size(), 2u);
  EXPECT_FALSE(simulator.Sessions(1)[1].complete);
  EXPECT_EQ(simulator.Invitations(1), 2);
}

TEST(SimulatorUpdate, FaultsChangeTheFinalAnswerAndFeedANaiveWriterAStranger) {
  DeviceConfig failing = Device("127.0.0.2", 'B', 1);
  failing.faults.finalError = true;
  DeviceConfig strangers = Device("127.0.0.3", 'B', 2);
  strangers.faults.strangerFirst = true;
  const Ports ports = testing::NextTestPorts();
  Simulator simulator({failing, strangers}, ports);
  ASSERT_EQ(simulator.Start(), 0);

  const WriteOutcome refused = WriteImage("127.0.0.2", ports.update, TestImage(1025), "");
  EXPECT_EQ(refused.afterImage, "MD5 Check Failed\r\n");
  ASSERT_TRUE(simulator.WaitForSessions(0, 1, kWaitMs));
  EXPECT_TRUE(simulator.Sessions(0)[0].md5Matched);

  // This writer takes whichever connection comes first: the stranger's.
  const WriteOutcome naive = WriteImage("127.0.0.3", ports.update, TestImage(1024), "", 300);
  EXPECT_EQ(naive.peer, "127.0.0.200");
  for (int i = 0; i < 300 && simulator.StrangerConnections() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(simulator.StrangerConnections(), 1);
}

TEST(SimulatorStart, FailsOnAnAddressNotOfThisHostAndLeavesNothingBound) {
  const Ports ports = testing::NextTestPorts();
  Simulator broken({Device("127.0.0.2", 'B', 1), Device("192.0.2.1", 'B', 2)}, ports);
  EXPECT_EQ(broken.Start(), errors::kAddressNotAvailable);
  Simulator fine({Device("127.0.0.2", 'B', 1)}, ports);
  EXPECT_EQ(fine.Start(), 0);
}

}  // namespace
}  // namespace kesto::sim
