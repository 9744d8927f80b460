#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "discovery/device_table.h"

namespace kesto {

// File-name prefix of a device kind: "KESTOWiFi", "KS_N", "PQ" or empty.
std::string FilePrefixForKind(int32_t kind);

// Kinds 5 and 7 with idValue 15 are in TMODE and must not be written.
bool IsRefusedForTmode(const DeviceRecord& record);

// The file dialog's filter text, "|"-separated entries ended by "||".
std::string FileDialogFilter(std::string_view prefix, bool hiddenMode);

// Normal mode: the file name cut to the prefix's length must equal the
// prefix, byte for byte (so case-sensitively); a name shorter than the prefix
// fails, an empty prefix passes. A folder part before the last '/' is ignored.
// Hidden mode: always true.
bool FileNameMatchesPrefix(std::string_view fileName, std::string_view prefix, bool hiddenMode);

// "%s を書き込みます。"
std::string WriteConfirmationText(std::string_view firmwarePath);

inline constexpr int kProbeFailed = -1;

// Opens (and closes) a TCP listener on localAddress, logging each step.
// Returns 0 when possible, kProbeFailed (negative) when not.
int ProbeListenerPort(const std::string& localAddress,
                      const std::function<void(std::string_view)>& log);

// Operator messages of the write checks.
inline constexpr const char* kMessageSelectDevice = "デバイスを選択してください";
inline constexpr const char* kMessageFirewall = "ファイアウォールを許可してください";
inline constexpr const char* kMessageTmode =
    "TMODE状態でのファームウェア更新はできません。\nTMODEを解除してください。";
inline constexpr const char* kMessageWrongFile = "ファームウェアファイルが異なります。";

}  // namespace kesto
