// The window's behaviour through a fake front end: what the operator would
// see at start-up, during searches and writes against simulated devices on
// loopback, and at the close box. WindowCore needs no network; WindowOnLoopback
// searches on loopback (left out under Wine, see tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "app/demo.h"
#include "app/demo_devices.h"
#include "app/firmware_writer_dlg.h"
#include "app/start_options.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "support/test_support.h"
#include "texts/line_breaks.h"
#include "texts/operator_texts.h"

using namespace kesto;
using namespace kesto::app;
namespace kt = kesto::testing;
using Strings = std::vector<std::string>;

namespace {

constexpr ControlId kSelector = ControlId::kInterfaceSelector;

template <typename T>
T Next(std::deque<T>& queue, T otherwise) {
  if (queue.empty()) return otherwise;
  T next = std::move(queue.front());
  queue.pop_front();
  return next;
}

// Records what the controls show and answers the modal questions from a
// script. Posted calls wait in a queue that the test runs as the window's
// thread would.
class FakeFrontEnd final : public WindowFrontEnd {
 public:
  std::map<ControlId, bool> enabled, visible;
  std::map<ControlId, std::string> texts;
  std::string formats;  // the bar's texts, one per line
  std::vector<int> progress;
  Strings interfaces, rows, messages, filters;
  int selected = -1, ended = 0;
  std::deque<bool> answers;       // for OK/Cancel boxes; OK when empty
  std::deque<std::string> files;  // chosen paths; cancelled when empty

  // As SetIdle leaves the controls (when idle, Write has rules of its own).
  bool Shows(bool idle) {
    for (const ControlId c : {kSelector, ControlId::kSearchButton, ControlId::kDeviceList})
      if (enabled[c] != idle) return false;
    return visible[ControlId::kProgressBar] != idle &&
           visible[ControlId::kVersionCaption] == idle &&
           (idle || !enabled[ControlId::kWriteButton]);
  }
  bool Idle() { return Shows(true); }
  bool Busy() { return Shows(false); }
  // Runs posted calls until done() holds; false when nothing more came in time.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      std::unique_lock lock(mutex_);
      if (!posted_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) return false;
      std::function<void()> call = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      call();
    }
    return true;
  }
  void RunPosted() {
    RunUntil([] { return false; }, 0);
  }

  void SetEnabled(ControlId control, bool on) override { enabled[control] = on; }
  void SetVisible(ControlId control, bool on) override { visible[control] = on; }
  void SetText(ControlId control, const std::string& text) override { texts[control] = text; }
  void AppendToLog(std::string_view piece) override { texts[ControlId::kLogPane] += piece; }
  void SetProgress(int percent) override { progress.push_back(percent); }
  void SetProgressText(const std::string& format) override { formats += format + "\n"; }
  void SetInterfaceRows(const Strings& all, int) override { interfaces = all; }
  void ClearDeviceRows() override { rows.clear(); }
  void AddDeviceRow(const std::string& text) override { rows.push_back(text); }
  void RemoveDeviceRow(int row) override { rows.erase(rows.begin() + row); }
  int SelectedDeviceRow() const override { return selected; }
  void ClearDeviceSelection() override { selected = -1; }
  bool ShowMessage(const std::string& text, bool okCancel) override {
    messages.push_back(text);
    return !okCancel || Next(answers, true);
  }
  std::string OpenFirmwareFile(const std::string& filter, const std::string&) override {
    filters.push_back(filter);
    return Next(files, std::string());
  }
  void Post(std::function<void()> call) override {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(call));
    posted_.notify_one();
  }
  void EndModal(int result) override { ended = result; }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
};

// Loopback as the only interface, the simulator's ports, short waits.
WindowSetup TestSetup(const sim::Ports& ports) {
  WindowSetup setup;
  setup.interfaces = DemoInterfaces;
  setup.ports = {ports.discovery, ports.query, ports.update};
  setup.searchLimits.quietMs = 300;
  setup.searchLimits.pauseMs = 10;
  setup.updateLimits.answerWaitMs = 500;
  setup.updateLimits.connectWaitMs = 2000;
  return setup;
}

