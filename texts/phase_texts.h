#pragma once

// What a display says while a write or a search runs, in each front end's words.

#include "discovery/discovery.h"
#include "update/update_run.h"

namespace kesto {

struct PhaseText {
  // The window's bar, a format where "%p" is the percentage. Only the
  // transfer knows one; the other phases can last seconds and say what is
  // awaited.
  const char* bar;
  // The command line's progress column.
  const char* name;
};

PhaseText PhaseTextOf(UpdatePhase phase);

// The window's bar during a search.
const char* SearchPhaseText(SearchPhase phase);

// The bar between the confirmation and the run's first phase.
inline constexpr const char* kPreparingText = "準備中…";

}  // namespace kesto
