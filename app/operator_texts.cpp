#include "app/operator_texts.h"

#include "platform/format.h"

namespace kesto {

std::string FileDialogFilter(std::string_view prefix, bool hiddenMode) {
  const std::string p(prefix);
  if (hiddenMode)
    return Format("Firmware file (%s*.bin)|%s*.bin|all files(*.*)|*.*||", p.c_str(), p.c_str());
  return Format("Firmware file (%s*.bin)|%s*.bin||", p.c_str(), p.c_str());
}

std::string WriteConfirmationText(std::string_view firmwarePath, std::string_view deviceEntry) {
  std::string text = Format("%s を書き込みます。", std::string(firmwarePath).c_str());
  if (!deviceEntry.empty()) {
    text += '\n';
    text += deviceEntry;
  }
  return text;
}

std::string PreflightMessage(const PreflightResult& result) {
  switch (result.failed) {
    case PreflightCheck::kPassed:
      return {};
    case PreflightCheck::kListener:
      return kMessageFirewall;
    case PreflightCheck::kTmode:
      return kMessageTmode;
    case PreflightCheck::kFileName:
      return kMessageWrongFile;
    case PreflightCheck::kImage:
      break;
  }
  return "ファームウェアファイルエラー (" + result.reason + ")";
}

std::string ResultMessage(const WriteOutcome& outcome) {
  switch (outcome.result) {
    case WriteResult::kSuccess:
      return "正常終了";
    case WriteResult::kDeviceError:
      return "KESTO通信エラー";
    case WriteResult::kFileError:
      if (outcome.systemError != 0)
        return "ファームウェアファイルエラー (" + SystemErrorText(outcome.systemError) + ")";
      return "ファームウェアファイルエラー";
    case WriteResult::kInternalError:
      return "内部エラー";
    case WriteResult::kNoConnection:
      return "通信タイムアウト\r\nファイアウォール設定が誤っている可能性があります";
    case WriteResult::kCancelled:
      return "書き込みを中止しました。デバイスのファームウェアは元のままです。";
    case WriteResult::kNetworkError:
      break;
  }
  return Format("ネットワークエラー:%d (%s)", outcome.systemError,
                SystemErrorText(outcome.systemError).c_str());
}

}  // namespace kesto