// A window on its fake, started up.
struct Window {
  explicit Window(WindowSetup setup) : dlg(std::move(setup), ui) { started = dlg.OnInitDialog(); }
  void Search() {
    dlg.OnSearch();
    ASSERT_TRUE(ui.RunUntil([this] { return !dlg.Running(); }));
  }
  void Select(int row) {
    ui.selected = row;
    dlg.OnDeviceSelectionChanged();
  }
  // Selects row, chooses file and confirms; true when the report came.
  bool Write(int row, const std::string& file) {
    Select(row);
    ui.files = {file};
    const size_t shown = ui.messages.size();
    dlg.OnWrite();
    return ui.RunUntil([&] { return !dlg.Running() && ui.messages.size() > shown + 1; });
  }
  FakeFrontEnd ui;
  CFirmwareWriterDlg dlg;
  bool started = false;
};

TEST(WindowCore, RulesOfTheCaption) {
  EXPECT_EQ(VersionText(1, 0, 3, 0), "Version 1.03");
  EXPECT_EQ(VersionText(1, 2, 3, 4), "Version 1.234");
  EXPECT_EQ(VersionText(2, 10, 0, 0), "Version 2.100");
  const int k1 = kHiddenKeys[0], k2 = kHiddenKeys[1], k3 = kHiddenKeys[2];
  const struct {
    std::vector<int> keys;
    int counter;
  } sequences[] = {{{k1, k3, k2, k3}, 0}, {{k2, k3, k1}, 2}, {{k1, k1, 'A', k2, k3}, 0}};
  for (const auto& sequence : sequences) {
    Window window(TestSetup(kt::NextTestPorts()));
    for (const int key : sequence.keys) window.dlg.OnKeyDown(key);
    EXPECT_EQ(window.dlg.HiddenModeCounter(), sequence.counter);
    EXPECT_EQ(window.ui.texts[ControlId::kVersionCaption],
              sequence.counter == 0 ? "Version 1.03 *" : "Version 1.03");
  }
}

TEST(WindowCore, StartOptionsAndLineBreaksOfEveryFrontEnd) {
  const struct {
    Strings arguments;
    int hostPort;  // -1: ends the program with status
    int status;
  } cases[] = {{{}, 0, 0},
               {{"--demo", "--host-port", "40000"}, 40000, 0},
               {{"--host-port=65535", "--host-port", "2"}, 2, 0},
               {{"--version"}, -1, 0},
               {{"--host-port", "65536"}, -1, kUsageError},
               {{"--host-port", "0"}, -1, kUsageError},
               {{"--host-port", "http"}, -1, kUsageError},
               {{"--host-port"}, -1, kUsageError},
               {{"--demo", "extra"}, -1, kUsageError}};
  for (const auto& c : cases) {
    const auto parsed = ParseStartOptions(c.arguments, "Version 1.03");
    const auto* options = std::get_if<StartOptions>(&parsed);
    EXPECT_EQ(options ? int(options->hostPort) : -1, c.hostPort);
    if (!options) {
      EXPECT_EQ(std::get<StartEnding>(parsed).status, c.status);
    }
  }
  EXPECT_EQ(std::get<StartEnding>(ParseStartOptions({"--version"}, "Version 1.03")).text,
            "KESTO_NW_FirmwareWriter Version 1.03\n");
  EXPECT_EQ(WithLineBreaks("a\r\nb\nc\r", "\n"), "a\nb\nc\r");
  EXPECT_EQ(WithLineBreaks("\na\r\n", "\r\n"), "\r\na\r\n");
}

TEST(WindowCore, StartsIdleWithWriteDisabledAndEndsOnEscape) {
  Window window(TestSetup(kt::NextTestPorts()));
  ASSERT_TRUE(window.started);
  EXPECT_EQ(window.ui.interfaces, Strings{"127.0.0.1 (lo)"});
  EXPECT_EQ(window.dlg.SelectedLocalAddress(), "127.0.0.1");
  EXPECT_TRUE(window.ui.Idle());
  EXPECT_FALSE(window.ui.enabled[ControlId::kWriteButton]);
  EXPECT_FALSE(window.ui.visible[ControlId::kLogPane]);
  EXPECT_TRUE(window.dlg.OnClose(CloseRequest::kEscape));
  EXPECT_TRUE(window.dlg.OnClose(CloseRequest::kCloseBox));
  EXPECT_TRUE(window.ui.messages.empty());
}

