// ZorFeedbackServer - the demo's orbit feedback on a simulated ring, served as
// one TANGO device of class ZorFeedback:
//
//   ZorFeedbackServer INSTANCE -nodb -dlist DEVICE -ORBendPoint giop:tcp:127.0.0.1:PORT
//
// The properties of the feedback location (RESPONSE_MATRIX, INVERSE,
// SINGULAR_VALUES, ORBIT, CORRECTORS, HISTORY) are published by the property
// adapter; this file adds the loop's own attributes and commands. Device
// properties, where a TANGO database (or -file=) provides them: MatrixFile
// (default: the shipped ring_response.txt), Period in seconds (default 0.5)
// and SvdMethod (gsl or lapack: the faster one for large matrices).
#include <fcntl.h>
#include <signal.h>
#include <tango.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "example_data.h"
#include "feedback_loop.h"
#include "property_attributes.h"

namespace {

constexpr double default_period_s = 0.5;

[[noreturn]] void refuse(const char* reason, const std::string& desc, const char* origin) {
  Tango::Except::throw_exception(reason, desc.c_str(), origin);
}

class ZorFeedback : public TANGO_BASE_CLASS {  // the newest device base of the cppTango built against
 public:
  ZorFeedback(Tango::DeviceClass* cl, std::string& device) : TANGO_BASE_CLASS(cl, device) { init_device(); }
  ~ZorFeedback() override { delete_device(); }

  void init_device() override {
    zor_feedback::sim::FeedbackSimulation::Settings settings;
    double period = default_period_s;
    property_error_ = read_device_properties(&settings, &period);
    if (!property_error_.empty()) return;  // fault: the status says why
    // The loop starts stopped: the attributes and events are in place before
    // its first cycle pushes anything.
    loop_ = std::make_unique<zor_feedback::tango::FeedbackLoop>(settings, period, [this] { cycle_done(); });
    if (loop_->simulation() == nullptr) return;  // fault: the status says why
    published_ = std::make_unique<zor_feedback::tango::PropertyAttributes>(
        *this, loop_->simulation()->location(), loop_->mutex());
    published_->enable_change_events("SINGULAR_VALUES");
    published_->enable_change_events("HISTORY");
    loop_->start();
  }

  void delete_device() override {
    loop_.reset();  // joins the loop's thread first: nothing pushes after this
    published_.reset();
  }

  Tango::DevState dev_state() override {
    if (!loop_) {
      set_state(Tango::FAULT);
      return get_state();
    }
    const zor_feedback::tango::FeedbackLoop::State s = loop_->state();
    set_state(s == zor_feedback::tango::FeedbackLoop::State::running   ? Tango::RUNNING
              : s == zor_feedback::tango::FeedbackLoop::State::stopped ? Tango::STANDBY
                                                                       : Tango::FAULT);
    return get_state();
  }

  Tango::ConstDevString dev_status() override {
    status_ = loop_ ? loop_->status() : "fault: " + property_error_;
    return status_.c_str();
  }

  // Everything but State, Status and Init needs a running simulation.
  bool serving() const { return published_ != nullptr; }

  // --- Attributes
  void read_tolerance(Tango::Attribute& att) {
    tolerance_ = loop_->inversion().tol;
    att.set_value(&tolerance_);
  }
  void write_tolerance(Tango::WAttribute& att) {
    Tango::DevFloat tol = 0;
    att.get_write_value(tol);
    served(loop_->invert(tol), "ZorFeedback::write_Tolerance");
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
    std::string error;
    if (!loop_->set_period(seconds, &error))
      refuse("ZorFeedback_BadPeriod", error, "ZorFeedback::write_Period");
  }
  void read_cycles(Tango::Attribute& att) {
    cycles_ = loop_->cycles();
    att.set_value(&cycles_);
  }

  // --- Commands
  void start() {
    if (!loop_->start()) refuse("ZorFeedback_Fault", loop_->status(), "ZorFeedback::Start");
  }
  void stop() { loop_->stop(); }
  void invert() { served(loop_->invert_again(), "ZorFeedback::Invert"); }
  void load_matrix(const std::string& path) {
    std::string error;
    if (!loop_->load_matrix(path, &error)) refuse("ZorFeedback_LoadFailed", error, "ZorFeedback::LoadMatrix");
    published_->push_change_event("SINGULAR_VALUES");
  }

