// zor_feedback_device.h - the device of class ZorFeedback: the demo's orbit
// feedback (server/) served as one TANGO device. Its attribute table and
// declared properties are in zor_feedback_class.cc, main() in
// zor_feedback_main.cc.
//
//
//   ZorFeedbackServer INSTANCE -nodb -dlist DEVICE -ORBendPoint giop:tcp:127.0.0.1:PORT
//
// The properties of the feedback location (RESPONSE_MATRIX, INVERSE,
// SINGULAR_VALUES, ORBIT, CORRECTORS, HISTORY) are published by the property
// adapter; this file adds the loop's own attributes and commands. Device
// properties, where a TANGO database (or -file=) provides them:
//   MatrixDirectory  the only directory matrix files are read from (default:
//                    the installed example data, else the source tree's)
//   MatrixFile       in it (default ring_response.txt)
//   MatrixFileLimit  the largest file LoadMatrix reads, bytes (default 16 per
//                    served element + 1 MiB)
//   Period           seconds (default 0.5)
//   Inversion        standard (default) or classic (invert(), for a site that
//                    tuned its tolerance against it)
//   SvdMethod        gsl or lapack (default: lapack for standard, gsl for
//                    classic)
//   OrbitSources     the ring behind other devices: the orbit attributes, in
//                    the matrix's row order (e.g. sim/ring/1/OrbitX,
//                    sim/ring/1/OrbitY; tango://host:port/...#dbase=no too)
//   CorrectorSetpoints  the attribute that takes every corrector's set-point
//                    in one write; with both the device starts in STANDBY and
//                    moves the ring only after Start (standard inversion only)
//   ReadTimeoutMs, WriteTimeoutMs  for those devices (default 500 each)
//   CorrectorReadbacks  the correctors' read-back attribute: each cycle the
//                    read-backs are compared with the set-points last written;
//                    a corrector off by more than ReadbackTolerance (kick unit,
//                    default 0.05) for ReadbackCycles cycles (default 5) trips
// Re-inversions run off the lock: a command answers within kAnswerWithin,
// with the outcome when it is known by then; else InversionStatus (and its
// change event) tells it later.
//
// The correction (the loop's step with Inversion=standard, a
// zor_feedback::Correction over the matrix file's labels; index names and
// plane x for a file without them):
//   MONITOR_NAMES, CORRECTOR_NAMES        string spectra
//   MONITOR_ENABLED, CORRECTOR_ENABLED    boolean spectra, read-write, one value each
//   KICK_LIMITS                           double image, a row per corrector: min, max, max_step
//   CutX/CutY (rcond, -1 default), KeepX/KeepY (keep N instead), GainX/GainY, LimitPolicy
//   LAST_STEP, LAST_STEP_LIMITED, LAST_STEP_MONITORS, StepStatus: the last computed step
//   ControllerX/Y  the plane's controller by its text ("pi kp=0.2 ki=0.5"), its ki the plane's gain
//   ModeResidualX/Y, RmsHistoryX/Y  the last cycle's error per mode, the orbit rms of the last cycles
//   OrbitSpectrumX/Y, IntegratedSpectrumX/Y, SpectrumFrequencies  the orbit's power spectrum over
//              the last 256 cycles (Welch, averaged over the plane's monitors) and its running integral
//   CalcStep   a dry run from the last measured orbit and the present kicks
//   ApplyStep  sets the kicks of CalcStep's step (loop stopped, nothing changed since)
//   Undo       restores the kicks from before the newest applied step (loop stopped)
// A write the library refuses, or of the wrong size, raises DevFailed with its
// reason and changes nothing. With Inversion=standard the served INVERSE,
// SINGULAR_VALUES, SingularValuesUsed, ConditionNumber and Tolerance are
// those of the inverse the step applies: the planes' inverses assembled
// (loop_inverse.cc); a write of a mask or a cut (Tolerance: of both planes)
// re-inverts and takes effect when its inverse is served. With
// Inversion=classic the loop steps by the whole matrix's inverse and the
// correction's writes and commands are refused.
#ifndef ZOR_FEEDBACK_TANGO_ZOR_FEEDBACK_DEVICE_H
#define ZOR_FEEDBACK_TANGO_ZOR_FEEDBACK_DEVICE_H

#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <tango.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device_io.h"
#include "example_data.h"
#include "feedback_loop.h"
#include "matrix_files.h"
#include "member_attribute.h"
#include "memorized.h"
#include "property_attributes.h"
#include "signal_relay.h"
#include "zor_feedback/blas_info.h"
#include "zor_feedback/loop/readback_watch.h"

