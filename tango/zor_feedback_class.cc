// The class ZorFeedback: its one attribute table, its commands and the
// device properties declared to it; the device itself is in
// zor_feedback_device.{h,cc}.
#include <tango.h>

#include <string>
#include <vector>

#include "zor_feedback_device.h"

using zor_feedback::tango::ZorFeedback;

template <>
struct zor_feedback::tango::MemberGuard<ZorFeedback> {
  static void check(ZorFeedback& d, const char* what) {
    d.require_serving((std::string("ZorFeedback::") + what).c_str());
  }
};

namespace {

using zor_feedback::server::FeedbackLoop;
using zor_feedback::tango::AttributeText;
using zor_feedback::tango::kMaxLength;

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
    // Declared, so that the database's tools list them with their meaning.
    for (const zor_feedback::tango::DeviceProperty& p : zor_feedback::tango::kDeviceProperties) {
      std::string property = p.name, description = p.description;  // TANGO takes non-const references
      add_wiz_dev_prop(property, description);
    }
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
    list.push_back(spectrum("CycleTimes", Tango::DEV_DOUBLE,
                            {"Cycle times", "ms",
                             "median, 99th percentile and maximum of the last 1024 cycles since Start, from "
                             "the orbit's read to the step applied; empty before the first",
                             "%.3f"},
                            &ZorFeedback::read_cycle_times));
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
                       "tikhonov A (s / (s^2 + alpha^2), alpha = A * max(S)); tikhonov lcurve, gcv or "
                       "discrepancy NOISE choose A once from the last orbit read and serve it fixed; a write "
                       "re-inverts",
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
    quality_attributes<P>(list, plane);
  }

  template <int P>
  void quality_attributes(std::vector<Tango::Attr*>& list, const std::string& plane) {
    static const std::string names[] = {"Controller" + plane, "ModeResidual" + plane, "RmsHistory" + plane};
    list.push_back(memorized(
        scalar(names[0].c_str(), Tango::DEV_STRING,
               {names[0], "",
                "plane " + plane +
                    ": the controller after the solve: 'integrator ki=G' (the plain step at gain G) or 'pi "
                    "kp=P ki=I' (velocity form); its ki is Gain" +
                    plane,
                "%s"},
               &ZorFeedback::read_controller<P>, &ZorFeedback::write_controller<P>),
        false));
    list.push_back(spectrum(names[1].c_str(), Tango::DEV_DOUBLE,
                            {names[1], "mm",
                             "plane " + plane +
                                 ": the last cycle's weighted orbit error in each mode of the plane's solve "
                                 "(U^T W (orbit - reference), largest singular value first)",
                             "%.4e"},
                            &ZorFeedback::read_mode_residual<P>));
    list.push_back(spectrum(names[2].c_str(), Tango::DEV_DOUBLE,
                            {names[2], "mm",
                             "plane " + plane +
                                 ": the orbit rms of the last cycles, oldest first (NaN: no "
                                 "monitor of the plane read a value)",
                             "%.4e"},
                            &ZorFeedback::read_rms_history<P>));
    spectrum_attributes<P>(list, plane);
  }

  template <int P>
  void spectrum_attributes(std::vector<Tango::Attr*>& list, const std::string& plane) {
    static const std::string names[] = {"OrbitSpectrum" + plane, "IntegratedSpectrum" + plane};
    list.push_back(
        spectrum(names[0].c_str(), Tango::DEV_DOUBLE,
                 {names[0], "mm^2/Hz",
                  "plane " + plane +
                      ": the orbit's power spectral density over the last 256 cycles (Welch, segments "
                      "of 32, averaged over the plane's monitors that read in every cycle); empty "
                      "before 32 cycles",
                  "%.4e"},
                 &ZorFeedback::read_orbit_spectrum<P, false>));
    list.push_back(spectrum(names[1].c_str(), Tango::DEV_DOUBLE,
                            {names[1], "mm^2",
                             "plane " + plane + ": the running integral of OrbitSpectrum" + plane +
                                 " from 0 Hz: the orbit's variance up to each frequency",
                             "%.4e"},
                            &ZorFeedback::read_orbit_spectrum<P, true>));
    if (P == 1)
      list.push_back(spectrum("SpectrumFrequencies", Tango::DEV_DOUBLE,
                              {"Spectrum frequencies", "Hz",
                               "the frequencies of OrbitSpectrumX/Y, 0 to half the cycle rate", "%.3f"},
                              &ZorFeedback::read_spectrum_frequencies));
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

}  // namespace

void Tango::DServer::class_factory() { add_class(ZorFeedbackClass::init("ZorFeedback")); }
