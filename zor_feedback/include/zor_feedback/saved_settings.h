// saved_settings.h - the settings of a Correction that an operator sets per
// monitor or corrector (masks and kick limits), as lines of text by name, for
// a control system's database to keep across a restart; restored by name on
// whatever matrix is served then.
#ifndef ZOR_FEEDBACK_SAVED_SETTINGS_H
#define ZOR_FEEDBACK_SAVED_SETTINGS_H

#include <string>
#include <vector>

#include "zor_feedback/correction.h"
#include "zor_feedback/export.h"

namespace zor_feedback {

// Only what differs from a new matrix's defaults (every monitor and corrector
// in use, no limit): a restored name is masked or limited, one not listed is not.
struct SavedSettings {
  std::vector<std::string> masked_monitors;    // "NAME:x", "NAME:y"
  std::vector<std::string> masked_correctors;  // the same
  std::vector<std::string> kick_limits;        // "NAME:x MIN MAX MAX_STEP" ("inf": no limit)

  bool operator==(const SavedSettings& o) const {
    return masked_monitors == o.masked_monitors && masked_correctors == o.masked_correctors &&
           kick_limits == o.kick_limits;
  }
  bool operator!=(const SavedSettings& o) const { return !(*this == o); }
};

ZOR_FEEDBACK_API SavedSettings saved_settings_of(const Correction& c);

// Puts `s` on `c`, which holds its matrix's defaults, by name: masks first,
// then limits, each as set_monitor_enabled, set_corrector_enabled and
// set_limit take it. A name the matrix lacks, a line that cannot be read and
// a value the correction refuses are left out and listed, with the reason;
// the rest is restored.
ZOR_FEEDBACK_API CarryReport restore_saved_settings(Correction& c, const SavedSettings& s);

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SAVED_SETTINGS_H