TEST(WindowCore, NoUsableInterfaceOrNoThread) {
  WindowSetup setup = TestSetup(kt::NextTestPorts());
  setup.interfaces = [] { return InterfaceTable{}; };
  Window none(std::move(setup));
  EXPECT_FALSE(none.started);
  EXPECT_EQ(none.ui.ended, -1);
  EXPECT_EQ(none.ui.messages, Strings{kMessageNoInterface});
  setup = TestSetup(kt::NextTestPorts());
  setup.interfaces = []() -> Result<InterfaceTable> {
    return Failure(FileError(errors::kNoMemory));
  };
  Window unreadable(std::move(setup));
  EXPECT_EQ(unreadable.ui.messages, Strings{std::string(kMessageNoInterface) + " (" +
                                            SystemErrorText(errors::kNoMemory) + ")"});

  setup = TestSetup(kt::NextTestPorts());
  setup.startThread = [](std::thread&, std::function<void()>) { return errors::kWouldBlock; };
  Window window(std::move(setup));
  window.dlg.OnSearch();  // a search that cannot start returns to idle
  EXPECT_EQ(window.ui.messages,
            Strings{Format("処理を開始できませんでした:%d", errors::kWouldBlock)});
  EXPECT_TRUE(window.ui.Idle());
  EXPECT_FALSE(window.dlg.Running());
}

enum Row { kSecured = 0, kTmode, kWiFi, kStalling, kPlain };

// One simulator for the suite, and the list of the first search.
class WindowOnLoopback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    devices_ = {sim::MakeDevice("127.0.0.2", 'B', 1, 125, 0, 1),
                sim::MakeDevice("127.0.0.3", 'B', 2, 125, 2, 15),
                sim::MakeDevice("127.0.0.4", 'L', 3, 125, 0, 15),
                sim::MakeDevice("127.0.0.5", 'X', 4, 125, 0, 1),
                sim::MakeDevice("127.0.0.6", 'B', 5, 125, 0, 1)};
    for (size_t i = 0; i < devices_.size(); ++i)  // replies in list order
      devices_[i].faults.replyDelayMs = 25 * int(i);
    devices_[kSecured].password = "PELICANUS";
    // Late enough to be seen waiting, slow enough to be seen transferring.
    devices_[kSecured].faults.connectDelayMs = 300;
    devices_[kSecured].faults.ackDelayMs = 10;
    devices_[kWiFi].rssi = -58;
    devices_[kStalling].faults.stallAfterBytes = 2048;
    simulator_ = std::make_unique<sim::Simulator>(devices_, ports_);
    ASSERT_EQ(simulator_->Start(), 0);
    folder_ = std::make_unique<kt::TempDir>();
    folder_->Write("KS_N_test.bin", kt::PatternBytes(20 * 1024 + 100));
    folder_->Write("stall.bin", kt::PatternBytes(16 * 1024));
    folder_->Write("firmware.img", kt::PatternBytes(6000));
    folder_->Write("KS_N_empty.bin", "");
  }
  static void TearDownTestSuite() {
    simulator_.reset();
    folder_.reset();
  }
  // A window that has searched, with rows in the order of devices_.
  static std::unique_ptr<Window> Searched(WindowSetup setup = TestSetup(ports_)) {
    auto window = std::make_unique<Window>(std::move(setup));
    window->Search();
    if (entries_.empty()) entries_ = window->ui.rows;
    return window;
  }
  static std::string Sample(const char* name) { return folder_->PathOf(name); }

  static inline std::vector<sim::DeviceConfig> devices_;
  static inline sim::Ports ports_ = kt::NextTestPorts();
  static inline std::unique_ptr<sim::Simulator> simulator_;
  static inline std::unique_ptr<kt::TempDir> folder_;
  static inline Strings entries_;
};

