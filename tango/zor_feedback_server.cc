// ZorFeedbackServer - the demo's orbit feedback on a simulated ring, served as
// one TANGO device of class ZorFeedback:
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
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <tango.h>
#include <unistd.h>

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

namespace {

using zor_feedback::tango::AttributeText;
using zor_feedback::tango::ChangeQueue;
using zor_feedback::tango::FeedbackLoop;

constexpr double default_period_s = 0.5;

constexpr std::chrono::milliseconds kAnswerWithin{250};
constexpr long long kBytesPerValue = 16, kSpareBytes = 1 << 20;

[[noreturn]] void refuse(const char* reason, const std::string& desc, const char* origin) {
  Tango::Except::throw_exception(reason, desc.c_str(), origin);
}

// A refusal of the loop (empty: none) as DevFailed.
void check(const std::string& refusal, const char* reason, const char* origin) {
  if (!refusal.empty()) refuse(reason, refusal, origin);
}

// A scalar that has no use for a value that is not finite refuses it before
// anything else, as TANGO itself would.
void finite_only(double value, const char* attribute) {
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
Booleans booleans(const std::vector<bool>& v) {
  Booleans b{std::make_unique<Tango::DevBoolean[]>(std::max<std::size_t>(v.size(), 1)),
             static_cast<long>(v.size())};
  std::copy(v.begin(), v.end(), b.values.get());
  return b;
}

// One row per corrector: min, max, max_step.
std::vector<Tango::DevDouble> limit_rows(const std::vector<zor_feedback::KickLimit>& limits) {
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

double cut_value(const zor_feedback::PlaneSettings& p) {
  return p.cut.filter.kind() == zor_feedback::Filter::Kind::rcond ? p.cut.filter.value() : -1.0;
}

const std::map<std::string, AttributeText>& published_texts() {
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
    if (first_start) recall_saved();  // before the loop's notifier may save
    // The first inversion runs while the attributes and events are put in
    // place; the loop starts when it is served.
    // The settings of the loop before Init go on by name on the new matrix.
    loop_ = std::make_unique<FeedbackLoop>(
        settings, files_->name_of(settings.matrix_file), period,
        [this](const ChangeQueue::Entry& e) {
          changed(e);
          if (e.bits & FeedbackLoop::kCorrection) save_settings();  // outside the device's monitor
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
  // A memorized number; false when none (or not a finite number).
  bool recall_number(const std::string& attribute, double* value);

  // In the loop's notifier thread: pushes what changed; a cycle's entry
  // pushes Cycles with its own counter.
  void changed(const ChangeQueue::Entry& e);
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

  // The ring's devices (null: the simulated ring); they outlive loop_.
  std::unique_ptr<zor_feedback::tango::DeviceOrbitSource> source_;
  std::unique_ptr<zor_feedback::tango::DeviceCorrectorSink> sink_;
  std::string read_ring_properties(Tango::DbData props, bool standard);
  std::unique_ptr<FeedbackLoop> loop_;
  std::unique_ptr<zor_feedback::tango::PropertyAttributes> published_;
  std::unique_ptr<zor_feedback::tango::MatrixFiles> files_;
  bool limit_given_ = false;
  std::atomic<bool> serving_{false}, closing_{false};
  std::thread restorer_;               // restore_settings's, joined before the loop goes
  std::mutex saving_;                  // over saved_, the writes of kSaved, and closing_ against them
  zor_feedback::SavedSettings saved_;  // as the database holds them
  std::atomic<bool> restored_{true};   // false: the restore runs, saving would undo it
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
  std::string units_[2] = {"mm", "mrad"};  // orbit, kick: those on the attributes
};

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
    for (const char* name :
         {"MatrixDirectory", "MatrixFile", "MatrixFileLimit", "Period", "Inversion", "SvdMethod",
          "OrbitSources", "CorrectorSetpoints", "ReadTimeoutMs", "WriteTimeoutMs"})
      props.push_back(Tango::DbDatum(name));
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
    std::string error =
        read_ring_properties(std::move(ring_props), settings->inversion == zor_feedback::Inversion::standard);
    if (!error.empty()) return error;
  }
  files_ = std::make_unique<zor_feedback::tango::MatrixFiles>(directory, limit);
  if (!files_->ok()) return "device property MatrixDirectory: " + files_->error();
  std::string error;
  settings->matrix_file = files_->resolve(file, &error);
  if (settings->matrix_file.empty()) return "device property MatrixFile " + error;
  return {};
}

// OrbitSources and CorrectorSetpoints (props[6], props[7]) and their
// timeouts: the devices of the ring, or none.
std::string ZorFeedback::read_ring_properties(Tango::DbData props, bool standard) {
  source_.reset();
  sink_.reset();
  if (props[6].is_empty() && props[7].is_empty()) return {};
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
  zor_feedback::tango::AttributeName sink;
  if (!zor_feedback::tango::parse_attribute_name(setpoints, &sink, &error))
    return "device property CorrectorSetpoints: " + error;
  source_ = std::make_unique<zor_feedback::tango::DeviceOrbitSource>(std::move(names), timeout[0]);
  sink_ = std::make_unique<zor_feedback::tango::DeviceCorrectorSink>(std::move(sink), timeout[1]);
  return {};
}

void ZorFeedback::changed(const ChangeQueue::Entry& e) {
  if (closing_ || !serving_) return;  // no subscriber before init_device is done
  const unsigned what = e.bits;
  try {
#pragma GCC diagnostic push  // TANGO's switch over the serialisation models has no default
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    Tango::AutoTangoMonitor sync(this);
#pragma GCC diagnostic pop
    if (what & FeedbackLoop::kCycle) {
      for (const char* p : {"ORBIT", "CORRECTORS", "HISTORY"}) published_->push_change_event(p);
      count_pushed({"ORBIT", "CORRECTORS", "HISTORY"});
    }
    if (e.cycle) {  // not for a CalcStep's orbit or a measurement's kicks: no cycle ran
      Tango::DevLong64 cycle = *e.cycle;
      push_change_event("Cycles", &cycle);
      count_pushed({"Cycles"});
    }
    if (what & FeedbackLoop::kInverse) {
      for (const char* p : {"RESPONSE_MATRIX", "INVERSE", "SINGULAR_VALUES"})
        published_->push_change_event(p);
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
  const std::string policy = zor_feedback::tango::recall(*this, "LimitPolicy");
  if (!policy.empty()) jobs.push_back([this, policy, done] { return done(loop_->set_policy(policy)); });
  const std::chrono::milliseconds now(0);
  if (inversion == zor_feedback::Inversion::classic && recall_number("Tolerance", &value))
    jobs.push_back([this, value, now] { return loop_->invert(value, now); });
  for (int p = 0; p < 2 && inversion == zor_feedback::Inversion::standard; ++p) {
    const std::string name = p == 0 ? "X" : "Y";
    const bool cut = recall_number("Cut" + name, &value), kept = recall_number("Keep" + name, &keep);
    if (!cut && !kept) continue;
    const double rcond = cut ? value : -1.0;
    const int k = kept ? static_cast<int>(keep) : 0;
    jobs.push_back([this, p, rcond, k, now] {
      return loop_->set_cut(static_cast<zor_feedback::Plane>(p), rcond, k, now);
    });
  }
  if (jobs.empty()) return;
  restored_ = false;
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

void ZorFeedback::save_settings() {
  std::lock_guard<std::mutex> lock(saving_);
  // serving_: loop_ is in place (the first inversion may be served before).
  if (!Tango::Util::_UseDb || !restored_ || closing_ || !serving_) return;
  const zor_feedback::SavedSettings now = loop_->saved_settings();
  if (now == saved_) return;
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
  }
  std::string policy = zor_feedback::limit_policy_name(v.policy);
  Tango::DevString p = policy.data();
  push_change_event("LimitPolicy", &p);
}

}  // namespace

template <>
struct zor_feedback::tango::MemberGuard<ZorFeedback> {
  static void check(ZorFeedback& d, const char* what) {
    d.require_serving((std::string("ZorFeedback::") + what).c_str());
  }
};

namespace {

template <class Base>
using Member = zor_feedback::tango::Member<ZorFeedback, Base>;

using Reader = Member<Tango::Attr>::Reader;
using Writer = Member<Tango::Attr>::Writer;

Tango::Attr* scalar(const char* name, long type, const AttributeText& text, Reader reader,
                    Writer writer = nullptr) {
  return new Member<Tango::Attr>(name, type, text, reader, writer);
}
Tango::Attr* spectrum(const char* name, long type, const AttributeText& text, Reader reader,
                      Writer writer = nullptr) {
  return new Member<Tango::SpectrumAttr>(name, type, text, reader, writer, kMaxLength);
}

// An operator's setting: TANGO keeps its last written value in the database;
// `on_init`: writes it back at start (false: the device restores it itself).
Tango::Attr* memorized(Tango::Attr* attr, bool on_init = true) {
  attr->set_memorized();
  attr->set_memorized_init(on_init);
  return attr;
}

class VoidCommand : public Tango::Command {
 public:
  using Action = void (ZorFeedback::*)();
  VoidCommand(const char* command_name, Action action, const char* description)
      : Tango::Command(command_name, Tango::DEV_VOID, Tango::DEV_VOID, description, ""), action_(action) {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any&) override {
    auto* d = static_cast<ZorFeedback*>(dev);
    d->require_serving(get_name().c_str());
    (d->*action_)();
    return insert();
  }

 private:
  Action action_;
};

class LoadMatrixCommand : public Tango::Command {
 public:
  LoadMatrixCommand()
      : Tango::Command("LoadMatrix", Tango::DEV_STRING, Tango::DEV_STRING,
                       "a response-matrix file of the served shape in MatrixDirectory (relative: to it)",
                       "what was served, and the settings (masks, limits, cuts, gains) the names of the new "
                       "matrix kept or dropped; or what still runs") {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
    auto* d = static_cast<ZorFeedback*>(dev);
    d->require_serving("LoadMatrix");
    const char* path = nullptr;
    extract(in, path);
    return insert(d->load_matrix(path != nullptr ? path : "").c_str());
  }
};

class MeasureMatrixCommand : public Tango::Command {
 public:
  MeasureMatrixCommand()
      : Tango::Command(
            "MeasureMatrix", Tango::DEV_STRING, Tango::DEV_STRING,
            "a new file in MatrixDirectory (relative: to it) for the measured matrix; its errors go "
            "beside it (ring.txt: ring.errors.txt)",
            "that it started; MeasureProgress and MeasureStatus tell the rest") {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
    auto* d = static_cast<ZorFeedback*>(dev);
    d->require_serving("MeasureMatrix");
    const char* path = nullptr;
    extract(in, path);
    return insert(d->measure_matrix(path != nullptr ? path : "").c_str());
  }
};

class ZorFeedbackClass : public Tango::DeviceClass {
 public:
  static ZorFeedbackClass* init(const char* tango_class) {
    static std::string class_name;
    class_name = tango_class;
    static ZorFeedbackClass* instance = new ZorFeedbackClass(class_name);  // owned by TANGO's DServer
    return instance;
  }

 protected:
  explicit ZorFeedbackClass(std::string& class_name) : Tango::DeviceClass(class_name) {
    // TANGO's signal thread runs this before its own shutdown, which ends a
    // server that is still starting by SIGKILL.
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) register_signal(sig);
  }

  void signal_handler(long) override { zor_feedback::tango::SignalRelay::exit_if_starting(); }

  void command_factory() override {
    command_list.push_back(
        new VoidCommand("Start", &ZorFeedback::start, "runs the loop (refused when running)"));
    command_list.push_back(
        new VoidCommand("Stop", &ZorFeedback::stop, "stops the loop (refused when stopped)"));
    command_list.push_back(new VoidCommand("Invert", &ZorFeedback::invert,
                                           "inverts the served matrix again with the cut in use"));
    command_list.push_back(new LoadMatrixCommand);
    command_list.push_back(new VoidCommand(
        "CalcStep", &ZorFeedback::calc_step,
        "a dry run from the last measured orbit and the present kicks: fills LAST_STEP, moves nothing"));
    command_list.push_back(new VoidCommand(
        "ApplyStep", &ZorFeedback::apply_step,
        "sets the kicks of the step CalcStep calculated (the loop stopped, nothing changed since)"));
    command_list.push_back(new VoidCommand("Undo", &ZorFeedback::undo,
                                           "restores the kicks from before the newest applied step (the "
                                           "loop stopped)"));
    command_list.push_back(new MeasureMatrixCommand);
    command_list.push_back(
        new VoidCommand("AbortMeasurement", &ZorFeedback::abort_measurement,
                        "stops the measurement; every corrector is put back (MeasureStatus "
                        "names those that could not be)"));
  }

  void attribute_factory(std::vector<Tango::Attr*>& list) override {
    list.push_back(memorized(scalar("Tolerance", Tango::DEV_DOUBLE,
                                    {"Tolerance", "",
                                     "standard inversion: the relative cut-off rcond of both planes (s used "
                                     "when s > rcond * max(S)), "
                                     "NaN "
                                     "when their cuts differ (CutX, CutY, KeepX, KeepY); a write sets both; "
                                     "classic: invert's tolerance. "
                                     "Write -1 for the default; a write re-inverts",
                                     "%.3e"},
                                    &ZorFeedback::read_tolerance, &ZorFeedback::write_tolerance),
                             false));
    list.push_back(
        scalar("SingularValuesUsed", Tango::DEV_LONG,
               {"Singular values used", "", "singular values in the served inverse (all planes)", "%d"},
               &ZorFeedback::read_used));
    list.push_back(
        scalar("Nosv", Tango::DEV_LONG,
               {"Nosv", "",
                "classic inversion: invert's nosv (values not below the tolerance); 0 in standard", "%d"},
               &ZorFeedback::read_nosv));
    list.push_back(scalar("ConditionNumber", Tango::DEV_DOUBLE,
                          {"Condition number", "", "max(S) / min(S) of SINGULAR_VALUES", "%.3e"},
                          &ZorFeedback::read_condition_number));
    list.push_back(
        memorized(scalar("Period", Tango::DEV_DOUBLE,
                         {"Period", "s", "time between two correction cycles (0.01 to 3600)", "%.3f"},
                         &ZorFeedback::read_period, &ZorFeedback::write_period)));
    list.push_back(
        spectrum("EventNames", Tango::DEV_STRING,
                 {"Event names", "", "the attributes whose change events EventsPushed counts", "%s"},
                 &ZorFeedback::read_event_names));
    list.push_back(
        spectrum("EventsPushed", Tango::DEV_LONG64,
                 {"Events pushed", "", "change events pushed since the start, one per EventNames", "%d"},
                 &ZorFeedback::read_events_pushed));
    list.push_back(scalar("EventsDropped", Tango::DEV_LONG64,
                          {"Events dropped", "",
                           "cycles since the start whose change events were dropped (the pushes fell behind "
                           "the loop by more than the notifier's queue)",
                           "%d"},
                          &ZorFeedback::read_events_dropped));
    list.push_back(scalar("Cycles", Tango::DEV_LONG64,
                          {"Cycles", "", "correction cycles run since the start", "%d"},
                          &ZorFeedback::read_cycles));
    list.push_back(scalar("InversionStatus", Tango::DEV_STRING,
                          {"Inversion status", "",
                           "the last re-inversion: 'running: ...', 'served: ...' or 'refused: ...'", "%s"},
                          &ZorFeedback::read_inversion_status));
    list.push_back(
        scalar("MeasureProgress", Tango::DEV_DOUBLE,
               {"Measure progress", "%", "the share of the columns MeasureMatrix has measured", "%.1f"},
               &ZorFeedback::read_measure_progress));
    list.push_back(
        scalar("MeasureStatus", Tango::DEV_STRING,
               {"Measure status", "",
                "the last MeasureMatrix: 'running: ...', 'done: ...', 'aborted ...', 'failed ...', "
                "with the correctors not restored named",
                "%s"},
               &ZorFeedback::read_measure_status));
    correction_attributes(list);
  }

  // A plane's filter by its text form, beside CutX and KeepX.
  template <int P>
  static Tango::Attr* filter_attribute(const char* name, const std::string& plane) {
    return scalar(name, Tango::DEV_STRING,
                  {name, "",
                   "plane " + plane +
                       ": the filter of the correction's inversion by its text: default, rcond R, keep N, "
                       "tikhonov A (s / (s^2 + alpha^2), alpha = A * max(S)); a write re-inverts",
                   "%s"},
                  &ZorFeedback::read_filter<P>, &ZorFeedback::write_filter<P>);
  }

  // Masks, limits, cuts, gains, the policy and the last step.
  void correction_attributes(std::vector<Tango::Attr*>& list) {
    list.push_back(
        spectrum("MONITOR_NAMES", Tango::DEV_STRING,
                 {"Monitor names", "", "from the matrix file's labels, else the row indices", "%s"},
                 &ZorFeedback::read_monitor_names));
    list.push_back(
        spectrum("CORRECTOR_NAMES", Tango::DEV_STRING,
                 {"Corrector names", "", "from the matrix file's labels, else the column indices", "%s"},
                 &ZorFeedback::read_corrector_names));
    list.push_back(
        spectrum("MONITOR_ENABLED", Tango::DEV_BOOLEAN,
                 {"Monitors enabled", "",
                  "per monitor: false masks it (never read); one value a monitor; a write re-inverts", "%d"},
                 &ZorFeedback::read_monitor_enabled, &ZorFeedback::write_monitor_enabled));
    list.push_back(spectrum("CORRECTOR_ENABLED", Tango::DEV_BOOLEAN,
                            {"Correctors enabled", "",
                             "per corrector: false masks it (never moved); one value a corrector; a write "
                             "re-inverts",
                             "%d"},
                            &ZorFeedback::read_corrector_enabled, &ZorFeedback::write_corrector_enabled));
    list.push_back(new Member<Tango::ImageAttr>(
        "KICK_LIMITS", Tango::DEV_DOUBLE,
        {"Kick limits", "mrad",
         "a row per corrector: min, max, max_step (the most one step moves it); inf: no limit", "%.4g"},
        &ZorFeedback::read_kick_limits, &ZorFeedback::write_kick_limits, 3L, kMaxLength));
    list.push_back(filter_attribute<0>("FilterX", "X"));
    list.push_back(filter_attribute<1>("FilterY", "Y"));
    list.push_back(
        spectrum("LAST_STEP", Tango::DEV_DOUBLE,
                 {"Last step", "mrad",
                  "the change of each corrector in the last computed step (empty: refused)", "%.4e"},
                 &ZorFeedback::read_last_step));
    list.push_back(spectrum("LAST_STEP_LIMITED", Tango::DEV_STRING,
                            {"Last step limited", "", "the correctors at a limit after the last step", "%s"},
                            &ZorFeedback::read_last_step_limited));
    list.push_back(spectrum("LAST_STEP_MONITORS", Tango::DEV_STRING,
                            {"Last step monitors", "", "the monitors the last step used", "%s"},
                            &ZorFeedback::read_last_step_monitors));
    list.push_back(
        scalar("StepStatus", Tango::DEV_STRING,
               {"Step status", "", "the last step: 'computed (by): ...', 'refused (by): ...'", "%s"},
               &ZorFeedback::read_step_status));
    plane_attributes<0>(list, "X");
    plane_attributes<1>(list, "Y");
    list.push_back(
        memorized(scalar("LimitPolicy", Tango::DEV_STRING,
                         {"Limit policy", "",
                          "a step past a limit: scale (all shrink by one factor), clip (hold those past it, "
                          "solve the rest again) or split (writes within max_step, one per cycle)",
                          "%s"},
                         &ZorFeedback::read_policy, &ZorFeedback::write_policy),
                  false));
  }

  template <int P>
  void plane_attributes(std::vector<Tango::Attr*>& list, const std::string& plane) {
    static const std::string names[] = {"Cut" + plane, "Keep" + plane, "Gain" + plane};
    list.push_back(
        memorized(scalar(names[0].c_str(), Tango::DEV_DOUBLE,
                         {names[0], "",
                          "plane " + plane +
                              ": the relative cut-off rcond of the correction's inversion (s used "
                              "when s > rcond * max(S)); -1: the library's default; a write sets Keep" +
                              plane + " 0 and re-inverts",
                          "%.3e"},
                         &ZorFeedback::read_cut<P>, &ZorFeedback::write_cut<P>),
                  false));
    list.push_back(memorized(
        scalar(
            names[1].c_str(), Tango::DEV_LONG,
            {names[1], "",
             "plane " + plane + ": singular values kept instead of a cut-off; 0: cut by Cut" + plane, "%d"},
            &ZorFeedback::read_keep<P>, &ZorFeedback::write_keep<P>),
        false));
    list.push_back(memorized(
        scalar(names[2].c_str(), Tango::DEV_DOUBLE,
               {names[2], "", "plane " + plane + ": the share of the error one step corrects (> 0)", "%.3f"},
               &ZorFeedback::read_gain<P>, &ZorFeedback::write_gain<P>),
        false));
  }

  void device_factory(const Tango::DevVarStringArray* names) override {
    for (CORBA::ULong i = 0; i < names->length(); ++i) {
      std::string device((*names)[i].in());
      auto* dev = new ZorFeedback(this, device);
      device_list.push_back(dev);
      if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
        export_device(dev);
      else
        export_device(dev, dev->get_name().c_str());
    }
  }
};

// BLAS on one thread unless the user's environment asks for more: OpenBLAS
// has read its thread count when it was loaded, before main(), so it is told
// again at run time. The process's own setting, never the library's.
void one_blas_thread_by_default() {
  if (std::getenv("OPENBLAS_NUM_THREADS") != nullptr || std::getenv("OMP_NUM_THREADS") != nullptr) return;
  ::setenv("OPENBLAS_NUM_THREADS", "1", 1);  // for what reads it from here on
  using SetThreads = void (*)(int);
  if (void* f = ::dlsym(RTLD_DEFAULT, "openblas_set_num_threads")) reinterpret_cast<SetThreads>(f)(1);
}

}  // namespace

void Tango::DServer::class_factory() { add_class(ZorFeedbackClass::init("ZorFeedback")); }

int main(int argc, char* argv[]) {
  one_blas_thread_by_default();
  // One malloc arena unless the environment chooses: the client, loop and
  // inversion threads otherwise each grow one of their own and the server's
  // memory creeps up under load.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 1);
  zor_feedback::tango::SignalRelay relay;
  try {
    Tango::Util* tg = Tango::Util::init(argc, argv);
    relay.install();
    // KICK_LIMITS takes inf for "no limit": every writer judges a value that
    // is not finite itself.
    tg->set_wattr_nan_allowed(true);
    tg->server_init();
    relay.install();
    zor_feedback::tango::SignalRelay::mark_started();
    std::cout << zor_feedback::blas_summary(zor_feedback::blas_info()) << std::endl;
    std::cout << "Ready to accept request" << std::endl;
    tg->server_run();
  } catch (const std::bad_alloc&) {
    std::cerr << "ZorFeedbackServer: out of memory" << std::endl;
    return 1;
  } catch (const CORBA::Exception& e) {
    Tango::Except::print_exception(e);
    return 1;
  }
  Tango::Util::instance()->server_cleanup();
  if (FeedbackLoop::inversions_running() > 0) {
    // A dropped inversion still computes on its own copies: end without
    // waiting for it.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  return 0;
}
