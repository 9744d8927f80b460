#include "update/preflight.h"

#include <limits>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/format.h"
#include "update/image_file.h"
#include "update/md5.h"
#include "update/write_rules.h"

namespace kesto {
namespace {

PreflightResult Refused(PreflightCheck check, int systemError, std::string reason = {}) {
  return {check, systemError, std::move(reason)};
}

constexpr size_t kDigestPieceBytes = 64 * 1024;

tl::unexpected<PreflightResult> ImageRefused(int systemError, std::string reason) {
  return tl::unexpected(Refused(PreflightCheck::kImage, systemError, std::move(reason)));
}

// The system's words where it named the cause (FileCategory()); the
// provider's failures and a read without a cause stay unexplained.
tl::unexpected<PreflightResult> UnreadableImage(const std::error_code& error) {
  if (error.category() == FileCategory()) return ImageRefused(error.value(), error.message());
  return ImageRefused(0, "読み込めません");
}

}  // namespace

PreflightResult ListenerRefused(const std::error_code& error) {
  return Refused(PreflightCheck::kListener, error.value());
}

PreflightResult CheckDevice(const DeviceRecord& record) {
  return IsRefusedForTmode(record) ? Refused(PreflightCheck::kTmode, 0) : PreflightResult{};
}

PreflightResult CheckFileName(const DeviceRecord& record, std::string_view path, bool relaxed) {
  const std::string prefix = FilePrefixForKind(record.kind);
  if (FileNameMatchesPrefix(FileNameOf(path), prefix, relaxed)) return {};
  return Refused(PreflightCheck::kFileName, 0, prefix);
}

tl::expected<PreparedImage, PreflightResult> PrepareImage(const std::string& path) {
  const Result<FileStatus> status = StatusOfFile(path);
  if (!status) return ImageRefused(status.error().value(), status.error().message());
  switch (status->type) {
    case FileType::kRegular:
      break;
    case FileType::kDirectory:
      return ImageRefused(errors::kIsDirectory, "フォルダです");
    case FileType::kPipe:
      return ImageRefused(0, "パイプです（通常のファイルではありません）");
    case FileType::kOther:
      return ImageRefused(0, "通常のファイルではありません");
  }
  if (status->size == 0) return ImageRefused(0, "ファイルが空です");
  if (status->size > std::numeric_limits<int32_t>::max())
    return ImageRefused(0, "ファイルが大きすぎます");
  // Readable as a whole: opened here, then digested to the end.
  if (const Result<ImageFile> file = OpenImageFile(path); !file)
    return ImageRefused(file.error().value(), file.error().message());
  const Result<Md5Digest> digest = FileMd5(path, kDigestPieceBytes);
  if (!digest) return UnreadableImage(digest.error());
  return PreparedImage{path, static_cast<int32_t>(status->size), DigestText(*digest)};
}

}  // namespace kesto