TEST_F(WindowOnLoopback, SearchFillsTheListInSlotOrder) {
  Window window(TestSetup(ports_));
  for (int round = 0; round < 2; ++round) {
    window.ui.progress.clear();
    window.ui.formats.clear();
    window.dlg.OnSearch();
    // Emptied and busy at once, before the worker has done anything.
    EXPECT_TRUE(window.ui.rows.empty());
    EXPECT_TRUE(window.ui.Busy());
    EXPECT_FALSE(window.dlg.OnClose(CloseRequest::kEscape));
    window.dlg.OnSearch();  // a click already queued starts nothing
    ASSERT_TRUE(window.ui.RunUntil([&] { return !window.dlg.Running(); }));
    EXPECT_TRUE(window.ui.Idle());
    EXPECT_TRUE(window.ui.enabled[ControlId::kWriteButton]);  // although nothing is selected
    EXPECT_EQ(window.ui.formats, "検索中…\n検索中…\nデバイス情報を取得中…\n一覧を作成中…\n");
    EXPECT_EQ(window.ui.progress, (std::vector<int>{0, 0}));  // a search never moves the bar
    window.Select(2);
  }
  ASSERT_EQ(window.ui.rows.size(), devices_.size());
  if (entries_.empty()) entries_ = window.ui.rows;
  EXPECT_EQ(window.ui.rows, entries_);
  EXPECT_TRUE(window.ui.rows[kWiFi].ends_with("(-58 dBm)"));
  for (size_t i = 0; i < devices_.size(); ++i)
    EXPECT_EQ(window.dlg.Devices().records[i].addressText, devices_[i].address);
  window.Select(-1);
  EXPECT_FALSE(window.ui.enabled[ControlId::kWriteButton]);
  EXPECT_TRUE(window.ui.messages.empty());
}

TEST_F(WindowOnLoopback, ClosingDuringASearchStopsIt) {
  WindowSetup setup = TestSetup(kt::NextTestPorts());
  setup.searchLimits.quietMs = 3'600'000;  // nobody answers there: ended only by the close
  Window window(std::move(setup));
  window.dlg.OnSearch();
  EXPECT_FALSE(window.dlg.OnClose(CloseRequest::kEscape));   // ignored while busy
  EXPECT_TRUE(window.dlg.OnClose(CloseRequest::kCloseBox));  // no question during a search
  EXPECT_FALSE(window.dlg.Running());
  window.ui.RunPosted();
  EXPECT_TRUE(window.ui.Busy());  // the stopped run's end is dropped
  EXPECT_TRUE(window.ui.messages.empty());
}

TEST_F(WindowOnLoopback, RefusedSearchShowsTheNetworkError) {
  WindowSetup setup = TestSetup(ports_);
  setup.ports.discovery = 0;  // the system refuses a datagram to port 0
  Window window(std::move(setup));
  window.Search();
  EXPECT_TRUE(window.ui.rows.empty());
  ASSERT_EQ(window.ui.messages.size(), 1u);
  EXPECT_TRUE(window.ui.messages[0].starts_with(
      Format("ネットワークエラー:%d ", errors::kInvalidArgument)));
}

TEST_F(WindowOnLoopback, ChecksBeforeTheFileDialog) {
  WindowSetup setup = TestSetup(ports_);
  // 192.0.2.1 is on no interface here, so nothing can listen there.
  setup.interfaces = [] {
    InterfaceTable table = DemoInterfaces();
    table.push_back(table[0]);
    table[1].address = *ParseIpv4("192.0.2.1");
    return table;
  };
  auto window = Searched(std::move(setup));
  window->dlg.OnWrite();
  window->Select(kTmode);
  window->dlg.OnWrite();
  window->dlg.OnInterfaceChanged(1);
  window->dlg.OnWrite();
  EXPECT_EQ(window->ui.messages, (Strings{kMessageSelectDevice, kMessageTmode, kMessageFirewall}));
  EXPECT_TRUE(window->ui.filters.empty());
  EXPECT_FALSE(window->dlg.LogText().empty());  // the listener check's lines stay
  EXPECT_TRUE(window->ui.Idle());
}

