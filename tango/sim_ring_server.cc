// ZorSimServer - a simulated storage ring (sim::Machine) served as one TANGO
// device of class SimRing, as a site serves all monitors and correctors of a
// ring from one device:
//
//   ZorSimServer INSTANCE -nodb -dlist sim/ring/1 -ORBendPoint giop:tcp:127.0.0.1:PORT
//
// Device properties (from a TANGO database or -file=):
//   Ring        ring96 (default: 96 monitors, plane x, 48 correctors) or
//               ring320 (both planes of 320 monitors, 576 correctors)
//   ModelError  the machine's relative error against the nominal matrix (0.05)
//   NoiseMM     monitor noise, rms mm (0.010)
//   Seed        everything random comes from it (20240611)
//   Period      s: the clock advances by itself every Period (default 0.1);
//               0: only the command Advance moves it
// A property the machine cannot take puts the device in FAULT, the status
// saying why. The attributes and commands are listed in attribute_factory
// and command_factory below; a refused request raises DevFailed with the
// reason and changes nothing.
#include <signal.h>
#include <tango.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "member_attribute.h"
#include "property_attributes.h"
#include "signal_relay.h"
#include "sim_ring.h"

namespace {

using zor_feedback::sim::CorrectorFault;
using zor_feedback::sim::MonitorFault;
using zor_feedback::tango::AttributeText;
using zor_feedback::tango::SignalRelay;
using zor_feedback::tango::SimRing;

constexpr long kMaxLength = 100000;

[[noreturn]] void refuse(const char* reason, const std::string& desc, const char* origin) {
  Tango::Except::throw_exception(reason, desc.c_str(), origin);
}

// A read's values in a buffer of TANGO's own.
void set_copy(Tango::Attribute& att, const std::vector<double>& v) {
  auto* copy = new Tango::DevDouble[std::max<std::size_t>(v.size(), 1)];
  std::copy(v.begin(), v.end(), copy);
  att.set_value(copy, static_cast<long>(v.size()), 0, true);
}

class SimRingDevice : public TANGO_BASE_CLASS {
 public:
  SimRingDevice(Tango::DeviceClass* cl, std::string& device) : TANGO_BASE_CLASS(cl, device) { init_device(); }
  ~SimRingDevice() override { delete_device(); }

  void init_device() override {
    zor_feedback::tango::SimRingSettings settings;
    error_ = read_properties(&settings);
    if (error_.empty()) {
      try {
        ring_ = std::make_unique<SimRing>(settings);
      } catch (const std::invalid_argument& e) {
        error_ = e.what();
      }
    }
    if (!ring_) return set_state(Tango::FAULT);
    const auto pointers = [](const std::vector<std::string>& names) {
      std::vector<Tango::DevString> ptrs;
      ptrs.reserve(names.size() + 1);  // never a null buffer
      for (const std::string& n : names) ptrs.push_back(const_cast<char*>(n.c_str()));
      return ptrs;
    };
    monitor_ptrs_ = pointers(ring_->monitor_names());
    corrector_ptrs_ = pointers(ring_->corrector_names());
    set_state(Tango::ON);
  }

  void delete_device() override { ring_.reset(); }

  Tango::DevState dev_state() override {
    set_state(ring_ ? Tango::ON : Tango::FAULT);
    return get_state();
  }
  Tango::ConstDevString dev_status() override {
    status_ = ring_ ? ring_->status() : "fault: " + error_;
    return status_.c_str();
  }

  // Everything but State, Status and Init needs the machine.
  SimRing& ring(const char* origin) {
    if (!ring_) refuse("SimRing_Fault", "refused in FAULT: " + error_, origin);
    return *ring_;
  }

  // An orbit with an invalid monitor is ALARM, its values still served (NaN
  // there) so that a client keeps the others; with no valid monitor at all
  // it is INVALID.
  void read_orbit(Tango::Attribute& att, int plane) {
    const zor_feedback::tango::PlaneOrbit o = ring("SimRing::read_Orbit").orbit(plane);
    set_copy(att, o.values);
    if (o.invalid > 0)
      att.set_quality(o.invalid == static_cast<int>(o.values.size()) ? Tango::ATTR_INVALID
                                                                     : Tango::ATTR_ALARM);
  }
  void read_orbit_x(Tango::Attribute& att) { read_orbit(att, 0); }
  void read_orbit_y(Tango::Attribute& att) { read_orbit(att, 1); }
  void read_setpoints(Tango::Attribute& att) { set_copy(att, ring("SimRing::read_attribute").setpoints()); }
  void read_readbacks(Tango::Attribute& att) { set_copy(att, ring("SimRing::read_attribute").readbacks()); }
  void read_monitor_names(Tango::Attribute& att) {
    ring("SimRing::read_attribute");
    att.set_value(monitor_ptrs_.data(), static_cast<long>(ring_->monitor_names().size()), 0, false);
  }
  void read_corrector_names(Tango::Attribute& att) {
    ring("SimRing::read_attribute");
    att.set_value(corrector_ptrs_.data(), static_cast<long>(ring_->corrector_names().size()), 0, false);
  }
  void read_time(Tango::Attribute& att) {
    time_ = ring("SimRing::read_attribute").time_s();
    att.set_value(&time_);
  }
  void write_setpoints(Tango::WAttribute& att) {
    SimRing& r = ring("SimRing::write_CorrectorSetpoints");
    const Tango::DevDouble* values = nullptr;
    att.get_write_value(values);
    const long n = values != nullptr ? att.get_write_value_length() : 0;
    const std::string why = r.write(std::vector<double>(values, values + n));
    if (!why.empty()) refuse("SimRing_WriteRefused", "CorrectorSetpoints refused: " + why, "SimRing::write");
  }