 private:
  // The settings from the device properties; the error when one is unusable.
  std::string read_device_properties(zor_feedback::sim::FeedbackSimulation::Settings* settings,
                                     double* period) {
    settings->matrix_file = zor_feedback::sim::example_data_path("ring_response.txt");
    if (!Tango::Util::_UseDb) return {};
    Tango::DbData props;
    props.push_back(Tango::DbDatum("MatrixFile"));
    props.push_back(Tango::DbDatum("Period"));
    props.push_back(Tango::DbDatum("SvdMethod"));
    get_db_device()->get_property(props);
    if (!props[0].is_empty()) props[0] >> settings->matrix_file;
    if (!props[1].is_empty()) {
      std::string error;
      if (!(props[1] >> *period) || !zor_feedback::tango::FeedbackLoop::period_ok(*period, &error))
        return "device property Period: " + (error.empty() ? std::string("not a number") : error);
    }
    std::string method;
    if (!props[2].is_empty() &&
        (!(props[2] >> method) || !zor_feedback::parse_svd_method(method, &settings->method)))
      return "device property SvdMethod: '" + method + "' is neither gsl nor lapack";
    return {};
  }

  // A refused inversion reaches the client with the library's error line; an
  // accepted one is pushed to the subscribers of the singular values.
  void served(const zor_feedback::SvdReport& r, const char* origin) {
    if (!r.ok) refuse("ZorFeedback_InversionRefused", r.error, origin);
    published_->push_change_event("SINGULAR_VALUES");
  }

  void cycle_done() {  // in the loop's thread
    try {
      published_->push_change_event("HISTORY");
    } catch (const Tango::DevFailed&) {
      // the device's monitor stayed busy: this cycle's event is dropped,
      // the next cycle pushes the history again
    }
  }

  std::unique_ptr<zor_feedback::tango::FeedbackLoop> loop_;
  std::unique_ptr<zor_feedback::tango::PropertyAttributes> published_;
  std::string property_error_;
  std::string status_;
  // What a read hands to TANGO, kept until TANGO has copied it.
  Tango::DevFloat tolerance_ = 0;
  Tango::DevLong used_ = 0, nosv_ = 0;
  Tango::DevDouble condition_number_ = 0, period_ = 0;
  Tango::DevLong64 cycles_ = 0;
};

// An attribute of the device itself, read (and written) by its members.
class DeviceAttribute : public Tango::Attr {
 public:
  using Reader = void (ZorFeedback::*)(Tango::Attribute&);
  using Writer = void (ZorFeedback::*)(Tango::WAttribute&);
  DeviceAttribute(const char* attr_name, long data_type, Reader reader, Writer writer = nullptr)
      : Tango::Attr(attr_name, data_type, writer != nullptr ? Tango::READ_WRITE : Tango::READ),
        reader_(reader),
        writer_(writer) {}
  void read(Tango::DeviceImpl* dev, Tango::Attribute& att) override {
    (static_cast<ZorFeedback*>(dev)->*reader_)(att);
  }
  void write(Tango::DeviceImpl* dev, Tango::WAttribute& att) override {
    (static_cast<ZorFeedback*>(dev)->*writer_)(att);
  }
  bool is_allowed(Tango::DeviceImpl* dev, Tango::AttReqType) override {
    return static_cast<ZorFeedback*>(dev)->serving();
  }

 private:
  Reader reader_;
  Writer writer_;
};

class VoidCommand : public Tango::Command {
 public:
  using Action = void (ZorFeedback::*)();
  VoidCommand(const char* command_name, Action action)
      : Tango::Command(command_name, Tango::DEV_VOID, Tango::DEV_VOID), action_(action) {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any&) override {
    (static_cast<ZorFeedback*>(dev)->*action_)();
    return insert();
  }
  bool is_allowed(Tango::DeviceImpl* dev, const CORBA::Any&) override {
    return static_cast<ZorFeedback*>(dev)->serving();
  }