TEST_F(WindowOnLoopback, FileChoiceAndConfirmation) {
  auto window = Searched();
  window->Select(kWiFi);  // TMODE (id 15) matters only for boards and wireless
  window->dlg.OnWrite();  // the file dialog is cancelled
  EXPECT_EQ(window->ui.filters, Strings{"Firmware file (KESTOWiFi*.bin)|KESTOWiFi*.bin||"});
  EXPECT_TRUE(window->ui.texts[ControlId::kLogPane].empty());  // cleared on the way to the file

  window->Select(kSecured);
  window->ui.files = {Sample("ks_n_test.bin"), Sample("KS_N_empty.bin"), Sample("KS_N_test.bin")};
  window->ui.answers = {false};  // Cancel at the confirmation
  for (int press = 0; press < 3; ++press) {
    window->dlg.OnWrite();  // the image is examined off the window's thread
    ASSERT_TRUE(window->ui.RunUntil([&] { return !window->dlg.Running(); }));
  }
  ASSERT_EQ(window->ui.messages.size(), 3u);
  EXPECT_EQ(window->ui.messages[0], kMessageWrongFile);
  EXPECT_TRUE(window->ui.messages[1].starts_with("ファームウェアファイルエラー ("));  // empty
  EXPECT_EQ(window->ui.messages[2], WriteConfirmationText(Sample("KS_N_test.bin"), entries_[0]));
  EXPECT_EQ(window->dlg.FirmwarePath(), Sample("KS_N_test.bin"));
  EXPECT_TRUE(window->ui.Idle());
  EXPECT_EQ(simulator_->Invitations(kSecured), 0);
}

TEST_F(WindowOnLoopback, WriteShowsItsPhasesAndRemovesTheDevice) {
  auto window = Searched();
  window->Select(kSecured);
  window->ui.files = {Sample("KS_N_test.bin")};
  window->ui.progress.clear();
  window->dlg.OnWrite();  // confirmed
  EXPECT_TRUE(window->ui.Busy());
  EXPECT_FALSE(window->dlg.OnClose(CloseRequest::kEscape));
  ASSERT_TRUE(window->ui.RunUntil([&] { return !window->dlg.Running(); }));
  ASSERT_EQ(window->ui.messages.size(), 2u);
  EXPECT_EQ(window->ui.messages[1], "正常終了");
  EXPECT_TRUE(window->ui.formats.ends_with(
      "準備中…\n招待を送信中…\n認証中…\nデバイスの接続を待っています…\n転送中 %p%\n"
      "デバイスの応答を待っています…\n"));
  // Steps of the transfer rise to 100, then the report's idle sets 0.
  ASSERT_GE(window->ui.progress.size(), 4u);
  EXPECT_TRUE(std::is_sorted(window->ui.progress.begin(), window->ui.progress.end() - 1));
  EXPECT_EQ(window->ui.progress.end()[-2], 100);
  EXPECT_EQ(window->ui.progress.back(), 0);
  // Entry 0 and slot 0 are gone; the rest moved up in both.
  EXPECT_EQ(window->ui.rows, Strings(entries_.begin() + 1, entries_.end()));
  for (size_t slot = 0; slot + 1 < devices_.size(); ++slot)
    EXPECT_EQ(window->dlg.Devices().records[slot].addressText, devices_[slot + 1].address);
  EXPECT_EQ(window->ui.selected, -1);
  EXPECT_FALSE(window->ui.enabled[ControlId::kWriteButton]);
  EXPECT_TRUE(window->ui.Idle());
  ASSERT_TRUE(simulator_->WaitForSessions(kSecured, 1, 5000));
  EXPECT_TRUE(simulator_->Sessions(kSecured).back().accepted);
}

