#include "texts/phase_texts.h"

namespace kesto {

PhaseText PhaseTextOf(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::kInvitation:
      return {"招待を送信中…", "invitation"};
    case UpdatePhase::kAuthentication:
      return {"認証中…", "authentication"};
    case UpdatePhase::kWaitingForDevice:
      return {"デバイスの接続を待っています…", "waiting for device"};
    case UpdatePhase::kTransfer:
      return {"転送中 %p%", "transfer"};
    case UpdatePhase::kFinalAnswer:
      return {"デバイスの応答を待っています…", "final answer"};
  }
  return {"%p%", ""};
}

const char* SearchPhaseText(SearchPhase phase) {
  switch (phase) {
    case SearchPhase::kBroadcast:
      return "検索中…";
    case SearchPhase::kQuerying:
      return "デバイス情報を取得中…";
    case SearchPhase::kListing:
      return "一覧を作成中…";
  }
  return "検索中…";
}

}  // namespace kesto
