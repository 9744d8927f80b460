// kesto-fw write: the checks the window makes before a write, for one device
// or many, then the writes one after another and their results.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/fleet.h"
#include "cli/output.h"
#include "cli/report.h"
#include "discovery/device_list.h"
#include "discovery/direct.h"
#include "platform/deadline.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "texts/operator_texts.h"
#include "texts/phase_texts.h"
#include "update/preflight.h"
#include "update/update_run.h"
#include "update/write_rules.h"

namespace kesto::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A restarting device may still answer for a moment right after its "OK".
constexpr int kVerifyFirstPauseMs = 1000;
// One direct request per this long while waiting for the device to come back.
constexpr int kVerifyAttemptMs = 1000;
// A device that has just timed out may need a moment before it listens again.
constexpr int kRetryPauseMs = 1000;

constexpr int kToWrite = -1;  // Target::status before the target has a result

struct Target {
  std::string address;
  Ipv4Address local = 0;
  std::optional<DeviceRecord> record;
  DirectAnswer answer = DirectAnswer::kNoAnswer;  // why there is no record
  int status = kToWrite;
  std::string message;
  std::optional<DeviceRecord> after;  // --verify: the device as it came back
  bool told = false;                  // its message was printed already
  double seconds = 0;
  int attempts = 0;            // writes begun
  bool skipped = false;        // --skip-version: it reports that version already
  bool versionUnread = false;  // --skip-version could not tell: written all the same

  WriteOutcome outcome;  // of the last write begun: its cause and scheme
};

// The image must be there, readable and not empty before anything is sent.
// 0, or the exit status after the error was printed.
int ExamineImage(const std::string& path, PreparedImage& image) {
  tl::expected<PreparedImage, PreflightResult> prepared = kesto::PrepareImage(path);
  if (!prepared) {
    PrintError(PreflightMessage(prepared.error()) + ": " + path);
    return static_cast<int>(WriteResult::kFileError);
  }
  image = std::move(*prepared);
  return 0;
}