namespace zor_feedback {
namespace tango {

using zor_feedback::server::ChangeQueue;
using zor_feedback::server::FeedbackLoop;
using zor_feedback::tango::AttributeText;

// The device properties the device reads at Init, in the order it reads
// them; the class declares them to the database with these texts.
struct DeviceProperty {
  const char* name;
  const char* description;
};
inline constexpr DeviceProperty kDeviceProperties[] = {
    {"MatrixDirectory",
     "the only directory matrix files are read from (default: the installed example data)"},
    {"MatrixFile", "the matrix file in MatrixDirectory (default ring_response.txt)"},
    {"MatrixFileLimit", "the largest file LoadMatrix reads, bytes (default 16 per served element + 1 MiB)"},
    {"Period", "seconds between two correction cycles (default 0.5)"},
    {"Inversion", "standard (default) or classic"},
    {"SvdMethod", "gsl or lapack (default: lapack for standard, gsl for classic)"},
    {"OrbitSources", "the ring behind other devices: the orbit attributes in the matrix's row order"},
    {"CorrectorSetpoints", "the attribute that takes every corrector's set-point in one write"},
    {"ReadTimeoutMs", "the orbit's and read-backs' read timeout, ms (default 500)"},
    {"WriteTimeoutMs", "the set-points' write timeout, ms (default 500)"},
    {"CorrectorReadbacks", "the correctors' read-back attribute, compared each cycle with the set-points"},
    {"ReadbackTolerance",
     "a read-back further than this from its set-point is off (kick unit, default 0.05)"},
    {"ReadbackCycles", "a corrector off for this many cycles trips the loop (default 5)"},
};

constexpr double default_period_s = 0.5;

constexpr std::chrono::milliseconds kAnswerWithin{250};
constexpr long long kBytesPerValue = 16, kSpareBytes = 1 << 20;

[[noreturn]] inline void refuse(const char* reason, const std::string& desc, const char* origin) {
  Tango::Except::throw_exception(reason, desc.c_str(), origin);
}

// A refusal of the loop (empty: none) as DevFailed.
inline void check(const std::string& refusal, const char* reason, const char* origin) {
  if (!refusal.empty()) refuse(reason, refusal, origin);
}

// A scalar that has no use for a value that is not finite refuses it before
// anything else, as TANGO itself would.
inline void finite_only(double value, const char* attribute) {
  if (!std::isfinite(value))
    refuse("API_WAttrOutsideLimit",
           std::string("Set value for attribute ") + attribute + " is a NaN or INF value, refused",
           "ZorFeedback::write_attribute");
}

// The largest spectrum (names, masks, steps) and image (limits) the device serves.
constexpr long kMaxLength = 100000;

// A string spectrum as TANGO takes it, kept until TANGO has copied it.
struct Strings {
  std::vector<std::string> texts;
  std::vector<Tango::DevString> ptrs;
  void set(std::vector<std::string> v) {
    texts = std::move(v);
    ptrs.clear();
    ptrs.reserve(1);  // never a null buffer
    for (std::string& t : texts) ptrs.push_back(t.data());
  }
  long size() const { return static_cast<long>(ptrs.size()); }
};

// A mask as TANGO takes it (std::vector<bool> has no buffer).
struct Booleans {
  std::unique_ptr<Tango::DevBoolean[]> values;
  long size = 0;
};
inline Booleans booleans(const std::vector<bool>& v) {
  Booleans b{std::make_unique<Tango::DevBoolean[]>(std::max<std::size_t>(v.size(), 1)),
             static_cast<long>(v.size())};
  std::copy(v.begin(), v.end(), b.values.get());
  return b;
}

// One row per corrector: min, max, max_step.
inline std::vector<Tango::DevDouble> limit_rows(const std::vector<zor_feedback::KickLimit>& limits) {
  std::vector<Tango::DevDouble> out;
  out.reserve(3 * limits.size() + 1);
  for (const zor_feedback::KickLimit& l : limits) out.insert(out.end(), {l.min, l.max, l.max_step});
  return out;
}

// A read's values in a buffer of TANGO's own: it sends them after the
// device's monitor is released.
template <class T>
void set_copy(Tango::Attribute& att, const std::vector<T>& v, long x, long y = 0) {
  auto* copy = new T[std::max<std::size_t>(v.size(), 1)];
  std::copy(v.begin(), v.end(), copy);
  att.set_value(copy, x, y, true);
}

inline double cut_value(const zor_feedback::PlaneSettings& p) {
  return p.cut.filter.kind() == zor_feedback::Filter::Kind::rcond ? p.cut.filter.value() : -1.0;
}

inline const std::map<std::string, AttributeText>& published_texts() {
  static const std::map<std::string, AttributeText> texts = {
      {"RESPONSE_MATRIX",
       {"Response matrix", "mm/mrad", "orbit response of each monitor (row) to each corrector (column)",
        "%.4e"}},
      {"INVERSE",
       {"Inverse", "mrad/mm",
        "the inverse the loop applies (correctors x monitors): standard: each plane's inverse of the "
        "monitors "
        "and correctors in use, zero elsewhere, so that the step is -gain * INVERSE * ORBIT within the "
        "limits; classic: the inverse of RESPONSE_MATRIX",
        "%.4e"}},
      {"SINGULAR_VALUES",
       {"Singular values", "mm/mrad",
        "of what INVERSE inverts (standard: the planes' sub-matrices in use), non-increasing", "%.4e"}},
      {"ORBIT", {"Orbit", "mm", "the orbit measured at each monitor in the last cycle", "%.4f"}},
      {"CORRECTORS", {"Correctors", "mrad", "the setting of each corrector", "%.4f"}},
      {"HISTORY", {"History", "", "newest first: UTC time, then what the server did", "%s"}},
  };
  return texts;
}

class ZorFeedback : public TANGO_BASE_CLASS {  // the newest device base of the cppTango built against
 public:
  ZorFeedback(Tango::DeviceClass* cl, std::string& device) : TANGO_BASE_CLASS(cl, device) { init_device(); }
  ~ZorFeedback() override { delete_device(); }

