#include "discovery/discovery.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/query_pool.h"
#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"

namespace kesto {
namespace {

constexpr char kDiscoveryRequest[2] = {'L', 'N'};  // no terminator on the wire
// Room for a full table of replies arriving together: the kernel charges each
// small datagram well over 1 KiB. It may grant less (net.core.rmem_max); the
// drops then show in DiscoveryStats.
constexpr int kReceiveBufferBytes = kDeviceTableSize * 4096;

using ReplyBuffer = std::array<uint8_t, kDiscoveryReplySize>;

// One reply read from the socket, and what its device's query learnt. The
// query's thread writes info and recorded; the run reads them once the
// query threads are joined.
struct RepliedDevice {
  DiscoveryReply reply;  // read once, when it came
  DeviceInfo info;
  bool recorded = false;
  bool awaited = false;  // the first reply of a device the caller named
};

// The counts that the run's loop decides on, kept with the query threads.
class QueryTally {
 public:
  struct Counts {
    int recorded = 0;  // queries that succeeded
    int failed = 0;    // queries that failed (or were skipped)
    int running = 0;   // submitted and not yet ended
    uint64_t ended = 0;
    size_t awaitedEnded = 0;  // queries of awaited devices that ended
  };

  Counts Now() const {
    std::lock_guard lock(mutex_);
    return counts_;
  }
  void Started() {
    std::lock_guard lock(mutex_);
    ++counts_.running;
  }
  void Ended(bool recorded, bool awaited) {
    {
      std::lock_guard lock(mutex_);
      --counts_.running;
      ++(recorded ? counts_.recorded : counts_.failed);
      ++counts_.ended;
      if (awaited) ++counts_.awaitedEnded;
    }
    changed_.notify_all();
  }
  // Until a query ends after the ended-th, or the run's end.
  void WaitForEnd(uint64_t ended, const Deadline& runEnd) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(runEnd.MillisecondsLeft()),
                      [&] { return counts_.ended != ended; });
  }
  // Once the run is over, queries that have not begun are skipped.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  bool Closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Counts counts_;
  bool closed_ = false;
};

bool Stopped(const StopSignal* stop) {
  return stop && stop->Triggered();
}

// One datagram; nullptr for an over-long one (dropped rather than taken cut),
// a failed receive, or a sender that cannot be a device.
std::unique_ptr<RepliedDevice> ReadDiscoveryReply(Socket& socket, uint32_t& kernelDrops) {
  ReplyBuffer bytes{};
  sockaddr_in sender{};
  const Result<size_t> received =
      socket.ReceiveCounted(bytes.data(), bytes.size(), &sender, kernelDrops);
  // No device answers from such an address, and connecting to it could reach
  // this host itself or a whole group.
  if (!received || !IsDeviceAddress(sender.sin_addr.s_addr)) return nullptr;
  auto device = std::make_unique<RepliedDevice>();
  device->reply = ParseDiscoveryReply(bytes.data(), *received, sender);
  return device;
}

// The query of one replied device, on a pool thread. Skipped once the run is
// over or stopped; every exchange ends by the run's end.
void QueryReplied(RepliedDevice& replied, const QueryOptions& options, const Deadline& runEnd,
                  QueryTally& tally) {
  bool recorded = false;
  if (!tally.Closed() && !Stopped(options.stop)) {
    QueryOptions bounded = options;
    bounded.exchangeDeadlineMs = runEnd.Cap(options.exchangeDeadlineMs);
    recorded =
        QueryDeviceInfo(replied.reply.addressText, replied.reply.kindLetter, replied.info, bounded)
            .has_value();
  }
  replied.recorded = recorded;
  tally.Ended(recorded, replied.awaited);
}

// Writes the replies into the table in the order they came, each into the
// slot a run querying one device at a time would have given it: a failed
// query leaves its traces in the slot that the next reply takes over.
void RecordInReplyOrder(const std::vector<std::unique_ptr<RepliedDevice>>& devices,
                        DeviceTable& table) {
  for (const auto& device : devices) {
    if (table.count >= kDeviceTableSize) break;
    DeviceRecord& slot = table.records[static_cast<size_t>(table.count)];
    ApplyDiscoveryReply(device->reply, slot);
    ApplyDeviceInfo(device->info, slot);
    if (device->recorded) ++table.count;
  }
}

}  // namespace

bool IsDeviceAddress(Ipv4Address address) {
  const uint32_t host = ntohl(address);
  const uint32_t first = host >> 24;
  return first != 0 && first < 224;  // not "this network", multicast, reserved or broadcast
}

DiscoveryReply ParseDiscoveryReply(const uint8_t* data, size_t size, const sockaddr_in& sender) {
  ReplyBuffer bytes{};
  if (data) std::copy_n(data, std::min(size, bytes.size()), bytes.begin());
  DiscoveryReply reply;
  reply.sender = sender;
  std::copy_n(bytes.begin() + 24, reply.hardwareAddress.size(), reply.hardwareAddress.begin());
  reply.addressText = Ipv4Text(sender.sin_addr.s_addr);
  reply.byte5High = static_cast<uint8_t>(bytes[5] >> 4);
  reply.byte6High = static_cast<uint8_t>(bytes[6] >> 4);
  reply.byte8 = bytes[8];
  reply.kindLetter = static_cast<char>(bytes[9]);
  return reply;
}

