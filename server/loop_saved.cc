// The correction's masks and kick limits as saved settings, and their
// restore by name (the library's rule) as one re-inversion.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "loop_core.h"

namespace zor_feedback {
namespace server {

std::optional<zor_feedback::SavedSettings> FeedbackLoop::saved_settings() {
  Core& k = *core_;
  std::unique_lock<std::timed_mutex> work(k.work, std::defer_lock);
  // A step holds it for milliseconds; a re-inversion in it, for seconds.
  if (!lock_within(work, std::chrono::milliseconds(250))) return std::nullopt;
  std::lock_guard<std::mutex> lock(k.mutex);
  return k.correction ? zor_feedback::saved_settings_of(*k.correction) : zor_feedback::SavedSettings{};
}

FeedbackLoop::Outcome FeedbackLoop::restore_saved(const zor_feedback::SavedSettings& saved,
                                                  std::chrono::milliseconds wait) {
  // The change runs on a copy first, here, and again on the correction when
  // served: the same result, so the first run's report is the one told.
  // The worker only reads `report` (made already), so it needs no lock.
  auto report = std::make_shared<std::optional<zor_feedback::CarryReport>>();
  Outcome out = reinvert_correction(
      "the saved masks and kick limits",
      [saved, report](zor_feedback::Correction& c) {
        zor_feedback::CarryReport r = zor_feedback::restore_saved_settings(c, saved);
        if (!*report) *report = std::move(r);
        return std::string();
      },
      wait);
  if (!*report || out.kind == Outcome::busy) return out;
  out.text += ": " + (*report)->text();
  if (!(*report)->dropped.empty()) {  // told where the operator looks: HISTORY
    Core& k = *core_;
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.sim) k.sim->note("saved settings not restored: " + (*report)->text());
    k.events.post(kInversionStatus);
  }
  return out;
}

}  // namespace server
}  // namespace zor_feedback
