#include "platform/files.h"

#include "platform/errors.h"

namespace kesto {

std::optional<std::int64_t> RegularFileSize(const std::string& path, int* error) {
  const std::optional<FileStatus> status = StatusOfFile(path, error);
  if (!status) return std::nullopt;
  if (status->type == FileType::kRegular) return status->size;
  if (error) *error = status->type == FileType::kDirectory ? errors::kIsDirectory : 0;
  return std::nullopt;
}

}  // namespace kesto