  // --- Commands
  void monitor_fault(const std::string& name, MonitorFault f, const char* origin) {
    const std::string why = ring(origin).set_monitor_fault(name, f);
    if (!why.empty()) refuse("SimRing_UnknownName", why, origin);
  }
  void corrector_fault(const std::string& name, CorrectorFault f, const char* origin) {
    const std::string why = ring(origin).set_corrector_fault(name, f);
    if (!why.empty()) refuse("SimRing_UnknownName", why, origin);
  }
  void advance(double seconds) {
    const std::string why = ring("Advance").advance(seconds);
    if (!why.empty()) refuse("SimRing_AdvanceRefused", why, "Advance");
  }

 private:
  std::string read_properties(zor_feedback::tango::SimRingSettings* s);

  std::unique_ptr<SimRing> ring_;
  std::string error_, status_;
  std::vector<Tango::DevString> monitor_ptrs_, corrector_ptrs_;  // into ring_'s names
  Tango::DevDouble time_ = 0;
};

std::string SimRingDevice::read_properties(zor_feedback::tango::SimRingSettings* s) {
  if (!Tango::Util::_UseDb) return {};
  Tango::DbData props;
  for (const char* name : {"Ring", "ModelError", "NoiseMM", "Seed", "Period"})
    props.push_back(Tango::DbDatum(name));
  get_db_device()->get_property(props);
  if (!props[0].is_empty()) props[0] >> s->ring;
  double* numbers[] = {&s->machine.model_error, &s->machine.noise_mm, nullptr, &s->period_s};
  for (const std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{4}})
    if (!props[k].is_empty() && !(props[k] >> *numbers[k - 1]))
      return "device property " + props[k].name + ": not a number";
  const double limits[] = {1.0, 10.0, 0.0, 3600.0};  // ModelError, NoiseMM, -, Period
  for (const std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{4}})
    if (!(*numbers[k - 1] >= 0) || !(*numbers[k - 1] <= limits[k - 1]))
      return "device property " + props[k].name + ": " + std::to_string(*numbers[k - 1]) +
             " is not within 0 to " + std::to_string(limits[k - 1]);
  if (!props[3].is_empty()) {
    Tango::DevLong64 seed = -1;
    if (!(props[3] >> seed) || seed < 0) return "device property Seed: not a number from 0 on";
    s->machine.seed = static_cast<unsigned long>(seed);
  }
  return {};
}

template <class Base>
using Member = zor_feedback::tango::Member<SimRingDevice, Base>;

using Reader = Member<Tango::Attr>::Reader;
using Writer = Member<Tango::Attr>::Writer;

Tango::Attr* spectrum(const char* name, long type, const AttributeText& text, Reader reader,
                      Writer writer = nullptr) {
  return new Member<Tango::SpectrumAttr>(name, type, text, reader, writer, kMaxLength);
}

// A command taking a name: a fault set or repaired.
class NameCommand : public Tango::Command {
 public:
  using Action = void (*)(SimRingDevice&, const std::string&, const char*);
  NameCommand(const char* command_name, Action action, const char* description)
      : Tango::Command(command_name, Tango::DEV_STRING, Tango::DEV_VOID, description, ""), action_(action) {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
    const char* text = nullptr;
    extract(in, text);
    action_(*static_cast<SimRingDevice*>(dev), text != nullptr ? text : "", get_name().c_str());
    return insert();
  }

 private:
  Action action_;
};

class AdvanceCommand : public Tango::Command {
 public:
  AdvanceCommand()
      : Tango::Command("Advance", Tango::DEV_DOUBLE, Tango::DEV_VOID,
                       "seconds (0 to 86400): moves the machine's clock on and reads the monitors; refused "
                       "when it runs by itself (Period > 0)",
                       "") {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
    Tango::DevDouble seconds = 0;
    extract(in, seconds);
    static_cast<SimRingDevice*>(dev)->advance(seconds);
    return insert();
  }
};

template <MonitorFault F>
void monitor_action(SimRingDevice& d, const std::string& name, const char* origin) {
  d.monitor_fault(name, F, origin);
}
template <CorrectorFault F>
void corrector_action(SimRingDevice& d, const std::string& name, const char* origin) {
  d.corrector_fault(name, F, origin);
}