 private:
  Action action_;
};

class LoadMatrixCommand : public Tango::Command {
 public:
  LoadMatrixCommand()
      : Tango::Command("LoadMatrix", Tango::DEV_STRING, Tango::DEV_VOID,
                       "path of a response-matrix file of the served shape", "") {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
    const char* path = nullptr;
    extract(in, path);
    static_cast<ZorFeedback*>(dev)->load_matrix(path != nullptr ? path : "");
    return insert();
  }
  bool is_allowed(Tango::DeviceImpl* dev, const CORBA::Any&) override {
    return static_cast<ZorFeedback*>(dev)->serving();
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
  explicit ZorFeedbackClass(std::string& class_name) : Tango::DeviceClass(class_name) {}

  void command_factory() override {
    command_list.push_back(new VoidCommand("Start", &ZorFeedback::start));
    command_list.push_back(new VoidCommand("Stop", &ZorFeedback::stop));
    command_list.push_back(new VoidCommand("Invert", &ZorFeedback::invert));
    command_list.push_back(new LoadMatrixCommand);
  }

  void attribute_factory(std::vector<Tango::Attr*>& list) override {
    list.push_back(new DeviceAttribute("Tolerance", Tango::DEV_FLOAT, &ZorFeedback::read_tolerance,
                                       &ZorFeedback::write_tolerance));
    list.push_back(new DeviceAttribute("SingularValuesUsed", Tango::DEV_LONG, &ZorFeedback::read_used));
    list.push_back(new DeviceAttribute("Nosv", Tango::DEV_LONG, &ZorFeedback::read_nosv));
    list.push_back(
        new DeviceAttribute("ConditionNumber", Tango::DEV_DOUBLE, &ZorFeedback::read_condition_number));
    list.push_back(new DeviceAttribute("Period", Tango::DEV_DOUBLE, &ZorFeedback::read_period,
                                       &ZorFeedback::write_period));
    list.push_back(new DeviceAttribute("Cycles", Tango::DEV_LONG64, &ZorFeedback::read_cycles));
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

// OpenBLAS starts its worker threads before main(), with no signal blocked,
// so the kernel may hand a SIGTERM or SIGINT to one of them instead of
// TANGO's signal thread, and the default action would end the process on the
// spot. A handler catches it there; a thread of its own then shuts the server
// down through the admin device's Kill, as a TANGO client would.
class SignalRelay {
 public:
  SignalRelay() {
    if (::pipe2(pipe_, O_CLOEXEC) != 0) return;
    relay_ = std::thread([this] { run(); });  // before the handler can write
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaction(sig, &action, nullptr);
  }
  ~SignalRelay() {
    if (!relay_.joinable()) return;
    const char quit = 'q';
    if (::write(pipe_[1], &quit, 1) != 1) relay_.detach();  // cannot happen with an open pipe
    if (relay_.joinable()) relay_.join();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }
  SignalRelay(const SignalRelay&) = delete;
  SignalRelay& operator=(const SignalRelay&) = delete;

 private:
  static void on_signal(int) {
    const char stop = 's';
    const ssize_t n = ::write(pipe_[1], &stop, 1);  // async-signal-safe
    (void)n;
  }
  void run() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    char c = 0;
    bool killed = false;
    while (::read(pipe_[0], &c, 1) == 1 && c == 's') {
      if (killed) continue;
      killed = true;
      try {
        Tango::Util::instance()->get_dserver_device()->kill();
      } catch (const Tango::DevFailed& e) {
        Tango::Except::print_exception(e);
      }
    }
  }

  static int pipe_[2];
  std::thread relay_;
};

int SignalRelay::pipe_[2] = {-1, -1};

}  // namespace

void Tango::DServer::class_factory() { add_class(ZorFeedbackClass::init("ZorFeedback")); }

int main(int argc, char* argv[]) {
  try {
    Tango::Util* tg = Tango::Util::init(argc, argv);
    tg->server_init();
    SignalRelay relay;
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
  return 0;
}