bool Confirm(const std::string& question) {
  std::cerr << ForTerminal(question) << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

int ExitStatusFor(const WriteOutcome& outcome) {
  switch (outcome.result) {
    case WriteResult::kNetworkError:
      return kExitNetworkError;
    case WriteResult::kCancelled:
      return kExitCancelled;
    default:
      return static_cast<int>(outcome.result);  // the window's codes 0..4
  }
}

// The listeners the writes use (with --host-port N, N..N+K-1: one per slot),
// opened on every local address before anything is sent and held until each
// slot's first write there takes its own, so that no other program can take
// a port between the check and the write.
class HeldListeners {
 public:
  // 0, or the exit status after the error was printed.
  int Open(const Options& options, const std::vector<Ipv4Address>& locals) {
    const int ports = options.hostPort == 0 ? 1 : options.parallel;
    for (const Ipv4Address address : locals) {
      for (int slot = 0; slot < ports; ++slot) {
        if (held_.count({address, slot})) continue;
        const auto port =
            static_cast<uint16_t>(options.hostPort == 0 ? 0 : options.hostPort + slot);
        const std::string local = Ipv4Text(address);
        Result<Listener> listener = OpenListener(local, port, {});  // its log is not the run's
        if (!listener) {
          const std::string reason = SystemErrorText(listener.error().value());
          if (port != 0)
            PrintError(Format("port %u on %s is not available (%s); nothing was sent", port,
                              local.c_str(), reason.c_str()));
          else
            PrintError(PreflightMessage(ListenerRefused(listener.error())) + " (" + reason + ")");
          return kExitRefused;
        }
        held_.emplace(std::make_pair(address, slot), std::move(*listener));
      }
    }
    return 0;
  }

  // The listener held for a slot's writes from local, once; then none, and
  // each write opens its own. Slots run at once, each taking only its own.
  Listener Take(Ipv4Address local, int slot) {
    const auto held = held_.find({local, slot});
    return held == held_.end() ? Listener{} : std::move(held->second);
  }

 private:
  std::map<std::pair<Ipv4Address, int>, Listener> held_;
};

// Devices the broadcast did not find are asked directly, from the local
// address that routes to each.
void AskMissingDirectly(const Options& options, std::vector<Target>& targets,
                        const StopSignal& stop) {
  std::map<Ipv4Address, std::vector<Target*>> byLocal;
  for (Target& target : targets)
    if (!target.record) byLocal[target.local].push_back(&target);
  for (auto& [local, group] : byLocal) {
    std::vector<Ipv4Address> addresses;
    for (const Target* target : group) addresses.push_back(*ParseIpv4(target->address));
    DeviceTable table;
    std::vector<DirectAnswer> answers;
    // A failed request leaves every answer kNoAnswer: each device is reported below.
    static_cast<void>(
        DiscoverDevicesAt(table, addresses, MakeDiscoveryOptions(options, local, stop), &answers));
    for (size_t i = 0; i < group.size(); ++i) {
      group[i]->answer = i < answers.size() ? answers[i] : DirectAnswer::kNoAnswer;
      for (int k = 0; k < table.count; ++k)
        if (table.records[static_cast<size_t>(k)].addressText == group[i]->address)
          group[i]->record = table.records[static_cast<size_t>(k)];
    }
  }
}

// The window's checks, per device: found, not in TMODE, a file name that fits.
void CheckTarget(const Options& options, const std::string& local, Target& target) {
  if (!target.record) {
    target.status = kExitNotFound;
    target.message = target.answer == DirectAnswer::kQueryFailed
                         ? "device " + target.address +
                               " answered, but its information query failed; nothing was sent"
                         : "device " + target.address + " did not answer, neither the search on " +
                               local + " nor a direct request; nothing was sent";
    return;
  }
  PreflightResult result = CheckDevice(*target.record);
  if (result.passed())
    result = CheckFileName(*target.record, options.firmwarePath, options.anyFile);
  if (result.passed()) return;
  target.status = kExitRefused;
  target.message = PreflightMessage(result);
  if (result.failed == PreflightCheck::kFileName)
    target.message += " (expected a name beginning with \"" + result.reason + "\")";
}

// Waits, bounded by --verify-timeout, until the device answers a direct
// request again after its restart.
std::optional<DeviceRecord> AwaitRestart(const Options& options, const Target& target,
                                         const StopSignal& stop) {
  const Deadline end = Deadline::After(options.verifyTimeoutS * 1000);
  if (!stop.SleepFor(end.Cap(kVerifyFirstPauseMs))) return std::nullopt;
  const Ipv4Address address = *ParseIpv4(target.address);
  while (!end.Passed() && !stop.Triggered()) {
    const Deadline attemptEnd = Deadline::After(kVerifyAttemptMs);
    DiscoveryOptions discovery = MakeDiscoveryOptions(options, target.local, stop);
    discovery.quietMs = end.Cap(kVerifyAttemptMs);
    discovery.runLimitMs = end.MillisecondsLeft();
    DeviceTable table;
    if (DiscoverDevicesAt(table, {address}, discovery).value_or(0) > 0) return table.records[0];
    if (!stop.SleepFor(end.Cap(attemptEnd.MillisecondsLeft()))) break;
  }
  return std::nullopt;
}

// Worth another attempt: the device or the network, not the file, a check or
// the operator.
bool Retryable(const WriteOutcome& outcome) {
  // A refused password stays refused.
  if (outcome.cause == WriteCause::kPasswordRefused) return false;
  return outcome.result == WriteResult::kDeviceError ||
         outcome.result == WriteResult::kNoConnection ||
         outcome.result == WriteResult::kNetworkError;
}

// One device's write, its retries and --verify, all in the slot that runs it.
void WriteTarget(const Options& options, const PreparedImage& image, uint16_t listenerPort,
                 Listener listener, size_t device, Target& target, FleetDisplay& display,
                 const StopSignal& stop) {
  const auto start = Clock::now();
  UpdateRequest request;
  request.deviceAddress = target.address;
  request.localAddress = Ipv4Text(target.local);
  request.listenerPort = listenerPort;
  request.devicePort = options.ports.update;
  request.password = options.password;
  request.image = image;

  UpdateHooks hooks;
  hooks.log = [&](std::string_view piece) { display.Log(device, piece); };
  hooks.progress = [&](int percent) { display.Progress(device, percent); };
  hooks.phase = [&](UpdatePhase phase) { display.Phase(device, PhaseTextOf(phase).name); };
  hooks.stop = &stop;
  WriteOutcome outcome;
  for (;;) {
    ++target.attempts;
    outcome = RunUpdate(request, hooks, {}, std::move(listener));  // a retry opens its own
    if (!Retryable(outcome) || target.attempts > options.retries) break;
    display.Print([&] {
      std::cerr << target.address << ": attempt " << target.attempts << ": "
                << ForTerminal(ResultMessage(outcome)) << "; trying again\n";
    });
    display.Phase(device, "pause");
    if (!stop.SleepFor(kRetryPauseMs)) {
      outcome = {WriteResult::kCancelled, 0};
      break;
    }
  }
  target.status = ExitStatusFor(outcome);
  target.message = ResultMessage(outcome);
  target.outcome = outcome;
  if (outcome.succeeded() && options.verify) {
    display.Phase(device, "waiting for restart");
    target.after = AwaitRestart(options, target, stop);
    if (!target.after) {
      target.status = stop.Triggered() ? kExitCancelled : kExitNotBack;
      target.message =
          stop.Triggered()
              ? std::string("written; the wait for the device's restart was cancelled")
              : Format("written, but the device did not answer again within %d s after its restart",
                       options.verifyTimeoutS);
    }
  }
  if (target.versionUnread) target.message += " (its version could not be read, so it was written)";
  target.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

nlohmann::ordered_json NameOrNull(const char* name) {
  return *name ? nlohmann::ordered_json(name) : nlohmann::ordered_json();
}

nlohmann::ordered_json TargetJson(const PreparedImage& image, const Target& target) {
  const DeviceRecord* record = target.record ? &*target.record : nullptr;
  return {{"address", target.address},
          {"hardwareAddress", record ? HardwareAddressText(record->hardwareAddress) : ""},
          {"kind", record ? nlohmann::ordered_json(record->kind) : nlohmann::ordered_json()},
          {"model", record ? ModelName(record->kind, record->modelId) : ""},
          {"file", image.path},
          {"bytes", image.bytes},
          {"md5", image.md5},
          {"result", target.status},
          {"message", ForTerminal(target.message)},
          {"seconds", target.seconds},
          {"attempts", target.attempts},
          {"cause", NameOrNull(CauseName(target.outcome.cause))},
          {"authentication", NameOrNull(AuthenticationName(target.outcome.authentication))},
          {"versionBefore", record && record->sketchVersionRead
                                ? nlohmann::ordered_json(VersionTextOf(*record))
                                : nlohmann::ordered_json()},
          {"versionAfter", target.after ? nlohmann::ordered_json(VersionTextOf(*target.after))
                                        : nlohmann::ordered_json()},
          {"skipped", target.skipped}};
}

// --skip-version: a device that reports that version already is left as it
// is. One whose version cannot be read is written, and says so.
bool AlreadyAtVersion(const Options& options, Target& target) {
  if (options.skipVersion.empty() || !target.record) return false;
  if (!target.record->sketchVersionRead) {
    target.versionUnread = true;
    return false;
  }
  if (VersionTextOf(*target.record) != options.skipVersion) return false;
  target.status = kExitOk;
  target.skipped = true;
  target.message = "skipped: it reports version " + options.skipVersion + " already";
  return true;
}

// The line of --report; a line that cannot be written is told, and the run goes on.
void Record(RunReport& report, const PreparedImage& image, const Target& target) {
  if (!report.open()) return;
  std::string problem;
  if (!report.Append(TargetJson(image, target), Ipv4Text(target.local), problem))
    PrintError("--report " + problem + "; the line of " + target.address + " is missing");
}

// Opens --report before anything is sent. 0, or the exit status after the
// error was printed.
int OpenReport(const Options& options, const PreparedImage& image, RunReport& report) {
  if (options.reportPath.empty()) return 0;
  std::string problem;
  if (!report.Open(options.reportPath, problem)) {
    PrintError("--report " + problem + "; nothing was sent");
    return kExitUsage;
  }
  report.SetContext({HostName(), LoginName(), FileSha256(image.path).value_or("")});
  return 0;
}

void Report(const Options& options, const PreparedImage& image, bool several, bool written,
            const Target& target) {
  if (options.json) {
    PrintJsonLine(TargetJson(image, target));
    return;
  }
  if (!written && !target.skipped) {
    if (!target.told) PrintError(target.address + ": " + target.message);
    return;
  }
  const std::string prefix = several ? target.address + ": " : "";
  std::cout << prefix << ForTerminal(target.message) << '\n';
  if (target.after)
    std::cout << prefix << "back after its restart: " << DeviceListEntry(*target.after, 0) << '\n';
  std::cout << std::flush;
}

void PrintSummary(const Options& options, const std::vector<Target>& targets) {
  std::ostream& out = options.json ? std::cerr : std::cout;
  for (const Target& target : targets) {
    std::string message = ForTerminal(target.message);
    message = message.substr(0, message.find('\n'));
    out << Format("%-15s %3d %7.1f s %2d  %s", target.address.c_str(), target.status,
                  target.seconds, target.attempts, message.c_str())
        << '\n';
  }
}

}  // namespace

int RunWrite(const Options& options, const StopSignal& stop) {
  PreparedImage image;
  if (const int status = ExamineImage(options.firmwarePath, image)) return status;
  RunReport report;
  if (const int status = OpenReport(options, image, report)) return status;

  std::vector<Target> targets;
  Ipv4Address searchLocal = 0;
  for (const std::string& device : options.devices) {
    if (std::any_of(targets.begin(), targets.end(),
                    [&](const Target& t) { return t.address == device; }))
      continue;
    Target& target = targets.emplace_back();
    target.address = device;
    if (const int status = ChooseLocalAddress(options, ParseIpv4(device), target.local))
      return status;
  }
  if (targets.empty()) {  // --all
    if (const int status = ChooseLocalAddress(options, std::nullopt, searchLocal)) return status;
  } else {
    searchLocal = targets[0].local;
  }
  std::vector<Ipv4Address> locals{searchLocal};
  for (const Target& target : targets) locals.push_back(target.local);
  HeldListeners listeners;
  if (const int status = listeners.Open(options, locals)) return status;

  const auto cancelled = [] {
    PrintError("cancelled; nothing was written");
    return kExitCancelled;
  };
  // Named devices end the search as soon as each has answered; --all cannot
  // know who else will, so it listens for the full time.
  DiscoveryOptions discovery = MakeDiscoveryOptions(options, searchLocal, stop);
  for (const Target& target : targets)
    if (target.local == searchLocal) discovery.awaited.push_back(*ParseIpv4(target.address));
  DeviceTable table;
  DiscoveryStats stats;
  const Result<int> searched = DiscoverDevices(table, discovery, &stats);
  if (options.verbose) PrintSearchStats(stats);
  if (stop.Triggered()) return cancelled();
  // Named devices the search missed are asked directly below, whatever became of it.
  const int found = searched.value_or(0);
  if (options.all) {
    if (!searched) {
      PrintError(SearchFailureText(searchLocal, searched.error()));
      return kExitNetworkError;
    }
    for (int i = 0; i < found; ++i) {
      const DeviceRecord& record = table.records[static_cast<size_t>(i)];
      // Only kinds with a prefix of their own: an unknown kind would take any file.
      if (FilePrefixForKind(record.kind).empty() ||
          !CheckFileName(record, image.path, false).passed())
        continue;
      Target& target = targets.emplace_back();
      target.address = record.addressText;
      target.local = searchLocal;
      target.record = record;
    }
    if (targets.empty()) {
      PrintError("no device found on the network of " + Ipv4Text(searchLocal) +
                 " whose kind fits " + std::string(FileNameOf(image.path)));
      return kExitNotFound;
    }
  } else {
    for (Target& target : targets)
      for (int i = 0; i < found; ++i)
        if (table.records[static_cast<size_t>(i)].addressText == target.address)
          target.record = table.records[static_cast<size_t>(i)];
    AskMissingDirectly(options, targets, stop);
    if (stop.Triggered()) return cancelled();
  }

  std::string entries;
  for (Target& target : targets) {
    if (AlreadyAtVersion(options, target)) continue;
    CheckTarget(options, Ipv4Text(searchLocal), target);
    if (target.status == kToWrite)
      entries += (entries.empty() ? "" : "\n") + DeviceListEntry(*target.record, 0);
  }
  if (!options.yes && !entries.empty()) {
    std::string refusal;
    if (!StandardInputIsTerminal())
      refusal =
          "standard input is not a terminal, so nothing was written; add --yes to write "
          "without the question";
    else if (!Confirm(WriteConfirmationText(image.path, entries)))
      refusal = "not confirmed; nothing was written";
    if (!refusal.empty()) {
      PrintError(refusal);
      for (Target& target : targets)
        if (target.status == kToWrite) {
          target.status = kExitCancelled;
          target.message = refusal;
          target.told = true;
        }
    }
  }

  const bool several = targets.size() > 1;
  std::vector<size_t> toWrite;
  for (size_t i = 0; i < targets.size(); ++i) {
    if (targets[i].status == kToWrite) {
      toWrite.push_back(i);
    } else {
      Report(options, image, several, false, targets[i]);
      Record(report, image, targets[i]);
    }
  }
  {
    FleetDisplay display(
        {StandardErrorIsTerminal(), options.verbose, static_cast<uint64_t>(image.bytes)});
    RunInSlots(toWrite.size(), options.parallel, stop, [&](size_t index, int slot) {
      const size_t device = toWrite[index];
      Target& target = targets[device];
      display.Begin(device, target.address);
      const int port = options.hostPort == 0 ? 0 : options.hostPort + slot;
      WriteTarget(options, image, static_cast<uint16_t>(port), listeners.Take(target.local, slot),
                  device, target, display, stop);
      display.End(device, [&] { Report(options, image, several, true, target); });
      Record(report, image, target);
    });
  }
  for (const size_t device : toWrite) {
    Target& target = targets[device];
    if (target.status != kToWrite) continue;
    target.status = kExitCancelled;
    target.message = "cancelled before its write began; nothing was sent";
    Report(options, image, several, false, target);
    Record(report, image, target);
  }
  if (several) PrintSummary(options, targets);
  // A write ended by Ctrl+C makes the run cancelled, whatever failed before it.
  if (stop.Triggered() && std::any_of(toWrite.begin(), toWrite.end(), [&](size_t device) {
        return targets[device].status == kExitCancelled;
      }))
    return kExitCancelled;
  for (const Target& target : targets)
    if (target.status != kExitOk) return target.status;
  return kExitOk;
}

}  // namespace kesto::cli