class SimRingClass : public Tango::DeviceClass {
 public:
  static SimRingClass* init(const char* tango_class) {
    static std::string class_name;
    class_name = tango_class;
    static SimRingClass* instance = new SimRingClass(class_name);  // owned by TANGO's DServer
    return instance;
  }

 protected:
  explicit SimRingClass(std::string& class_name) : Tango::DeviceClass(class_name) {
    // TANGO's signal thread runs this before its own shutdown, which ends a
    // server that is still starting by SIGKILL.
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) register_signal(sig);
  }
  void signal_handler(long) override { SignalRelay::exit_if_starting(); }

  void command_factory() override {
    command_list.push_back(new NameCommand("FailMonitor", monitor_action<MonitorFault::invalid>,
                                           "a monitor by name reads NaN, not valid, until restored"));
    command_list.push_back(new NameCommand("StickMonitor", monitor_action<MonitorFault::stuck>,
                                           "a monitor by name repeats its last valid reading"));
    command_list.push_back(new NameCommand("SpikeMonitor", monitor_action<MonitorFault::spike>,
                                           "a monitor by name reads 5 mm off once"));
    command_list.push_back(new NameCommand("RestoreMonitor", monitor_action<MonitorFault::none>,
                                           "a monitor by name reads again"));
    command_list.push_back(new NameCommand("FailCorrector", corrector_action<CorrectorFault::refused>,
                                           "a corrector by name refuses set-points: a write that changes "
                                           "its set-point is refused whole"));
    command_list.push_back(new NameCommand("StickCorrector", corrector_action<CorrectorFault::stuck>,
                                           "a corrector's supply by name keeps its output"));
    command_list.push_back(new NameCommand("RestoreCorrector", corrector_action<CorrectorFault::none>,
                                           "a corrector by name works again"));
    command_list.push_back(new AdvanceCommand);
  }

  void attribute_factory(std::vector<Tango::Attr*>& list) override {
    list.push_back(spectrum("OrbitX", Tango::DEV_DOUBLE,
                            {"Orbit x", "mm",
                             "plane x at each monitor, in MonitorNames' order; NaN where a monitor is not "
                             "valid (quality ALARM; INVALID when none is)",
                             "%.4f"},
                            &SimRingDevice::read_orbit_x));
    list.push_back(
        spectrum("OrbitY", Tango::DEV_DOUBLE,
                 {"Orbit y", "mm",
                  "plane y, after OrbitX's monitors in MonitorNames; empty for a ring of one plane", "%.4f"},
                 &SimRingDevice::read_orbit_y));
    list.push_back(spectrum("CorrectorSetpoints", Tango::DEV_DOUBLE,
                            {"Corrector set-points", "mrad",
                             "one per corrector in CorrectorNames' order; a write sets all at once or is "
                             "refused whole (count, a value beyond the supply's limit, a refusing corrector)",
                             "%.5f"},
                            &SimRingDevice::read_setpoints, &SimRingDevice::write_setpoints));
    list.push_back(
        spectrum("CorrectorReadbacks", Tango::DEV_DOUBLE,
                 {"Corrector read-backs", "mrad",
                  "the supplies' outputs: they lag behind the set-points and stop at the limit", "%.5f"},
                 &SimRingDevice::read_readbacks));
    list.push_back(spectrum("MonitorNames", Tango::DEV_STRING,
                            {"Monitor names", "", "the monitors of OrbitX, then those of OrbitY", "%s"},
                            &SimRingDevice::read_monitor_names));
    list.push_back(
        spectrum("CorrectorNames", Tango::DEV_STRING,
                 {"Corrector names", "", "the correctors: horizontal ones, then vertical ones", "%s"},
                 &SimRingDevice::read_corrector_names));
    list.push_back(new Member<Tango::Attr>("Time", Tango::DEV_DOUBLE,
                                           {"Time", "s", "the machine's clock at the last reading", "%.3f"},
                                           &SimRingDevice::read_time, nullptr));
  }

  void device_factory(const Tango::DevVarStringArray* names) override {
    for (CORBA::ULong i = 0; i < names->length(); ++i) {
      std::string device((*names)[i].in());
      auto* dev = new SimRingDevice(this, device);
      device_list.push_back(dev);
      if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
        export_device(dev);
      else
        export_device(dev, dev->get_name().c_str());
    }
  }
};

}  // namespace

void Tango::DServer::class_factory() { add_class(SimRingClass::init("SimRing")); }

int main(int argc, char* argv[]) {
  SignalRelay relay;
  try {
    Tango::Util* tg = Tango::Util::init(argc, argv);
    relay.install();
    tg->server_init();
    relay.install();
    SignalRelay::mark_started();
    std::cout << "Ready to accept request" << std::endl;
    tg->server_run();
  } catch (const std::bad_alloc&) {
    std::cerr << "ZorSimServer: out of memory" << std::endl;
    return 1;
  } catch (const CORBA::Exception& e) {
    Tango::Except::print_exception(e);
    return 1;
  }
  Tango::Util::instance()->server_cleanup();
  return 0;
}