void ApplyDiscoveryReply(const DiscoveryReply& reply, DeviceRecord& record) {
  record.replyAddress = reply.sender;
  record.hardwareAddress = reply.hardwareAddress;
  record.addressText = reply.addressText;
  record.replyByte5High = reply.byte5High;
  record.replyByte6High = reply.byte6High;
  record.replyByte8 = reply.byte8;
  record.kindLetter = reply.kindLetter;
}

void ApplyDiscoveryReply(const uint8_t* data, size_t size, const sockaddr_in& sender,
                         DeviceRecord& record) {
  ApplyDiscoveryReply(ParseDiscoveryReply(data, size, sender), record);
}

void ReportPhase(const DiscoveryOptions& options, SearchPhase phase) {
  if (options.phase) options.phase(phase);
}

Result<int> DiscoverDevices(DeviceTable& table, const DiscoveryOptions& options,
                            DiscoveryStats* stats) {
  table.count = 0;
  const auto failed = [stats](int error) -> Result<int> {
    if (stats) *stats = DiscoveryStats{};
    return Failure(SocketError(error));
  };
  Result<Socket> opened = Socket::Open(SOCK_DGRAM);
  if (!opened) return failed(opened.error().value());
  Socket& socket = *opened;
  if (const Result<void> bound = socket.Bind(MakeSocketAddress(options.localAddress, 0)); !bound)
    return failed(ErrorNumber(bound));
  // A failure of these shows up as a run with fewer replies, or as a refused send below.
  static_cast<void>(socket.SetOption(SOL_SOCKET, SO_BROADCAST, 1));
  static_cast<void>(socket.SetOption(SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes));
  socket.CountDroppedDatagrams();
  // A refused broadcast (a firewall rule, no route) must not read as "no device found".
  const Result<size_t> sent =
      socket.SendTo(kDiscoveryRequest, sizeof kDiscoveryRequest,
                    MakeSocketAddress(options.broadcastAddress, options.discoveryPort));
  if (!sent) return failed(ErrorNumber(sent));
  ReportPhase(options, SearchPhase::kBroadcast);

  QueryOptions query = options.query;
  query.localAddress = options.localAddress;
  const StopSignal* stop = query.stop;
  const Deadline runEnd = Deadline::After(options.runLimitMs);
  DiscoveryStats seen;
  QueryTally tally;
  std::vector<std::unique_ptr<RepliedDevice>> devices;
  int waitError = 0;
  {
    // Declared after everything its queries use, so it is joined first.
    QueryPool pool(kQueriesInFlight);
    Deadline quiet = Deadline::After(options.quietMs);
    int badDatagrams = 0;
    std::vector<Ipv4Address> silent = options.awaited;  // awaited, no reply yet
    std::sort(silent.begin(), silent.end());
    silent.erase(std::unique(silent.begin(), silent.end()), silent.end());
    const size_t awaited = silent.size();
    for (;;) {
      const QueryTally::Counts counts = tally.Now();
      if (Stopped(stop) || runEnd.Passed() || counts.recorded >= kDeviceTableSize ||
          badDatagrams + counts.failed >= options.unrecordedReplyLimit)
        break;
      if (awaited > 0 && silent.empty()) {
        if (counts.awaitedEnded == awaited) break;
        tally.WaitForEnd(counts.ended, runEnd);
        continue;
      }
      // While the queries under way could fill the table, or could make up
      // the limit of replies that record nothing, further replies wait in the
      // socket: the end of a query decides whether the run goes on.
      const bool room =
          counts.recorded + counts.running < kDeviceTableSize &&
          badDatagrams + counts.failed + counts.running < options.unrecordedReplyLimit;
      const bool quietOver = quiet.Passed();
      // Once the quiet time is over, a reply that comes while queries still
      // run waits in the socket until they have ended: then one last look.
      if (!room || (quietOver && counts.running > 0)) {
        tally.WaitForEnd(counts.ended, runEnd);
        continue;
      }
      // The rest of the quiet time, however long the queries take; once it is
      // over with every query ended, one last look at the socket.
      const int waited =
          ErrorNumber(socket.WaitReadable(runEnd.Cap(quiet.MillisecondsLeft()), stop));
      if (waited == errors::kTimedOut) {
        if (quietOver) break;
        continue;
      }
      if (waited == errors::kCanceled) break;
      if (waited != 0) {
        waitError = waited;
        break;
      }
      quiet = Deadline::After(options.quietMs);
      ++seen.datagrams;
      std::unique_ptr<RepliedDevice> device = ReadDiscoveryReply(socket, seen.kernelDrops);
      if (!device) {
        ++badDatagrams;
        continue;
      }
      if (devices.empty()) ReportPhase(options, SearchPhase::kQuerying);
      const auto named =
          std::find(silent.begin(), silent.end(), device->reply.sender.sin_addr.s_addr);
      if (named != silent.end()) {
        device->awaited = true;
        silent.erase(named);
      }
      tally.Started();
      pool.Submit(device->reply.addressText, [&tally, &runEnd, &query, replied = device.get()] {
        QueryReplied(*replied, query, runEnd, tally);
      });
      devices.push_back(std::move(device));
    }
    tally.Close();
  }
  RecordInReplyOrder(devices, table);
  if (stats) *stats = seen;
  if (waitError != 0) return Failure(SocketError(waitError));
  return table.count;
}

}  // namespace kesto
