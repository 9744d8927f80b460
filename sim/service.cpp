#include "sim/service.h"

#include "sim/device_socket.h"

namespace kesto::sim {

bool IsLoopback(Ipv4Address address) {
  return (ntohl(address) >> 24) == 127;
}

Ipv4Address StrangerOf(Ipv4Address device) {
  const uint32_t host = ntohl(device);
  return htonl((host & 0xffffff00u) | ((host & 0xff) == 200 ? 201u : 200u));
}

int Fleet::Bind(uint16_t updatePort) {
  int error = 0;
  if ((error = OpenSocket(stranger, SOCK_DGRAM)) ||
      (error = ErrorNumber(stranger.Bind(MakeSocketAddress(INADDR_ANY, 0)))))
    return error;
  for (size_t i = 0; i < devices.size(); ++i) {
    const auto address = ParseIpv4(devices[i].address);
    if (!address) return errors::kInvalidArgument;
    addresses.push_back(*address);
    randoms.push_back(MakeRandom(devices[i].faults.seed, static_cast<uint32_t>(i)));
    Socket& socket = deviceSockets.emplace_back();
    if ((error = OpenSocket(socket, SOCK_DGRAM)) ||
        (error = ErrorNumber(socket.Bind(MakeSocketAddress(*address, updatePort)))))
      return error;
  }
  return 0;
}

}  // namespace kesto::sim