  void init_device() override {
    zor_feedback::sim::FeedbackSimulation::Settings settings;
    double period = default_period_s;
    property_error_ = read_device_properties(&settings, &period);
    if (!property_error_.empty()) return set_state(Tango::FAULT);  // the status says why
    closing_ = false;
    const bool first_start = carried_ == nullptr;
    if (first_start) {
      restored_ = false;  // until the restore's end: a save before it would overwrite what it restores
      recall_saved();     // before the loop's notifier may save
    }
    // The first inversion runs while the attributes and events are put in
    // place; the loop starts when it is served.
    // The settings of the loop before Init go on by name on the new matrix.
    loop_ = std::make_unique<FeedbackLoop>(
        settings, files_->name_of(settings.matrix_file), period,
        [this](const ChangeQueue::Entry& e) {
          changed(e);
          // Outside the device's monitor; again at the next change while a step held it.
          if ((e.bits & FeedbackLoop::kCorrection) || save_pending_) save_settings();
        },
        std::move(carried_), source_.get(), sink_.get());
    if (loop_->simulation() == nullptr) return set_state(Tango::FAULT);  // the status says why
    if (!limit_given_) {
      const auto* sim = loop_->simulation();
      files_->set_max_bytes(kBytesPerValue * sim->monitors() * sim->correctors() + kSpareBytes);
    }
    published_ = std::make_unique<zor_feedback::tango::PropertyAttributes>(
        *this, loop_->simulation()->location(), loop_->mutex(), published_texts());
    for (const auto& t : published_texts()) published_->enable_change_events(t.first);
    for (const char* a : kOwn) set_change_event(a, true, false);
    serving_ = true;
    try {
#pragma GCC diagnostic push  // TANGO's switch over the serialisation models has no default
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
      Tango::AutoTangoMonitor sync(this);  // the notifier may apply them too from here on
#pragma GCC diagnostic pop
      apply_units(loop_->correction());  // when the first inversion was served before serving_
    } catch (const Tango::DevFailed& e) {
      Tango::Except::print_exception(e);
    }
    if (first_start) restore_settings(settings.inversion);  // after Init: the settings carried
  }

  void delete_device() override {
    write_saved();  // what the notifier has not saved yet; Init holds the monitor
    {
      std::lock_guard<std::mutex> lock(saving_);  // no save uses loop_ from here on
      closing_ = true;
    }
    serving_ = false;
    if (restorer_.joinable()) restorer_.join();
    carried_ = loop_ ? loop_->settings_copy() : nullptr;
    loop_.reset();  // joins the loop's threads first: nothing pushes after this
    source_.reset();
    sink_.reset();
    published_.reset();
    files_.reset();
  }

  Tango::DevState dev_state() override {
    if (!loop_ || !property_error_.empty()) {
      set_state(Tango::FAULT);
      return get_state();
    }
    switch (loop_->state()) {
      case FeedbackLoop::State::starting:
        set_state(Tango::INIT);
        break;
      case FeedbackLoop::State::running:
        set_state(Tango::RUNNING);
        break;
      case FeedbackLoop::State::alarm:
      case FeedbackLoop::State::tripped:
        set_state(Tango::ALARM);
        break;
      case FeedbackLoop::State::stopped:
        set_state(Tango::STANDBY);
        break;
      case FeedbackLoop::State::fault:
        set_state(Tango::FAULT);
        break;
    }
    return get_state();
  }

  Tango::ConstDevString dev_status() override {
    status_ = loop_ && property_error_.empty() ? loop_->status() : "fault: " + property_error_;
    return status_.c_str();
  }

  // Everything but State, Status and Init needs the simulation; refused in
  // FAULT with the reason.
  void require_serving(const char* origin) {
    if (!serving_) refuse("ZorFeedback_Fault", "refused in FAULT: " + std::string(dev_status()), origin);
  }

