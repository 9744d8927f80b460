// The simulator's hostile switches do what they say, and a seed repeats them.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/socket.h"
#include "sim/hostile.h"
#include "sim/simulator.h"
#include "support/test_ports.h"
#include "update/md5.h"

namespace kesto::sim {
namespace {

constexpr int kWaitMs = 3000;

Socket BoundSocket(int type, const char* address) {
  int error = 0;
  Socket socket = Socket::Open(type, error);
  EXPECT_EQ(socket.Bind(MakeSocketAddress(*ParseIpv4(address), 0)), 0);
  return socket;
}

struct Datagram {
  std::string from;
  std::string bytes;
};

std::vector<Datagram> Search(uint16_t port, int quietMs = 400) {
  Socket client = BoundSocket(SOCK_DGRAM, "127.0.0.1");
  client.SetOption(SOL_SOCKET, SO_BROADCAST, 1);
  client.SendTo("LN", 2, MakeSocketAddress(INADDR_BROADCAST, port));
  std::vector<Datagram> all;
  for (;;) {
    char buffer[128];
    sockaddr_in from{};
    const IoResult r = client.ReceiveFrom(buffer, sizeof buffer, &from, quietMs, nullptr);
    if (!r.ok()) return all;
    all.push_back({Ipv4Text(from.sin_addr.s_addr), std::string(buffer, r.bytes)});
  }
}

// The receives one request's answer took, each piece as it came; "<errno>"
// when the connection failed.
std::vector<std::string> AskInPieces(const char* address, uint16_t port, std::string_view request) {
  Socket socket = BoundSocket(SOCK_STREAM, "127.0.0.1");
  if (socket.Connect(MakeSocketAddress(*ParseIpv4(address), port), kWaitMs, nullptr) != 0)
    return {"<connect>"};
  socket.SendAll(request.data(), request.size(), kWaitMs, nullptr);
  std::vector<std::string> pieces;
  for (;;) {
    char buffer[8192];
    const IoResult r = socket.Receive(buffer, sizeof buffer, kWaitMs, nullptr);
    if (!r.ok()) {
      pieces.push_back("<" + std::to_string(r.error) + ">");
      return pieces;
    }
    if (r.bytes == 0) return pieces;
    pieces.emplace_back(buffer, r.bytes);
  }
}

std::string Joined(const std::vector<std::string>& pieces) {
  std::string text;
  for (const std::string& piece : pieces) text += piece;
  return text;
}

std::string Md5Hex(std::string_view text) {
  Md5Digest digest{};
  StringMd5(text.data(), text.size(), digest);
  return DigestText(digest);
}

TEST(HostileDevices, TheSameSeedGivesTheSameDevicesAndEverySpecReadsBack) {
  const auto first = HostileDevices(42, 30);
  const auto again = HostileDevices(42, 30);
  const auto other = HostileDevices(43, 30);
  std::set<std::string> specs;
  std::set<std::string> otherSpecs;
  int hostile = 0;
  for (size_t i = 0; i < first.size(); ++i) {
    const std::string spec = DeviceSpecText(first[i]);
    EXPECT_EQ(spec, DeviceSpecText(again[i]));
    specs.insert(spec);
    otherSpecs.insert(DeviceSpecText(other[i]));
    if (!FaultNames(first[i].faults).empty()) ++hostile;
    std::string error;
    const auto parsed = ParseDeviceSpec(spec, &error);
    ASSERT_TRUE(parsed) << spec << ": " << error;
    EXPECT_EQ(DeviceSpecText(*parsed), spec);
  }
  EXPECT_EQ(first.front().address, "127.0.0.2");
  EXPECT_EQ(first.back().address, "127.0.0.31");
  EXPECT_NE(specs, otherSpecs);
  EXPECT_GT(hostile, 15);
}

TEST(HostileGenerators, RandomAcknowledgementsAndRefusedFinalsNeverSayOk) {
  Random random = MakeRandom(7, 0);
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(RandomAck(random).find("OK"), std::string::npos);
    EXPECT_EQ(WithoutOk(RandomFinal(random)).find("OK"), std::string::npos);
  }
  EXPECT_EQ(WithoutOk("OKOK xOK"), "0K0K x0K");
}

TEST(HostileDiscovery, StrangersPhantomsAndRandomRepliesRepeatWithTheSeed) {
  DeviceConfig stranger;
  stranger.address = "127.0.0.2";
  stranger.faults.discoveryFromStranger = true;
  DeviceConfig flooder;
  flooder.address = "127.0.0.3";
  flooder.faults.floodReplies = 20;
  flooder.faults.floodFromPhantoms = true;
  DeviceConfig noisy;
  noisy.address = "127.0.0.4";
  noisy.faults.randomDiscoveryReply = true;
  noisy.faults.seed = 99;

  std::string noise;
  for (int run = 0; run < 2; ++run) {
    const Ports ports = testing::NextTestPorts();
    Simulator simulator({stranger, flooder, noisy}, ports);
    ASSERT_EQ(simulator.Start(), 0);
    const std::vector<Datagram> replies = Search(ports.discovery);
    std::set<std::string> phantoms;
    size_t fromStranger = 0;
    std::string noiseNow;
    for (const Datagram& reply : replies) {
      if (reply.from == "127.0.0.200") ++fromStranger;
      if (reply.from.starts_with("127.77.")) phantoms.insert(reply.from);
      if (reply.from == "127.0.0.4") noiseNow = reply.bytes;
      EXPECT_NE(reply.from, "127.0.0.2");  // the stranger speaks in its place
    }
    EXPECT_EQ(fromStranger, 1u);
    EXPECT_EQ(phantoms.size(), 20u);
    EXPECT_EQ(replies.size(), 1u + 21u + 1u);  // the flooder's own reply, then its flood
    if (run == 1) {
      EXPECT_EQ(noiseNow, noise);
    }
    noise = noiseNow;
  }
}

TEST(HostileInformation, DripsResetsAndNoise) {
  DeviceConfig dripping;
  dripping.address = "127.0.0.2";
  dripping.faults.dripMs = 20;
  DeviceConfig resetting;
  resetting.address = "127.0.0.3";
  resetting.faults.infoReset = true;
  resetting.faults.seed = 5;
  DeviceConfig noisy;
  noisy.address = "127.0.0.4";
  noisy.faults.randomInfoReply = true;
  noisy.faults.seed = 5;
  const Ports ports = testing::NextTestPorts();
  Simulator simulator({dripping, resetting, noisy}, ports);
  ASSERT_EQ(simulator.Start(), 0);

  const std::vector<std::string> drip = AskInPieces("127.0.0.2", ports.query, {"RSSI\n", 6});
  EXPECT_EQ(Joined(drip), "RSSI : 0\r\n");
  EXPECT_EQ(drip.size(), 10u);  // one byte per receive

  // A reset somewhere in the answer: never the whole answer with an orderly end.
  const std::vector<std::string> cut = AskInPieces("127.0.0.3", ports.query, {"VER\n", 5});
  ASSERT_FALSE(cut.empty());
  EXPECT_EQ(cut.back(), "<" + std::to_string(errors::kConnectionReset) + ">");

  // Noise differs from request to request but is an answer each time.
  const std::string first = Joined(AskInPieces("127.0.0.4", ports.query, {"DUMP\n", 6}));
  const std::string second = Joined(AskInPieces("127.0.0.4", ports.query, {"DUMP\n", 6}));
  EXPECT_NE(first, second);
}

// The writer's side of the handshake, by hand: invitation, answer, maybe
// authentication, then the device's connection on the listener.
struct Handshake {
  std::string answer;
  std::string answerFrom;  // address:port of the answer
  std::string peer;        // address of the connection that came
  Socket connection;
};

Handshake Invite(const char* device, uint16_t port, const std::string& image,
                 const std::string& password, Socket& listener) {
  Handshake result;
  sockaddr_in local{};
  listener.LocalAddress(local);
  Socket udp = BoundSocket(SOCK_DGRAM, "127.0.0.1");
  const std::string invitation = "0 " + std::to_string(ntohs(local.sin_port)) + " " +
                                 std::to_string(image.size()) + " " + Md5Hex(image) + "\n";
  udp.SendTo(invitation.data(), invitation.size(), MakeSocketAddress(*ParseIpv4(device), port));
  char buffer[64];
  sockaddr_in from{};
  IoResult r = udp.ReceiveFrom(buffer, sizeof buffer, &from, kWaitMs, nullptr);
  if (!r.ok()) return result;
  result.answer.assign(buffer, r.bytes);
  result.answerFrom = Ipv4Text(from.sin_addr.s_addr) + ":" + std::to_string(ntohs(from.sin_port));
  if (result.answer.starts_with("AUTH ")) {
    const std::string cnonce = Md5Hex("cnonce");
    const std::string auth =
        "200 " + cnonce + " " +
        Md5Hex(Md5Hex(password) + ":" + result.answer.substr(5) + ":" + cnonce) + "\n";
    udp.SendTo(auth.data(), auth.size(), from);  // to wherever the answer came from
    r = udp.ReceiveFrom(buffer, sizeof buffer, nullptr, kWaitMs, nullptr);
    if (!r.ok() || std::string(buffer, r.bytes) != "OK") return result;
  }
  if (listener.WaitReadable(kWaitMs, nullptr) != 0) return result;
  sockaddr_in peer{};
  int error = 0;
  result.connection = listener.Accept(&peer, error);
  result.peer = Ipv4Text(peer.sin_addr.s_addr);
  return result;
}

TEST(HostileUpdate, OtherPortStrangerGluedFinalAndReset) {
  DeviceConfig otherPort;
  otherPort.address = "127.0.0.2";
  otherPort.password = "PELICANUS";
  otherPort.faults.answerFromOtherPort = true;
  DeviceConfig stranger;
  stranger.address = "127.0.0.3";
  stranger.faults.answerFromStranger = true;
  DeviceConfig glued;
  glued.address = "127.0.0.4";
  glued.faults.finalGluedToAck = true;
  DeviceConfig resetting;
  resetting.address = "127.0.0.5";
  resetting.faults.resetShortBytes = 100;
  const Ports ports = testing::NextTestPorts();
  Simulator simulator({otherPort, stranger, glued, resetting}, ports);
  ASSERT_EQ(simulator.Start(), 0);
  const std::string image(1025, 'i');
  const auto listener = [] {
    Socket socket = BoundSocket(SOCK_STREAM, "127.0.0.1");
    EXPECT_EQ(socket.Listen(4), 0);
    return socket;
  };

  Socket first = listener();
  const Handshake viaOtherPort = Invite("127.0.0.2", ports.update, image, "PELICANUS", first);
  EXPECT_TRUE(viaOtherPort.answer.starts_with("AUTH "));
  EXPECT_TRUE(viaOtherPort.answerFrom.starts_with("127.0.0.2:"));
  EXPECT_NE(viaOtherPort.answerFrom, "127.0.0.2:" + std::to_string(ports.update));
  EXPECT_EQ(viaOtherPort.peer, "127.0.0.2");

  Socket second = listener();
  const Handshake fromStranger = Invite("127.0.0.3", ports.update, image, "", second);
  EXPECT_EQ(fromStranger.answer, "OK");
  EXPECT_TRUE(fromStranger.answerFrom.starts_with("127.0.0.200:"));
  EXPECT_EQ(fromStranger.peer, "127.0.0.200");

  Socket third = listener();
  Handshake gluedFinal = Invite("127.0.0.4", ports.update, image, "", third);
  ASSERT_TRUE(gluedFinal.connection.valid());
  char buffer[64];
  gluedFinal.connection.SendAll(image.data(), 1024, kWaitMs, nullptr);
  IoResult r = gluedFinal.connection.Receive(buffer, sizeof buffer, kWaitMs, nullptr);
  EXPECT_EQ(std::string(buffer, r.bytes), "1024");
  gluedFinal.connection.SendAll(image.data() + 1024, 1, kWaitMs, nullptr);
  r = gluedFinal.connection.Receive(buffer, sizeof buffer, kWaitMs, nullptr);
  EXPECT_EQ(std::string(buffer, r.bytes), "1OK");

  Socket fourth = listener();
  Handshake reset = Invite("127.0.0.5", ports.update, image, "", fourth);
  ASSERT_TRUE(reset.connection.valid());
  reset.connection.SendAll(image.data(), 1024, kWaitMs, nullptr);
  do {  // the count of what it took may come first, then the reset
    r = reset.connection.Receive(buffer, sizeof buffer, kWaitMs, nullptr);
  } while (r.ok() && r.bytes > 0);
  EXPECT_EQ(r.error, errors::kConnectionReset);
  ASSERT_TRUE(simulator.WaitForSessions(3, 1, kWaitMs));
  EXPECT_EQ(simulator.Sessions(3)[0].image.size(), 925u);  // 100 short of 1025
  EXPECT_FALSE(simulator.Sessions(3)[0].complete);
}

}  // namespace
}  // namespace kesto::sim
