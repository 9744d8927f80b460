// Drives the running kesto-fw-gui.exe from another process with window
// messages only, as gui_netns_e2e.sh sets it up: two interfaces, and behind
// the second, in reply order, a good board, a board in TMODE, a board silent
// to the invitation and one that stops taking data. The window runs with the
// product's limits. Environment ('|' between rows): KESTO_TEST_FOLDER (the
// firmware files, as Windows names them), KESTO_TEST_INTERFACES (the
// selector's rows), KESTO_TEST_DEVICES (the device list's rows).
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "app/firmware_writer_dlg.h"
#include "app/win32/dialog_front_end.h"
#include "dialog_driver.h"
#include "texts/operator_texts.h"

using namespace kesto;
using namespace kesto::test;

namespace {

std::vector<std::string> Split(const char* text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text ? text : "");
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

TEST(Win32WindowInNamespace, AsTheOperatorMeetsIt) {
  Driver d;
  d.folder = std::getenv("KESTO_TEST_FOLDER");
  ASSERT_TRUE(d.Find(app::kWindowTitle));
  ASSERT_TRUE(d.Busy(false));

  // Both addresses offered, the first chosen; the search goes out of the second.
  ASSERT_EQ(d.Rows(ControlId::kInterfaceSelector, CB_GETCOUNT, CB_GETLBTEXT),
            Split(std::getenv("KESTO_TEST_INTERFACES"), '|'));
  EXPECT_EQ(SendMessageW(d.Item(ControlId::kInterfaceSelector), CB_GETCURSEL, 0, 0), 0);
  d.Select(1, ControlId::kInterfaceSelector);
  d.Click(ControlId::kSearchButton);
  EXPECT_TRUE(Eventually([&] { return d.Busy(); }));
  ASSERT_TRUE(Eventually([&] { return d.Busy(false); }));
  auto rows = Split(std::getenv("KESTO_TEST_DEVICES"), '|');
  ASSERT_EQ(d.Rows(), rows);

  ASSERT_TRUE(d.Write(0, "KS_N_netns.bin", IDOK));
  EXPECT_EQ(d.Message(0), "正常終了");
  EXPECT_TRUE(d.Busy());  // until the message is answered
  EXPECT_EQ(d.Message(), "正常終了");
  const auto idleAgain = [&] { return d.Busy(false) && !d.Enabled(ControlId::kWriteButton); };
  EXPECT_TRUE(Eventually(idleAgain));
  rows.erase(rows.begin());  // now: TMODE, silent, stalling
  EXPECT_EQ(d.Rows(), rows);
  EXPECT_EQ(d.List(LB_GETCURSEL), LB_ERR);

  d.Select(0);
  d.Click(ControlId::kWriteButton);
  EXPECT_EQ(d.Message(), Utf8FromWide(app::ControlText(kMessageTmode).c_str()));
  ASSERT_TRUE(d.Write(2, "other.bin"));
  EXPECT_EQ(d.Message(), kMessageWrongFile);
  ASSERT_TRUE(d.Write(1, "KS_N_netns.bin", IDOK));
  EXPECT_EQ(d.Message(), "KESTO通信エラー\r\nデバイスが書き込み開始の通知に応答しませんでした。");
  EXPECT_TRUE(Eventually(idleAgain));
  EXPECT_EQ(d.Rows(), rows);

  // While the stalling device holds the write, Escape and Enter change nothing.
  ASSERT_TRUE(d.Write(2, "KS_N_netns.bin", IDOK));
  ASSERT_TRUE(Eventually([&] { return d.Busy(); }));
  d.Post(WM_KEYDOWN, VK_ESCAPE);
  d.Post(WM_KEYDOWN, VK_RETURN);
  ASSERT_TRUE(d.Handled());
  EXPECT_TRUE(d.Busy());
  EXPECT_EQ(d.Owned(0xFFFF), nullptr);
  const std::string stalled = d.Message();
  EXPECT_EQ(stalled.rfind("ネットワークエラー:10060 (", 0), 0u) << stalled;
  EXPECT_NE(stalled.find(")\r\n転送中にデバイスが"), std::string::npos) << stalled;  // the step
  EXPECT_TRUE(Eventually(idleAgain));

  const HWND list = d.Item(ControlId::kDeviceList), caption = d.Item(ControlId::kVersionCaption);
  for (const char key : {'K', 'Z', 'J'}) d.Post(WM_KEYDOWN, static_cast<WPARAM>(key), list);
  EXPECT_TRUE(Eventually([&] { return Text(caption) == "Version 1.03 *"; }));

  d.Post(WM_KEYDOWN, VK_ESCAPE);
  EXPECT_TRUE(Eventually([&] { return !IsWindow(d.dialog); }));
}

}  // namespace