  // --- Attributes
  void read_tolerance(Tango::Attribute& att) {
    tolerance_ = loop_->simulation_tolerance();
    att.set_value(&tolerance_);
  }
  void write_tolerance(Tango::WAttribute& att) {
    Tango::DevDouble tol = 0;
    att.get_write_value(tol);
    finite_only(tol, "Tolerance");
    answer(loop_->invert(tol, kAnswerWithin), "ZorFeedback::write_Tolerance");
    for (int p = 0; p < 2; ++p) remember_cut(p, tol, 0);  // what a restart restores with standard
  }
  void read_used(Tango::Attribute& att) {
    used_ = loop_->inversion().used;
    att.set_value(&used_);
  }
  void read_nosv(Tango::Attribute& att) {
    nosv_ = loop_->inversion().nosv;
    att.set_value(&nosv_);
  }
  void read_condition_number(Tango::Attribute& att) {
    condition_number_ = loop_->inversion().condition_number;
    att.set_value(&condition_number_);
  }
  void read_period(Tango::Attribute& att) {
    period_ = loop_->period();
    att.set_value(&period_);
  }
  void write_period(Tango::WAttribute& att) {
    Tango::DevDouble seconds = 0;
    att.get_write_value(seconds);
    finite_only(seconds, "Period");
    std::string error;
    if (!loop_->set_period(seconds, &error))
      refuse("ZorFeedback_BadPeriod", error, "ZorFeedback::write_Period");
    period_ = loop_->period();
    push_change_event("Period", &period_);
  }
  // The change events pushed since the start, per attribute (those of the
  // cycles, inversions and measurements): a client that counts fewer lost some.
  void count_pushed(std::initializer_list<const char*> names) {
    for (const char* n : names) ++pushed_[n];
  }
  void fill_counters() {
    event_names_.clear();
    events_pushed_.clear();
    for (const auto& p : pushed_) {
      event_names_.push_back(const_cast<char*>(p.first.c_str()));
      events_pushed_.push_back(p.second);
    }
    event_names_.reserve(1);  // never a null buffer
    events_pushed_.reserve(1);
  }
  void read_event_names(Tango::Attribute& att) {
    fill_counters();
    att.set_value(event_names_.data(), static_cast<long>(event_names_.size()));
  }
  void read_events_pushed(Tango::Attribute& att) {
    fill_counters();
    att.set_value(events_pushed_.data(), static_cast<long>(events_pushed_.size()));
  }
  // The counters themselves, after each change (not counted: they would count themselves).
  void push_counters() {
    fill_counters();
    push_change_event("EventNames", event_names_.data(), static_cast<long>(event_names_.size()));
    push_change_event("EventsPushed", events_pushed_.data(), static_cast<long>(events_pushed_.size()));
    events_dropped_ = loop_->events_dropped() + cycles_unpushed_;
    push_change_event("EventsDropped", &events_dropped_);
  }
  void read_events_dropped(Tango::Attribute& att) {
    events_dropped_ = loop_->events_dropped() + cycles_unpushed_;
    att.set_value(&events_dropped_);
  }
  void read_cycles(Tango::Attribute& att) {
    cycles_ = loop_->cycles();
    att.set_value(&cycles_);
  }
  long fill_cycle_times() {
    const zor_feedback::loop::CycleTimes t = loop_->cycle_times();
    const auto ms = [](zor_feedback::loop::Duration d) {
      return std::chrono::duration<double, std::milli>(d).count();
    };
    cycle_times_ = {ms(t.p50), ms(t.p99), ms(t.max)};
    return t.count > 0 ? 3L : 0L;
  }
  void read_cycle_times(Tango::Attribute& att) { att.set_value(cycle_times_.data(), fill_cycle_times()); }
  void push_cycle_times() {
    const long n = fill_cycle_times();
    push_change_event("CycleTimes", cycle_times_.data(), n);
    count_pushed({"CycleTimes"});
  }
  void read_measure_progress(Tango::Attribute& att) {
    measure_progress_ = loop_->measure_progress();
    att.set_value(&measure_progress_);
  }
  void read_measure_status(Tango::Attribute& att) {
    measure_status_ = loop_->measure_status();
    measure_status_ptr_ = const_cast<char*>(measure_status_.c_str());
    att.set_value(&measure_status_ptr_);
  }
  void read_inversion_status(Tango::Attribute& att) {
    inversion_status_ = loop_->inversion_status();
    inversion_status_ptr_ = const_cast<char*>(inversion_status_.c_str());
    att.set_value(&inversion_status_ptr_);
  }

