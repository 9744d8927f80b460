#include "texts/operator_texts.h"

#include "platform/format.h"

namespace kesto {
namespace {

// The window's result message of the code, the first line.
std::string ResultHeadline(const WriteOutcome& outcome) {
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

}  // namespace

std::string NoInterfaceMessage(const std::error_code& cause) {
  if (!cause) return kMessageNoInterface;
  return std::string(kMessageNoInterface) + " (" + cause.message() + ")";
}

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

std::string CauseText(const WriteOutcome& outcome) {
  // Device words are shown quoted, short already, and without control
  // characters that a terminal would take as commands.
  std::string words = outcome.deviceWords;
  for (char& c : words)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  words = "「" + words + "」";
  switch (outcome.cause) {
    case WriteCause::kNone:
      break;
    case WriteCause::kNoAnswer:
      return "デバイスが書き込み開始の通知に応答しませんでした。";
    case WriteCause::kBadAnswer:
      return "デバイスの応答を解釈できませんでした: " + words;
    case WriteCause::kPasswordRefused:
      return "デバイスがパスワードを受け付けませんでした。";
    case WriteCause::kNoAuthReply:
      return "デバイスがパスワードの認証に応答しませんでした。";
    case WriteCause::kTransferBroken:
      return "転送中にデバイスが接続を切断したか、応答しなくなりました。";
    case WriteCause::kFinalWords:
      return "デバイスがファームウェアを受け付けませんでした: " + words;
    case WriteCause::kImageRefused:
      return "デバイスが転送中にファームウェアを拒否しました: " + words;
    case WriteCause::kNeverConnected:
      return "または、ファームウェアがデバイスの更新領域より大きいため拒否された可能性があります。";
  }
  return {};
}

std::string ResultMessage(const WriteOutcome& outcome) {
  const std::string cause = CauseText(outcome);
  const std::string first = ResultHeadline(outcome);
  return cause.empty() ? first : first + "\r\n" + cause;
}

}  // namespace kesto
