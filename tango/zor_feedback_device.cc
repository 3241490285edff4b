// The device's work outside its attribute reads: its properties, the
// notifier's pushes, the operator's settings kept and restored.
#include "zor_feedback_device.h"

namespace zor_feedback {
namespace tango {

void ZorFeedback::apply_units(const FeedbackLoop::CorrectionView& v) {
  if (v.orbit_unit == units_[0] && v.kick_unit == units_[1]) return;
  const bool known = !v.orbit_unit.empty() && !v.kick_unit.empty();
  const std::string matrix = known ? v.orbit_unit + "/" + v.kick_unit : "";
  set_unit("RESPONSE_MATRIX", matrix);
  set_unit("SINGULAR_VALUES", matrix);
  set_unit("INVERSE", known ? v.kick_unit + "/" + v.orbit_unit : "");
  set_unit("ORBIT", v.orbit_unit);
  set_unit("CORRECTORS", v.kick_unit);
  set_unit("KICK_LIMITS", v.kick_unit);
  set_unit("LAST_STEP", v.kick_unit);
  for (const char* orbit : {"ModeResidualX", "ModeResidualY", "RmsHistoryX", "RmsHistoryY"})
    set_unit(orbit, v.orbit_unit);
  for (const char* power : {"IntegratedSpectrumX", "IntegratedSpectrumY"})
    set_unit(power, v.orbit_unit + "^2");
  for (const char* density : {"OrbitSpectrumX", "OrbitSpectrumY"}) set_unit(density, v.orbit_unit + "^2/Hz");
  units_[0] = v.orbit_unit;
  units_[1] = v.kick_unit;
}

std::string ZorFeedback::read_device_properties(zor_feedback::sim::FeedbackSimulation::Settings* settings,
                                                double* period) {
  const std::string ring = zor_feedback::sim::example_data_path("ring_response.txt");
  std::string directory = ring.substr(0, ring.rfind('/') == std::string::npos ? 0 : ring.rfind('/'));
  std::string file = "ring_response.txt", inversion, method;
  Tango::DevLong64 limit = LLONG_MAX;
  limit_given_ = false;
  Tango::DbData ring_props;
  if (Tango::Util::_UseDb) {
    Tango::DbData props;
    for (const DeviceProperty& p : kDeviceProperties) props.push_back(Tango::DbDatum(p.name));
    get_db_device()->get_property(props);
    ring_props = props;
    if (!props[0].is_empty()) props[0] >> directory;
    if (!props[1].is_empty()) props[1] >> file;
    if (!props[2].is_empty() && (!(props[2] >> limit) || limit <= 0))
      return "device property MatrixFileLimit: not a positive number of bytes";
    limit_given_ = !props[2].is_empty();
    if (!props[3].is_empty()) {
      std::string error;
      if (!(props[3] >> *period) || !FeedbackLoop::period_ok(*period, &error))
        return "device property Period: " + (error.empty() ? std::string("not a number") : error);
    }
    if (!props[4].is_empty()) props[4] >> inversion;
    if (!props[5].is_empty()) props[5] >> method;
  }
  if (inversion == "classic")
    settings->inversion = zor_feedback::Inversion::classic;
  else if (inversion.empty() || inversion == "standard")
    settings->inversion = zor_feedback::Inversion::standard;
  else
    return "device property Inversion: '" + inversion + "' is neither standard nor classic";
  settings->method = settings->inversion == zor_feedback::Inversion::standard
                         ? zor_feedback::SvdMethod::lapack
                         : zor_feedback::SvdMethod::gsl;
  if (!method.empty() && !zor_feedback::parse_svd_method(method, &settings->method))
    return "device property SvdMethod: '" + method + "' is neither gsl nor lapack";
  if (!ring_props.empty()) {
    std::string error = read_ring_properties(
        std::move(ring_props), settings->inversion == zor_feedback::Inversion::standard, settings);
    if (!error.empty()) return error;
  }
  files_ = std::make_unique<zor_feedback::server::MatrixFiles>(directory, limit);
  if (!files_->ok()) return "device property MatrixDirectory: " + files_->error();
  std::string error;
  settings->matrix_file = files_->resolve(file, &error);
  if (settings->matrix_file.empty()) return "device property MatrixFile " + error;
  return {};
}

// OrbitSources and CorrectorSetpoints (props[6], props[7]), their timeouts
// and the read-backs (props[10] to [12]): the devices of the ring, or none.
std::string ZorFeedback::read_ring_properties(Tango::DbData props, bool standard,
                                              zor_feedback::sim::FeedbackSimulation::Settings* settings) {
  source_.reset();
  sink_.reset();
  if (props[6].is_empty() && props[7].is_empty())
    return props[10].is_empty() ? "" : "device property CorrectorReadbacks: only with OrbitSources";
  if (props[6].is_empty() || props[7].is_empty())
    return "device properties OrbitSources and CorrectorSetpoints: give both, or neither for the simulated "
           "ring";
  if (!standard) return "device property OrbitSources: the ring's devices need Inversion standard";
  Tango::DevLong timeout[2] = {500, 500};
  for (int k = 0; k < 2; ++k) {
    Tango::DbDatum& d = props[static_cast<std::size_t>(8 + k)];
    if (!d.is_empty() && (!(d >> timeout[k]) || timeout[k] < 1 || timeout[k] > 60000))
      return std::string("device property ") + (k == 0 ? "ReadTimeoutMs" : "WriteTimeoutMs") +
             ": not a number of milliseconds from 1 to 60000";
  }
  std::vector<std::string> sources;
  std::string setpoints, error;
  props[6] >> sources;
  props[7] >> setpoints;
  std::vector<zor_feedback::tango::AttributeName> names(sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i)
    if (!zor_feedback::tango::parse_attribute_name(sources[i], &names[i], &error))
      return "device property OrbitSources: " + error;
  zor_feedback::tango::AttributeName sink, readbacks;
  if (!zor_feedback::tango::parse_attribute_name(setpoints, &sink, &error))
    return "device property CorrectorSetpoints: " + error;
  if (!props[10].is_empty()) {
    std::string name;
    props[10] >> name;
    if (!zor_feedback::tango::parse_attribute_name(name, &readbacks, &error))
      return "device property CorrectorReadbacks: " + error;
    settings->readback = {0.05, 5};
    if ((!props[11].is_empty() && !(props[11] >> settings->readback.tolerance)) ||
        (!props[12].is_empty() && !(props[12] >> settings->readback.cycles)))
      return "device properties ReadbackTolerance, ReadbackCycles: not a number";
    if (std::string why = zor_feedback::loop::readback_rule_problem(settings->readback); !why.empty())
      return "device properties ReadbackTolerance, ReadbackCycles: " + why;
  }
  source_ = std::make_unique<zor_feedback::tango::DeviceOrbitSource>(std::move(names), timeout[0]);
  sink_ = std::make_unique<zor_feedback::tango::DeviceCorrectorSink>(std::move(sink), std::move(readbacks),
                                                                     timeout[1]);
  return {};
}

// Init and the device's end hold the monitor while they join the notifier:
// waiting inside TANGO's monitor would keep them waiting for its timeout
// (3.2 s, past a client's 3 s), so the notifier waits here, where it sees
// closing_.
bool ZorFeedback::monitor_free() {
  Tango::TangoMonitor& monitor = get_dev_monitor();
  while (monitor.get_locking_ctr() > 0) {
    if (closing_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return !closing_;
}

void ZorFeedback::changed(const ChangeQueue::Entry& e) {
  if (closing_ || !serving_) return;  // no subscriber before init_device is done
  if (!monitor_free()) return;
  const unsigned what = e.bits;
  try {
#pragma GCC diagnostic push  // TANGO's switch over the serialisation models has no default
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    Tango::AutoTangoMonitor sync(this);
#pragma GCC diagnostic pop
    if (closing_) return;  // Init took the monitor first
    if (what & FeedbackLoop::kCycle) {
      for (const char* p : {"ORBIT", "CORRECTORS", "HISTORY"}) published_->push_change_event(p);
      count_pushed({"ORBIT", "CORRECTORS", "HISTORY"});
    }
    if (e.cycle) {  // not for a CalcStep's orbit or a measurement's kicks: no cycle ran
      Tango::DevLong64 cycle = *e.cycle;
      push_change_event("Cycles", &cycle);
      count_pushed({"Cycles"});
      push_cycle_times();
      push_quality();
      if (*e.cycle % kSpectrumEvery == 1) push_spectra();
    }
    if (what & FeedbackLoop::kInverse) {
      for (const char* p : {"RESPONSE_MATRIX", "INVERSE", "SINGULAR_VALUES"})
        published_->push_change_event(p);
      push_spectra();  // a new matrix starts the window afresh
      const zor_feedback::SvdReport r = loop_->inversion();
      Tango::DevDouble tol = loop_->simulation_tolerance(), cond = r.condition_number;
      Tango::DevLong used = r.used, nosv = r.nosv;
      push_change_event("Tolerance", &tol);
      push_change_event("SingularValuesUsed", &used);
      push_change_event("Nosv", &nosv);
      push_change_event("ConditionNumber", &cond);
      count_pushed({"RESPONSE_MATRIX", "INVERSE", "SINGULAR_VALUES", "Tolerance", "SingularValuesUsed",
                    "Nosv", "ConditionNumber"});
    }
    if (what & (FeedbackLoop::kStep | FeedbackLoop::kCorrection)) push_correction(what);
    if (what & FeedbackLoop::kInversionStatus) {
      published_->push_change_event("HISTORY");
      std::string text = loop_->inversion_status();
      Tango::DevString s = const_cast<char*>(text.c_str());
      push_change_event("InversionStatus", &s);
      count_pushed({"HISTORY", "InversionStatus"});
    }
    if (what & FeedbackLoop::kMeasure) {
      Tango::DevDouble progress = loop_->measure_progress();
      std::string text = loop_->measure_status();
      Tango::DevString s = const_cast<char*>(text.c_str());
      push_change_event("MeasureProgress", &progress);
      push_change_event("MeasureStatus", &s);
      count_pushed({"MeasureProgress", "MeasureStatus"});
    }
    push_counters();
  } catch (const Tango::DevFailed&) {
    // the device's monitor stayed busy: these events are dropped, the next
    // change pushes the values again; a cycle's is counted as lost
    if (e.cycle) ++cycles_unpushed_;
  }
}

void ZorFeedback::remember_cut(int plane, double rcond, int keep) {
  const std::string p = plane == 0 ? "X" : "Y";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", rcond);
  zor_feedback::tango::remember(*this, "Cut" + p, text);
  zor_feedback::tango::remember(*this, "Keep" + p, std::to_string(keep));
}

void ZorFeedback::restore_settings(zor_feedback::Inversion inversion) {
  using Outcome = FeedbackLoop::Outcome;
  using Job = std::function<Outcome()>;
  const auto done = [](const std::string& refusal) {
    return Outcome{refusal.empty() ? Outcome::served : Outcome::refused, refusal};
  };
  std::vector<Job> jobs;
  if (saved_ != zor_feedback::SavedSettings{}) {
    const zor_feedback::SavedSettings saved = saved_;
    jobs.push_back([this, saved] { return loop_->restore_saved(saved, std::chrono::milliseconds(0)); });
  }
  double value = 0, keep = 0;
  for (int p = 0; p < 2; ++p)
    if (recall_number(p == 0 ? "GainX" : "GainY", &value))
      jobs.push_back([this, p, value, done] {
        return done(loop_->set_gain(static_cast<zor_feedback::Plane>(p), value));
      });
  for (int p = 0; p < 2; ++p)  // after the gains: its ki is the gain memorized with it
    if (const std::string text = zor_feedback::tango::recall(*this, p == 0 ? "ControllerX" : "ControllerY");
        !text.empty())
      jobs.push_back([this, p, text, done] {
        return done(loop_->set_controller(static_cast<zor_feedback::Plane>(p), text));
      });
  const std::string policy = zor_feedback::tango::recall(*this, "LimitPolicy");
  if (!policy.empty()) jobs.push_back([this, policy, done] { return done(loop_->set_policy(policy)); });
  const std::chrono::milliseconds now(0);
  if (inversion == zor_feedback::Inversion::classic && recall_number("Tolerance", &value))
    jobs.push_back([this, value, now] { return loop_->invert(value, now); });
  for (int p = 0; p < 2 && inversion == zor_feedback::Inversion::standard; ++p) {
    const std::string name = p == 0 ? "X" : "Y";
    const std::string filter = zor_feedback::tango::recall(*this, "Filter" + name);
    if (const zor_feedback::FilterParse f = zor_feedback::parse_filter(filter); !filter.empty() && f.filter) {
      jobs.push_back([this, p, chosen = *f.filter, now] {
        return loop_->set_filter(static_cast<zor_feedback::Plane>(p), chosen, now);
      });
      continue;
    }
    const bool cut = recall_number("Cut" + name, &value), kept = recall_number("Keep" + name, &keep);
    if (!cut && !kept) continue;
    const double rcond = cut ? value : -1.0;
    const int k = kept ? static_cast<int>(keep) : 0;
    jobs.push_back([this, p, rcond, k, now] {
      return loop_->set_cut(static_cast<zor_feedback::Plane>(p), rcond, k, now);
    });
  }
  if (jobs.empty()) {
    restored_ = true;  // nothing to restore: the next change saves
    return;
  }
  restorer_ = std::thread([this, jobs] {
    const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
    while (!closing_ && loop_->state() == FeedbackLoop::State::starting) pause();
    for (const Job& job : jobs) {
      Outcome out;
      while (!closing_ && (out = job()).kind == Outcome::busy) pause();  // Init or exit ends the wait
      if (out.kind == Outcome::refused)
        std::fprintf(stderr, "memorized setting not restored: %s\n", out.text.c_str());
      else if (out.kind == Outcome::served)  // what was left out is in HISTORY too
        std::fprintf(stderr, "restored: %s\n", out.text.c_str());
    }
    if (closing_) return;
    // Waits for the restore's inversion, so that the first save is of it.
    while (!closing_ && loop_->inversion_status().rfind("running", 0) == 0) pause();
    restored_ = true;
    save_settings();
  });
}

void ZorFeedback::recall_saved() {
  saved_ = {};
  if (!Tango::Util::_UseDb) {
    std::fprintf(stderr, "no database: the masks and kick limits will not be kept across a restart\n");
    return;
  }
  try {
    Tango::DbData props;
    for (const char* name : kSaved) props.push_back(Tango::DbDatum(name));
    get_db_device()->get_property(props);
    std::vector<std::string>* into[] = {&saved_.masked_monitors, &saved_.masked_correctors,
                                        &saved_.kick_limits};
    for (std::size_t k = 0; k < props.size(); ++k)
      if (!props[k].is_empty()) props[k] >> *into[k];
  } catch (const Tango::DevFailed& e) {
    saved_ = {};
    std::fprintf(stderr, "saved masks and kick limits not read: %s\n", e.errors[0].desc.in());
  }
}

// From the loop's threads. TANGO's file database (a server run with -file=)
// is not safe against two writers at once, and a memorized attribute's write
// holds the device's monitor: so a save holds it too.
void ZorFeedback::save_settings() {
  if (!Tango::Util::_UseDb || !monitor_free()) return;
  try {
#pragma GCC diagnostic push  // TANGO's switch over the serialisation models has no default
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    Tango::AutoTangoMonitor sync(this);
#pragma GCC diagnostic pop
    write_saved();
  } catch (const Tango::DevFailed& e) {  // the monitor not had: the next change saves
    save_pending_ = true;
    std::fprintf(stderr, "masks and kick limits not saved: %s\n", e.errors[0].desc.in());
  }
}

// The filters served, memorized as FilterX and FilterY (an automatic one as
// the strength it chose): a restart restores them before CutX and KeepX, which
// cannot hold a Tikhonov filter. Written here, from what is served, so that
// they follow every way a filter changes.
void ZorFeedback::remember_filters() {
  for (int p = 0; p < 2; ++p) {
    const std::string name = p == 0 ? "FilterX" : "FilterY";
    const std::string text = zor_feedback::to_string(loop_->plane_settings(p).cut.filter);
    if (zor_feedback::tango::recall(*this, name) != text) zor_feedback::tango::remember(*this, name, text);
  }
}

// Under the device's monitor.
void ZorFeedback::write_saved() {
  std::lock_guard<std::mutex> lock(saving_);
  // serving_: loop_ is in place (the first inversion may be served before).
  if (!Tango::Util::_UseDb || !restored_ || closing_ || !serving_) return;
  try {
    remember_filters();
  } catch (const Tango::DevFailed& e) {
    std::fprintf(stderr, "filters not memorized: %s\n", e.errors[0].desc.in());
  }
  const std::optional<zor_feedback::SavedSettings> taken = loop_->saved_settings();
  save_pending_ = !taken;
  if (!taken || *taken == saved_) return;
  const zor_feedback::SavedSettings& now = *taken;
  const std::vector<std::string>* from[] = {&now.masked_monitors, &now.masked_correctors, &now.kick_limits};
  Tango::DbData put, gone;  // TANGO keeps no empty list: an empty one is deleted
  for (std::size_t k = 0; k < 3; ++k) {
    Tango::DbDatum d(kSaved[k]);
    std::vector<std::string> lines = *from[k];  // TANGO's operator<< takes a non-const vector
    if (!lines.empty()) d << lines;
    (from[k]->empty() ? gone : put).push_back(d);
  }
  try {
    if (!put.empty()) get_db_device()->put_property(put);
    if (!gone.empty()) get_db_device()->delete_property(gone);
    saved_ = now;
  } catch (const Tango::DevFailed& e) {
    std::fprintf(stderr, "masks and kick limits not saved: %s\n", e.errors[0].desc.in());
  }
}

bool ZorFeedback::recall_number(const std::string& attribute, double* value) {
  const std::string text = zor_feedback::tango::recall(*this, attribute);
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && std::isfinite(*value);
}

void ZorFeedback::push_correction(unsigned what) {
  FeedbackLoop::CorrectionView v = loop_->correction();
  if (what & FeedbackLoop::kCorrection) apply_units(v);
  if (what & FeedbackLoop::kStep) {
    v.last_step.reserve(1);
    push_change_event("LAST_STEP", v.last_step.data(), static_cast<long>(v.last_step.size()));
    Strings limited, used;
    limited.set(v.last_limited);
    used.set(v.last_monitors);
    push_change_event("LAST_STEP_LIMITED", limited.ptrs.data(), limited.size());
    push_change_event("LAST_STEP_MONITORS", used.ptrs.data(), used.size());
    Tango::DevString status = const_cast<char*>(v.step_status.c_str());
    push_change_event("StepStatus", &status);
  }
  if (!(what & FeedbackLoop::kCorrection)) return;
  Strings names[2];
  names[0].set(v.monitors);
  names[1].set(v.correctors);
  push_change_event("MONITOR_NAMES", names[0].ptrs.data(), names[0].size());
  push_change_event("CORRECTOR_NAMES", names[1].ptrs.data(), names[1].size());
  for (const bool monitors : {true, false}) {
    Booleans on = booleans(monitors ? v.monitor_enabled : v.corrector_enabled);
    push_change_event(monitors ? "MONITOR_ENABLED" : "CORRECTOR_ENABLED", on.values.get(), on.size);
  }
  std::vector<Tango::DevDouble> limits = limit_rows(v.limits);
  push_change_event("KICK_LIMITS", limits.data(), 3, static_cast<long>(v.limits.size()));
  for (int k = 0; k < 2; ++k) {
    const std::string plane = k == 0 ? "X" : "Y";
    Tango::DevDouble cut = cut_value(v.planes[k]), gain = v.planes[k].gain;
    Tango::DevLong keep = v.planes[k].cut.filter.keep();
    push_change_event("Cut" + plane, &cut);
    push_change_event("Keep" + plane, &keep);
    std::string filter = zor_feedback::to_string(v.planes[k].cut.filter);
    Tango::DevString filter_ptr = const_cast<char*>(filter.c_str());
    push_change_event("Filter" + plane, &filter_ptr);
    push_change_event("Gain" + plane, &gain);
    std::string controller = zor_feedback::loop::controller_text(v.controller[k]);
    Tango::DevString controller_ptr = controller.data();
    push_change_event("Controller" + plane, &controller_ptr);
  }
  std::string policy = zor_feedback::limit_policy_name(v.policy);
  Tango::DevString p = policy.data();
  push_change_event("LimitPolicy", &p);
}

}  // namespace tango
}  // namespace zor_feedback