  // --- The correction's attributes
  void read_monitor_names(Tango::Attribute& att) { read_names(att, true); }
  void read_corrector_names(Tango::Attribute& att) { read_names(att, false); }
  void read_names(Tango::Attribute& att, bool monitors) {
    FeedbackLoop::CorrectionView v = loop_->correction();
    Strings& s = names_[monitors ? 0 : 1];
    s.set(monitors ? std::move(v.monitors) : std::move(v.correctors));
    att.set_value(s.ptrs.data(), s.size(), 0, false);
  }
  void read_monitor_enabled(Tango::Attribute& att) {
    Booleans on = booleans(loop_->correction().monitor_enabled);
    att.set_value(on.values.release(), on.size, 0, true);
  }
  void read_corrector_enabled(Tango::Attribute& att) {
    Booleans on = booleans(loop_->correction().corrector_enabled);
    att.set_value(on.values.release(), on.size, 0, true);
  }
  void write_monitor_enabled(Tango::WAttribute& att) { write_enabled(att, true); }
  void write_corrector_enabled(Tango::WAttribute& att) { write_enabled(att, false); }
  void write_enabled(Tango::WAttribute& att, bool monitors) {
    const Tango::DevBoolean* values = nullptr;
    att.get_write_value(values);
    const long n = values != nullptr ? att.get_write_value_length() : 0;
    const std::vector<bool> on(values, values + n);
    answer(loop_->set_enabled(monitors, on, kAnswerWithin), "ZorFeedback::write_attribute",
           "ZorFeedback_MaskRefused");
  }
  void read_kick_limits(Tango::Attribute& att) {
    const std::vector<zor_feedback::KickLimit> limits = loop_->correction().limits;
    set_copy(att, limit_rows(limits), 3, static_cast<long>(limits.size()));
  }
  void write_kick_limits(Tango::WAttribute& att) {
    const Tango::DevDouble* values = nullptr;
    att.get_write_value(values);
    const long x = att.get_w_dim_x(), y = att.get_w_dim_y();
    if (values == nullptr || x != 3)
      refuse("ZorFeedback_LimitsRefused",
             "KICK_LIMITS refused: one row per corrector of 3 values (min, max, max_step) is expected, not " +
                 std::to_string(x) + " values a row",
             "ZorFeedback::write_KICK_LIMITS");
    std::vector<zor_feedback::KickLimit> limits(static_cast<std::size_t>(y));
    for (std::size_t j = 0; j < limits.size(); ++j)
      limits[j] = {values[3 * j], values[3 * j + 1], values[3 * j + 2]};
    check(loop_->set_limits(limits), "ZorFeedback_LimitsRefused", "ZorFeedback::write_KICK_LIMITS");
  }
  void read_last_step(Tango::Attribute& att) {
    const std::vector<double> step = loop_->correction().last_step;
    set_copy(att, step, static_cast<long>(step.size()));
  }
  void read_last_step_limited(Tango::Attribute& att) {
    step_names_[0].set(loop_->correction().last_limited);
    att.set_value(step_names_[0].ptrs.data(), step_names_[0].size(), 0, false);
  }
  void read_last_step_monitors(Tango::Attribute& att) {
    step_names_[1].set(loop_->correction().last_monitors);
    att.set_value(step_names_[1].ptrs.data(), step_names_[1].size(), 0, false);
  }
  void read_step_status(Tango::Attribute& att) {
    step_status_ = loop_->step_status();
    step_status_ptr_ = const_cast<char*>(step_status_.c_str());
    att.set_value(&step_status_ptr_);
  }
  template <int P>
  void read_filter(Tango::Attribute& att) {
    filter_[P] = zor_feedback::to_string(loop_->plane_settings(P).cut.filter);
    filter_ptr_[P] = const_cast<char*>(filter_[P].c_str());
    att.set_value(&filter_ptr_[P]);
  }
  template <int P>
  void write_filter(Tango::WAttribute& att) {
    Tango::DevString text = nullptr;
    att.get_write_value(text);
    const zor_feedback::FilterParse f = zor_feedback::parse_filter(text != nullptr ? text : "");
    if (!f.filter) refuse("ZorFeedback_CutRefused", f.error, "ZorFeedback::write_attribute");
    answer(loop_->set_filter(static_cast<zor_feedback::Plane>(P), *f.filter, kAnswerWithin),
           "ZorFeedback::write_attribute", "ZorFeedback_CutRefused");
  }
  template <int P>
  void read_cut(Tango::Attribute& att) {
    plane_values_[P][0] = cut_value(loop_->plane_settings(P));
    att.set_value(&plane_values_[P][0]);
  }
  template <int P>
  void write_cut(Tango::WAttribute& att) {
    Tango::DevDouble rcond = 0;
    att.get_write_value(rcond);
    finite_only(rcond, P == 0 ? "CutX" : "CutY");  // no singular value passes an infinite cut
    answer(loop_->set_cut(static_cast<zor_feedback::Plane>(P), rcond, 0, kAnswerWithin),
           "ZorFeedback::write_attribute", "ZorFeedback_CutRefused");
    remember_cut(P, rcond, 0);
  }
  template <int P>
  void read_keep(Tango::Attribute& att) {
    keep_[P] = loop_->plane_settings(P).cut.filter.keep();
    att.set_value(&keep_[P]);
  }
  template <int P>
  void write_keep(Tango::WAttribute& att) {
    Tango::DevLong keep = 0;
    att.get_write_value(keep);
    answer(loop_->set_cut(static_cast<zor_feedback::Plane>(P), -1.0, keep, kAnswerWithin),
           "ZorFeedback::write_attribute", "ZorFeedback_CutRefused");
    remember_cut(P, -1.0, keep);
  }
  template <int P>
  void read_gain(Tango::Attribute& att) {
    plane_values_[P][1] = loop_->plane_settings(P).gain;
    att.set_value(&plane_values_[P][1]);
  }
  template <int P>
  void write_gain(Tango::WAttribute& att) {
    Tango::DevDouble gain = 0;
    att.get_write_value(gain);
    check(loop_->set_gain(static_cast<zor_feedback::Plane>(P), gain), "ZorFeedback_GainRefused",
          "ZorFeedback::write_attribute");
    remember_controller(P);
  }
  // The loop's quality and a plane's controller (its ki is the plane's gain).
  template <int P>
  void read_mode_residual(Tango::Attribute& att) {
    const std::vector<double> v = loop_->correction().mode_residuals[P];
    set_copy(att, v, static_cast<long>(v.size()));
  }
  template <int P>
  void read_rms_history(Tango::Attribute& att) {
    const std::vector<double> v = loop_->rms_history(static_cast<zor_feedback::Plane>(P));
    set_copy(att, v, static_cast<long>(v.size()));
  }
  // The plane's orbit spectrum (density) or its running integral, of the
  // last cycles; empty before there are enough (loop_->orbit_spectrum).
  template <int P, bool Integrated>
  void read_orbit_spectrum(Tango::Attribute& att) {
    const zor_feedback::loop::OrbitSpectrum s = loop_->orbit_spectrum(static_cast<zor_feedback::Plane>(P));
    const std::vector<double>& v = Integrated ? s.integrated : s.density;
    set_copy(att, v, static_cast<long>(v.size()));
  }
  void read_spectrum_frequencies(Tango::Attribute& att) {
    zor_feedback::loop::OrbitSpectrum s = loop_->orbit_spectrum(zor_feedback::Plane::x);
    if (!s.ok) s = loop_->orbit_spectrum(zor_feedback::Plane::y);
    set_copy(att, s.frequency, static_cast<long>(s.frequency.size()));
  }
  template <int P>
  void read_controller(Tango::Attribute& att) {
    controller_[P] = zor_feedback::loop::controller_text(loop_->correction().controller[P]);
    controller_ptr_[P] = const_cast<char*>(controller_[P].c_str());
    att.set_value(&controller_ptr_[P]);
  }
  template <int P>
  void write_controller(Tango::WAttribute& att) {
    Tango::DevString text = nullptr;
    att.get_write_value(text);
    check(loop_->set_controller(static_cast<zor_feedback::Plane>(P), text != nullptr ? text : ""),
          "ZorFeedback_ControllerRefused", "ZorFeedback::write_attribute");
    char gain[32];
    std::snprintf(gain, sizeof gain, "%.17g", loop_->plane_settings(P).gain);
    zor_feedback::tango::remember(*this, P == 0 ? "GainX" : "GainY", gain);
  }
  void read_policy(Tango::Attribute& att) {
    policy_ = zor_feedback::limit_policy_name(loop_->limit_policy());
    policy_ptr_ = const_cast<char*>(policy_.c_str());
    att.set_value(&policy_ptr_);
  }
  void write_policy(Tango::WAttribute& att) {
    Tango::DevString name = nullptr;
    att.get_write_value(name);
    check(loop_->set_policy(name != nullptr ? name : ""), "ZorFeedback_PolicyRefused",
          "ZorFeedback::write_LimitPolicy");
  }

