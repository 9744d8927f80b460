#pragma once

// What the operator reads: the window's messages, its file filter and the
// outcome of a write. Plain text without Qt, so the command line says the same.

#include <string>
#include <string_view>
#include <system_error>

#include "update/preflight.h"
#include "update/result.h"

namespace kesto {

inline constexpr const char* kMessageNoInterface = "ネットワークデバイスが見つかりませんでした。";
inline constexpr const char* kMessageSelectDevice = "デバイスを選択してください";
inline constexpr const char* kMessageFirewall = "ファイアウォールを許可してください";
inline constexpr const char* kMessageTmode =
    "TMODE状態でのファームウェア更新はできません。\nTMODEを解除してください。";
inline constexpr const char* kMessageWrongFile = "ファームウェアファイルが異なります。";
inline constexpr const char* kMessageStopWrite = "書き込み中です。中止しますか？";

// kMessageNoInterface, followed by the system's words when the cause was that the host's
// interfaces could not be read.
std::string NoInterfaceMessage(const std::error_code& cause = {});

// The file dialog's filter text, "|"-separated entries ended by "||".
std::string FileDialogFilter(std::string_view prefix, bool hiddenMode);

// "%s を書き込みます。", and the device's list entry on a line of its own
// when one is given, so that the operator sees which device is written.
std::string WriteConfirmationText(std::string_view firmwarePath, std::string_view deviceEntry = {});

// Why a write was refused before it began: the window's message for the
// check that failed, an image's with what is wrong with the file.
std::string PreflightMessage(const PreflightResult& result);

// The message for a write's outcome. A network error carries its number and
// the system's words for it; a file error the system's words when known. The
// step that failed, when known, follows on a line of its own.
std::string ResultMessage(const WriteOutcome& outcome);

// That line alone: which step failed, with the device's own words where it
// gave some. Empty when there is no cause.
std::string CauseText(const WriteOutcome& outcome);

}  // namespace kesto
