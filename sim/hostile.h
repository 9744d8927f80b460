#pragma once

// What a hostile device says instead of the proper words: random, mangled,
// too long, too short. Pure functions of a seeded random source, so that a
// run can be repeated.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/simulator.h"

namespace kesto::sim {

using Random = std::mt19937;

// A source of its own for each (seed, stream) pair: each device and each
// session draws from a stream of its own, so one's choices do not shift another's.
Random MakeRandom(uint32_t seed, uint32_t stream);

// size in [low, high], every byte value possible (NUL, CR, LF, ESC included).
std::string RandomBytes(Random& random, size_t low, size_t high);

// "OK" spelt otherwise ("0K"): only a device that holds the image may say it.
std::string WithoutOk(std::string text);

// A discovery reply of 0..64 bytes; sometimes with the device's own kind
// letter and hardware address in place, so that its queries still work.
std::vector<uint8_t> RandomDiscoveryReply(Random& random, const DeviceConfig& device);

// An information reply made from the proper one: cut, spliced with random
// bytes, drowned in bytes, reduced to odd keys and numbers, or pure noise.
std::string RandomInfoText(Random& random, std::string_view proper);

// An answer to the invitation: noise, "OK" or "AUTH" with junk behind, a
// nonce of the wrong length, a datagram too long for the writer, or nothing.
std::string RandomAnswer(Random& random);

// A reply to the authentication: noise, "OK" with junk, too long, or nothing.
std::string RandomAuthReply(Random& random);

// What a device sends in place of the count of bytes it took (never "OK";
// possibly nothing at all).
std::string RandomAck(Random& random);

// What a device sends in place of its final "OK", once it holds the image.
std::string RandomFinal(Random& random);

}  // namespace kesto::sim