  // --- Commands
  void calc_step() {
    const FeedbackLoop::Outcome out = loop_->calc_step(kAnswerWithin);
    if (out.kind == FeedbackLoop::Outcome::refused) refuse("ZorFeedback_StepRefused", out.text, "CalcStep");
    if (out.kind == FeedbackLoop::Outcome::busy) refuse("ZorFeedback_Busy", out.text, "CalcStep");
  }
  void apply_step() { check(loop_->apply_step(), "ZorFeedback_StepRefused", "ZorFeedback::ApplyStep"); }
  void undo() { check(loop_->undo(), "ZorFeedback_StepRefused", "ZorFeedback::Undo"); }

  void start() {
    const std::string error = loop_->start();
    if (!error.empty()) refuse("ZorFeedback_StateRefused", error, "ZorFeedback::Start");
  }
  void stop() {
    const std::string error = loop_->stop();
    if (!error.empty()) refuse("ZorFeedback_StateRefused", error, "ZorFeedback::Stop");
  }
  void invert() { answer(loop_->invert_again(kAnswerWithin), "ZorFeedback::Invert"); }
  // What was served (with the settings carried over from the matrix before,
  // and those dropped), or that it still runs.
  std::string load_matrix(const std::string& path) {
    std::string error;
    const std::string file = files_->resolve(path, &error);
    if (file.empty()) refuse("ZorFeedback_LoadRefused", "LoadMatrix " + error, "ZorFeedback::LoadMatrix");
    const FeedbackLoop::Outcome out = loop_->load_matrix(file, files_->name_of(file), kAnswerWithin);
    answer(out, "ZorFeedback::LoadMatrix");
    apply_units(loop_->correction());  // before the answer, when served by then
    return (out.kind == FeedbackLoop::Outcome::served ? "served: " : "running: ") + out.text;
  }