TEST_F(WindowOnLoopback, CloseBoxDuringAWriteAsks) {
  WindowSetup setup = TestSetup(ports_);
  setup.updateLimits.stallMs = 3'600'000;  // the stalled transfer ends only by the close
  auto window = Searched(std::move(setup));
  const size_t sessions = simulator_->Sessions(kStalling).size();
  window->Select(kStalling);
  window->ui.files = {Sample("stall.bin")};
  window->dlg.OnWrite();
  ASSERT_TRUE(window->ui.RunUntil([&] { return window->ui.progress.back() > 0; }));
  window->ui.answers = {false, true};
  EXPECT_FALSE(window->dlg.OnClose(CloseRequest::kCloseBox));  // Cancel: the write goes on
  EXPECT_EQ(window->ui.messages.back(), kMessageStopWrite);
  EXPECT_TRUE(window->ui.Busy());
  EXPECT_TRUE(window->dlg.OnClose(CloseRequest::kCloseBox));  // OK: stopped and joined
  EXPECT_FALSE(window->dlg.Running());
  EXPECT_TRUE(simulator_->WaitForSessions(kStalling, sessions + 1, 5000));
  window->ui.RunPosted();
  EXPECT_EQ(window->ui.messages.size(), 3u);  // no report of the stopped write
}

TEST_F(WindowOnLoopback, NetworkErrorExplainsItselfAndKeepsTheDevice) {
  WindowSetup setup = TestSetup(ports_);
  setup.updateLimits.stallMs = 300;
  auto window = Searched(std::move(setup));
  ASSERT_TRUE(window->Write(kStalling, Sample("stall.bin")));
  // and, on a line of its own, the step that failed
  EXPECT_EQ(window->ui.messages[1],
            Format("ネットワークエラー:%d (%s)\r\n転送中にデバイスが接続を切断したか、"
                   "応答しなくなりました。",
                   errors::kTimedOut, SystemErrorText(errors::kTimedOut).c_str()));
  EXPECT_EQ(window->ui.rows, entries_);
  EXPECT_EQ(window->ui.selected, kStalling);
  EXPECT_FALSE(window->ui.enabled[ControlId::kWriteButton]);
  EXPECT_TRUE(window->ui.Idle());
}

TEST_F(WindowOnLoopback, HiddenModeAcceptsAnyFile) {
  auto window = Searched();
  for (const int key : kHiddenKeys) window->dlg.OnKeyDown(key);
  ASSERT_TRUE(window->Write(kPlain, Sample("firmware.img")));
  EXPECT_EQ(window->ui.filters,
            Strings{"Firmware file (KS_N*.bin)|KS_N*.bin|all files(*.*)|*.*||"});
  EXPECT_EQ(window->ui.messages[1], "正常終了");
  EXPECT_EQ(window->ui.texts[ControlId::kVersionCaption], "Version 1.03 *");
}

TEST_F(WindowOnLoopback, DemoStaysOnLoopbackAndEverySampleWritesIntoItsKind) {
  const sim::Ports ports = kt::NextTestPorts();
  sim::Simulator simulator(DemoDevices(), ports);
  ASSERT_EQ(simulator.Start(), 0);
  const kt::TempDir folder;
  ASSERT_TRUE(WriteDemoSamples(folder.PathOf("")));
  Window window(TestSetup(ports));
  window.Search();
  ASSERT_EQ(window.ui.rows.size(), 5u);
  // Rows move up as each written device leaves the list; TMODE (row 1) is refused.
  for (const char* sample :
       {"", "KS_N_demo.bin", "KS_N_demo.bin", "KESTOWiFi_demo.bin", "PQ_demo.bin"}) {
    window.ui.messages.clear();
    window.Select(*sample && window.ui.rows.size() == 5 ? 0 : 1);
    window.ui.files = {folder.PathOf(sample)};
    window.dlg.OnWrite();
    ASSERT_TRUE(window.ui.RunUntil([&] { return !window.dlg.Running(); }));
    EXPECT_EQ(window.ui.messages.back(), *sample ? "正常終了" : kMessageTmode);
  }
  EXPECT_EQ(window.ui.rows.size(), 1u);
}

}  // namespace
