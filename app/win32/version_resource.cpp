#include "app/win32/version_resource.h"

#include <windows.h>

#include <vector>

#include "app/window_rules.h"
#include "platform/version_text.h"

namespace kesto::app {

std::string OwnVersionText() {
  // The program file may sit on a long path.
  std::vector<wchar_t> path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return ProgramVersionText();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.data(), &ignored);
  if (size == 0) return ProgramVersionText();
  std::vector<unsigned char> block(size + 1);
  if (!GetFileVersionInfoW(path.data(), 0, size, block.data())) return ProgramVersionText();
  void* value = nullptr;
  UINT valueSize = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &valueSize))
    return ProgramVersionText();
  if (!VerQueryValueW(block.data(), L"\\", &value, &valueSize) ||
      valueSize < sizeof(VS_FIXEDFILEINFO))
    return ProgramVersionText();
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  return VersionText(HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                     HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
}

}  // namespace kesto::app