  // Starts the measurement of the machine's response into a new file in
  // MatrixDirectory; MeasureStatus and MeasureProgress tell how it goes.
  std::string measure_matrix(const std::string& path) {
    std::string error;
    const std::string file = files_->resolve_new(path, &error);
    if (file.empty())
      refuse("ZorFeedback_MeasureRefused", "MeasureMatrix " + error, "ZorFeedback::MeasureMatrix");
    check(loop_->measure(file, files_->name_of(file)), "ZorFeedback_MeasureRefused",
          "ZorFeedback::MeasureMatrix");
    return "started: " + files_->name_of(file);
  }
  void abort_measurement() {
    check(loop_->abort_measurement(), "ZorFeedback_MeasureRefused", "ZorFeedback::AbortMeasurement");
  }

  // The device's own attributes, whose change events it pushes.
  static constexpr const char* kOwn[] = {"Tolerance",
                                         "SingularValuesUsed",
                                         "Nosv",
                                         "ConditionNumber",
                                         "Period",
                                         "Cycles",
                                         "CycleTimes",
                                         "InversionStatus",
                                         "MONITOR_NAMES",
                                         "CORRECTOR_NAMES",
                                         "MONITOR_ENABLED",
                                         "CORRECTOR_ENABLED",
                                         "KICK_LIMITS",
                                         "LAST_STEP",
                                         "LAST_STEP_LIMITED",
                                         "LAST_STEP_MONITORS",
                                         "StepStatus",
                                         "CutX",
                                         "CutY",
                                         "KeepX",
                                         "KeepY",
                                         "FilterX",
                                         "FilterY",
                                         "GainX",
                                         "GainY",
                                         "ControllerX",
                                         "ControllerY",
                                         "ModeResidualX",
                                         "ModeResidualY",
                                         "RmsHistoryX",
                                         "RmsHistoryY",
                                         "OrbitSpectrumX",
                                         "OrbitSpectrumY",
                                         "IntegratedSpectrumX",
                                         "IntegratedSpectrumY",
                                         "SpectrumFrequencies",
                                         "LimitPolicy",
                                         "MeasureProgress",
                                         "MeasureStatus",
                                         "EventNames",
                                         "EventsPushed",
                                         "EventsDropped"};

 private:
  // The settings from the device properties; the error when one is unusable.
  std::string read_device_properties(zor_feedback::sim::FeedbackSimulation::Settings* settings,
                                     double* period);

  // A refused or not started re-inversion reaches the client as DevFailed
  // with the reason; a served one, or one still running, answers normally
  // (InversionStatus tells the end of the latter).
  void answer(const FeedbackLoop::Outcome& out, const char* origin,
              const char* reason = "ZorFeedback_InversionRefused") {
    if (out.kind == FeedbackLoop::Outcome::refused) refuse(reason, out.text, origin);
    if (out.kind == FeedbackLoop::Outcome::busy) refuse("ZorFeedback_Busy", out.text, origin);
  }

  // A plane's cut is one setting two attributes show (CutP or KeepP): both
  // memorized together, so that a restart restores the one written last.
  void remember_cut(int plane, double rcond, int keep);
  // A plane's gain is its controller's ki: a write of one memorizes both.
  void remember_controller(int plane) {
    const std::string text = zor_feedback::loop::controller_text(loop_->correction().controller[plane]);
    zor_feedback::tango::remember(*this, plane == 0 ? "ControllerX" : "ControllerY", text);
  }
  // Restores the memorized gains, policy and cuts (classic: the tolerance)
  // in a thread of its own, once the first inversion is served: the loop
  // refuses them before; each re-inversion waits for the one before.
  void restore_settings(zor_feedback::Inversion inversion);
  // The masks and kick limits, which TANGO does not memorize (spectra and
  // images), are device properties the device writes itself on every change
  // (kSaved); read once at the first start, restored by name with the rest.
  static constexpr const char* kSaved[] = {"SavedMonitorsMasked", "SavedCorrectorsMasked", "SavedKickLimits"};
  void recall_saved();
  void save_settings();
  void write_saved();
  void remember_filters();
  // A memorized number; false when none (or not a finite number).
  bool recall_number(const std::string& attribute, double* value);

