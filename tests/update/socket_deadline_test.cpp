// The whole-exchange bound of a send: a peer that keeps taking a few bytes
// at a time, never stalling, is still cut off at the deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket.h"

namespace kesto {
namespace {

constexpr int kStepWaitMs = 5000;

TEST(SocketDeadline, SendAllBeforeEndsAtTheDeadlineThoughBytesKeepMoving) {
  int error = 0;
  Socket listener = Socket::Open(SOCK_STREAM, error);
  ASSERT_EQ(error, 0);
  // Small buffers, inherited by the accepted connection, so that the peer's
  // pace and not the kernel's buffering decides how fast bytes move.
  listener.SetOption(SOL_SOCKET, SO_RCVBUF, 4096);
  ASSERT_EQ(listener.Bind(MakeSocketAddress(htonl(INADDR_LOOPBACK), 0)), 0);
  ASSERT_EQ(listener.Listen(1), 0);
  sockaddr_in address{};
  ASSERT_EQ(listener.LocalAddress(address), 0);

  Socket sender = Socket::Open(SOCK_STREAM, error);
  sender.SetOption(SOL_SOCKET, SO_SNDBUF, 4096);
  ASSERT_EQ(sender.Connect(address, kStepWaitMs, nullptr), 0);
  ASSERT_EQ(listener.WaitReadable(kStepWaitMs, nullptr), 0);
  Socket peer = listener.Accept(nullptr, error);
  ASSERT_TRUE(peer.valid());

  std::atomic<bool> done{false};
  std::thread reader([&] {
    char piece[256];
    // Bounded, but far longer than the send may last.
    for (int i = 0; i < 4000 && !done; ++i) {
      if (!peer.Receive(piece, sizeof piece, kStepWaitMs, nullptr).ok()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const std::string bytes(1 << 20, 'x');
  const IoResult sent =
      sender.SendAllBefore(bytes.data(), bytes.size(), Deadline::After(300), nullptr);
  done = true;
  sender.Shutdown();
  reader.join();
  EXPECT_EQ(sent.error, errors::kTimedOut);
  EXPECT_GT(sent.bytes, 0u) << "the peer did take bytes";
  EXPECT_LT(sent.bytes, bytes.size());
}

TEST(SocketDeadline, PassedDeadlineSendsNothing) {
  int error = 0;
  Socket socket = Socket::Open(SOCK_STREAM, error);
  ASSERT_EQ(error, 0);
  const IoResult sent = socket.SendAllBefore("x", 1, Deadline::After(0), nullptr);
  EXPECT_EQ(sent.error, errors::kTimedOut);
  EXPECT_EQ(sent.bytes, 0u);
}

}  // namespace
}  // namespace kesto
