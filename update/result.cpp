#include "update/result.h"

#include "platform/format.h"

namespace kesto {

std::string ResultMessage(int32_t code) {
  switch (code) {
    case kResultSuccess:
      return "正常終了";
    case kResultDeviceError:
      return "KESTO通信エラー";
    case kResultFileError:
      return "ファームウェアファイルエラー";
    case kResultInternalError:
      return "内部エラー";
    case kResultNoConnection:
      return "通信タイムアウト\r\nファイアウォール設定が誤っている可能性があります";
    default:
      return Format("ネットワークエラー:%d", code);
  }
}

}  // namespace kesto