  // In the loop's notifier thread: pushes what changed; a cycle's entry
  // pushes Cycles with its own counter.
  void changed(const ChangeQueue::Entry& e);
  bool monitor_free();  // false once the device closes
  // The units of the served matrix's file (its orbit per kick) on the
  // attributes that hold orbits, kicks or the matrix; under the device's monitor.
  void apply_units(const FeedbackLoop::CorrectionView& v);
  // In the device's memory only: the unit follows the file served, and a
  // TANGO database keeps none of its own (it would override the next file's).
  void set_unit(const char* attribute, const std::string& unit) {
    Tango::Attribute& att = get_device_attr()->get_attr_by_name(attribute);
    Tango::AttributeConfig_5 config;
    att.get_properties(config);
    config.unit = Tango::string_dup(unit.c_str());
    std::vector<Tango::Attribute::AttPropDb> not_stored;
    std::string device = get_name();
    att.set_properties(config, device, false, not_stored);
  }
  void push_correction(unsigned what);
  // The residual per mode and the rms history of each plane, after a cycle.
  void push_quality() {
    const FeedbackLoop::CorrectionView v = loop_->correction();
    for (int k = 0; k < 2; ++k) {
      const std::string plane = k == 0 ? "X" : "Y";
      std::vector<double> modes = v.mode_residuals[k];
      std::vector<double> rms = loop_->rms_history(static_cast<zor_feedback::Plane>(k));
      modes.reserve(1);
      rms.reserve(1);
      push_change_event("ModeResidual" + plane, modes.data(), static_cast<long>(modes.size()));
      push_change_event("RmsHistory" + plane, rms.data(), static_cast<long>(rms.size()));
    }
    count_pushed({"ModeResidualX", "ModeResidualY", "RmsHistoryX", "RmsHistoryY"});
  }
  // Every kSpectrumEvery cycles: the spectrum is computed over the window,
  // not worth doing each cycle.
  static constexpr long long kSpectrumEvery = 10;
  void push_spectra() {
    std::vector<double> frequency;
    for (int k = 0; k < 2; ++k) {
      const std::string plane = k == 0 ? "X" : "Y";
      zor_feedback::loop::OrbitSpectrum sp = loop_->orbit_spectrum(static_cast<zor_feedback::Plane>(k));
      if (sp.ok) frequency = sp.frequency;
      sp.density.reserve(1);
      sp.integrated.reserve(1);
      push_change_event("OrbitSpectrum" + plane, sp.density.data(), static_cast<long>(sp.density.size()));
      push_change_event("IntegratedSpectrum" + plane, sp.integrated.data(),
                        static_cast<long>(sp.integrated.size()));
    }
    frequency.reserve(1);
    push_change_event("SpectrumFrequencies", frequency.data(), static_cast<long>(frequency.size()));
    count_pushed({"OrbitSpectrumX", "OrbitSpectrumY", "IntegratedSpectrumX", "IntegratedSpectrumY",
                  "SpectrumFrequencies"});
  }

  // The ring's devices (null: the simulated ring); they outlive loop_.
  std::unique_ptr<zor_feedback::tango::DeviceOrbitSource> source_;
  std::unique_ptr<zor_feedback::tango::DeviceCorrectorSink> sink_;
  std::string read_ring_properties(Tango::DbData props, bool standard,
                                   zor_feedback::sim::FeedbackSimulation::Settings* settings);
  std::unique_ptr<FeedbackLoop> loop_;
  std::unique_ptr<zor_feedback::tango::PropertyAttributes> published_;
  std::unique_ptr<zor_feedback::server::MatrixFiles> files_;
  bool limit_given_ = false;
  std::atomic<bool> serving_{false}, closing_{false};
  std::thread restorer_;                   // restore_settings's, joined before the loop goes
  std::mutex saving_;                      // over saved_, the writes of kSaved, and closing_ against them
  zor_feedback::SavedSettings saved_;      // as the database holds them
  std::atomic<bool> save_pending_{false};  // a save found a step under way
  std::atomic<bool> restored_{true};       // false: the restore runs, saving would undo it
  std::map<std::string, Tango::DevLong64> pushed_;  // under the device's monitor, as the pushes
  std::vector<Tango::DevString> event_names_;       // into pushed_'s keys, for a read
  std::vector<Tango::DevLong64> events_pushed_;
  std::string property_error_;
  std::string status_;
  // What a read hands to TANGO, kept until TANGO has copied it.
  Tango::DevDouble tolerance_ = 0;
  Tango::DevLong used_ = 0, nosv_ = 0;
  Tango::DevDouble condition_number_ = 0, period_ = 0;
  Tango::DevLong64 cycles_ = 0, events_dropped_ = 0;
  std::atomic<long long> cycles_unpushed_{0};  // cycles whose events the busy monitor dropped
  std::array<Tango::DevDouble, 3> cycle_times_{};
  Tango::DevDouble measure_progress_ = 0;
  std::string measure_status_;
  Tango::DevString measure_status_ptr_ = nullptr;
  std::string inversion_status_;
  Tango::DevString inversion_status_ptr_ = nullptr;
  Strings names_[2], step_names_[2];  // monitors, correctors; limited, monitors used
  std::string step_status_, policy_;
  Tango::DevString step_status_ptr_ = nullptr, policy_ptr_ = nullptr;
  Tango::DevDouble plane_values_[2][2] = {};           // per plane: cut, gain
  std::unique_ptr<zor_feedback::Correction> carried_;  // the settings of the loop before Init
  Tango::DevLong keep_[2] = {};
  std::string filter_[2];  // per plane: the filter's text form
  Tango::DevString filter_ptr_[2] = {};
  std::string controller_[2];  // per plane: the controller's text form
  Tango::DevString controller_ptr_[2] = {};
  std::string units_[2] = {"mm", "mrad"};  // orbit, kick: those on the attributes
};

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_ZOR_FEEDBACK_DEVICE_H
