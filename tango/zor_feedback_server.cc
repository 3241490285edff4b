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
// Re-inversions run off the lock: a command answers within kAnswerWithin,
// with the outcome when it is known by then; else InversionStatus (and its
// change event) tells it later.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <tango.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "example_data.h"
#include "feedback_loop.h"
#include "matrix_files.h"
#include "property_attributes.h"

namespace {

using zor_feedback::tango::AttributeText;
using zor_feedback::tango::FeedbackLoop;

constexpr double default_period_s = 0.5;

// Set once the server is up: a signal before that ends the process at once.
std::atomic<bool> server_started{false};

void exit_while_starting() {
  std::fflush(nullptr);
  std::_Exit(0);  // nothing is served yet, nothing to shut down
}
constexpr std::chrono::milliseconds kAnswerWithin{250};
constexpr long long kBytesPerValue = 16, kSpareBytes = 1 << 20;

[[noreturn]] void refuse(const char* reason, const std::string& desc, const char* origin) {
  Tango::Except::throw_exception(reason, desc.c_str(), origin);
}

const std::map<std::string, AttributeText>& published_texts() {
  static const std::map<std::string, AttributeText> texts = {
      {"RESPONSE_MATRIX",
       {"Response matrix", "mm/mrad", "orbit response of each monitor (row) to each corrector (column)",
        "%.4e"}},
      {"INVERSE",
       {"Inverse", "mrad/mm", "the served inverse of RESPONSE_MATRIX (correctors x monitors)", "%.4e"}},
      {"SINGULAR_VALUES", {"Singular values", "mm/mrad", "of RESPONSE_MATRIX, non-increasing", "%.4e"}},
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
    // The first inversion runs while the attributes and events are put in
    // place; the loop starts when it is served.
    loop_ = std::make_unique<FeedbackLoop>(settings, period, [this](unsigned what) { changed(what); });
    if (loop_->simulation() == nullptr) return set_state(Tango::FAULT);  // the status says why
    if (!limit_given_) {
      const auto* sim = loop_->simulation();
      files_->set_max_bytes(kBytesPerValue * sim->monitors() * sim->correctors() + kSpareBytes);
    }
    published_ = std::make_unique<zor_feedback::tango::PropertyAttributes>(
        *this, loop_->simulation()->location(), loop_->mutex(), published_texts());
    for (const auto& t : published_texts()) published_->enable_change_events(t.first);
    for (const char* a : kScalars) set_change_event(a, true, false);
    serving_ = true;
  }

  void delete_device() override {
    closing_ = true;
    serving_ = false;
    loop_.reset();  // joins the loop's threads first: nothing pushes after this
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
    answer(loop_->invert(tol, kAnswerWithin), "ZorFeedback::write_Tolerance");
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
    period_ = loop_->period();
    push_change_event("Period", &period_);
  }
  void read_cycles(Tango::Attribute& att) {
    cycles_ = loop_->cycles();
    att.set_value(&cycles_);
  }
  void read_inversion_status(Tango::Attribute& att) {
    inversion_status_ = loop_->inversion_status();
    inversion_status_ptr_ = const_cast<char*>(inversion_status_.c_str());
    att.set_value(&inversion_status_ptr_);
  }

  // --- Commands
  void start() {
    const std::string error = loop_->start();
    if (!error.empty()) refuse("ZorFeedback_StateRefused", error, "ZorFeedback::Start");
  }
  void stop() {
    const std::string error = loop_->stop();
    if (!error.empty()) refuse("ZorFeedback_StateRefused", error, "ZorFeedback::Stop");
  }
  void invert() { answer(loop_->invert_again(kAnswerWithin), "ZorFeedback::Invert"); }
  void load_matrix(const std::string& path) {
    std::string error;
    const std::string file = files_->resolve(path, &error);
    if (file.empty()) refuse("ZorFeedback_LoadRefused", "LoadMatrix " + error, "ZorFeedback::LoadMatrix");
    answer(loop_->load_matrix(file, kAnswerWithin), "ZorFeedback::LoadMatrix");
  }

  static constexpr const char* kScalars[] = {
      "Tolerance", "SingularValuesUsed", "Nosv", "ConditionNumber", "Period", "Cycles", "InversionStatus"};

 private:
  // The settings from the device properties; the error when one is unusable.
  std::string read_device_properties(zor_feedback::sim::FeedbackSimulation::Settings* settings,
                                     double* period);

  // A refused or not started re-inversion reaches the client as DevFailed
  // with the reason; a served one, or one still running, answers normally
  // (InversionStatus tells the end of the latter).
  void answer(const FeedbackLoop::Outcome& out, const char* origin) {
    if (out.kind == FeedbackLoop::Outcome::refused) refuse("ZorFeedback_InversionRefused", out.text, origin);
    if (out.kind == FeedbackLoop::Outcome::busy) refuse("ZorFeedback_Busy", out.text, origin);
  }

  // In the loop's notifier thread: pushes what changed.
  void changed(unsigned what);

  std::unique_ptr<FeedbackLoop> loop_;
  std::unique_ptr<zor_feedback::tango::PropertyAttributes> published_;
  std::unique_ptr<zor_feedback::tango::MatrixFiles> files_;
  bool limit_given_ = false;
  std::atomic<bool> serving_{false}, closing_{false};
  std::string property_error_;
  std::string status_;
  // What a read hands to TANGO, kept until TANGO has copied it.
  Tango::DevDouble tolerance_ = 0;
  Tango::DevLong used_ = 0, nosv_ = 0;
  Tango::DevDouble condition_number_ = 0, period_ = 0;
  Tango::DevLong64 cycles_ = 0;
  std::string inversion_status_;
  Tango::DevString inversion_status_ptr_ = nullptr;
};

std::string ZorFeedback::read_device_properties(zor_feedback::sim::FeedbackSimulation::Settings* settings,
                                                double* period) {
  const std::string ring = zor_feedback::sim::example_data_path("ring_response.txt");
  std::string directory = ring.substr(0, ring.rfind('/') == std::string::npos ? 0 : ring.rfind('/'));
  std::string file = "ring_response.txt", inversion, method;
  Tango::DevLong64 limit = LLONG_MAX;
  limit_given_ = false;
  if (Tango::Util::_UseDb) {
    Tango::DbData props;
    for (const char* name :
         {"MatrixDirectory", "MatrixFile", "MatrixFileLimit", "Period", "Inversion", "SvdMethod"})
      props.push_back(Tango::DbDatum(name));
    get_db_device()->get_property(props);
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
  files_ = std::make_unique<zor_feedback::tango::MatrixFiles>(directory, limit);
  if (!files_->ok()) return "device property MatrixDirectory: " + files_->error();
  std::string error;
  settings->matrix_file = files_->resolve(file, &error);
  if (settings->matrix_file.empty()) return "device property MatrixFile " + error;
  return {};
}

void ZorFeedback::changed(unsigned what) {
  if (closing_ || !serving_) return;  // no subscriber before init_device is done
  try {
#pragma GCC diagnostic push  // TANGO's switch over the serialisation models has no default
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    Tango::AutoTangoMonitor sync(this);
#pragma GCC diagnostic pop
    if (what & FeedbackLoop::kCycle) {
      for (const char* p : {"ORBIT", "CORRECTORS", "HISTORY"}) published_->push_change_event(p);
      Tango::DevLong64 cycles = loop_->cycles();
      push_change_event("Cycles", &cycles);
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
    }
    if (what & FeedbackLoop::kInversionStatus) {
      published_->push_change_event("HISTORY");
      std::string text = loop_->inversion_status();
      Tango::DevString s = const_cast<char*>(text.c_str());
      push_change_event("InversionStatus", &s);
    }
  } catch (const Tango::DevFailed&) {
    // the device's monitor stayed busy: these events are dropped, the next
    // change pushes the values again
  }
}

// An attribute of the device itself, read (and written) by its members.
class DeviceAttribute : public Tango::Attr {
 public:
  using Reader = void (ZorFeedback::*)(Tango::Attribute&);
  using Writer = void (ZorFeedback::*)(Tango::WAttribute&);
  DeviceAttribute(const char* attr_name, long data_type, const AttributeText& text, Reader reader,
                  Writer writer = nullptr)
      : Tango::Attr(attr_name, data_type, writer != nullptr ? Tango::READ_WRITE : Tango::READ),
        reader_(reader),
        writer_(writer) {
    zor_feedback::tango::describe(*this, text);
  }
  void read(Tango::DeviceImpl* dev, Tango::Attribute& att) override {
    auto* d = static_cast<ZorFeedback*>(dev);
    d->require_serving("ZorFeedback::read_attribute");
    (d->*reader_)(att);
  }
  void write(Tango::DeviceImpl* dev, Tango::WAttribute& att) override {
    auto* d = static_cast<ZorFeedback*>(dev);
    d->require_serving("ZorFeedback::write_attribute");
    (d->*writer_)(att);
  }

 private:
  Reader reader_;
  Writer writer_;
};

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
      : Tango::Command("LoadMatrix", Tango::DEV_STRING, Tango::DEV_VOID,
                       "a response-matrix file of the served shape in MatrixDirectory (relative: to it)",
                       "") {}
  CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
    auto* d = static_cast<ZorFeedback*>(dev);
    d->require_serving("LoadMatrix");
    const char* path = nullptr;
    extract(in, path);
    d->load_matrix(path != nullptr ? path : "");
    return insert();
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

  void signal_handler(long) override {
    if (!server_started) exit_while_starting();
  }

  void command_factory() override {
    command_list.push_back(
        new VoidCommand("Start", &ZorFeedback::start, "runs the loop (refused when running)"));
    command_list.push_back(
        new VoidCommand("Stop", &ZorFeedback::stop, "stops the loop (refused when stopped)"));
    command_list.push_back(new VoidCommand("Invert", &ZorFeedback::invert,
                                           "inverts the served matrix again with the cut in use"));
    command_list.push_back(new LoadMatrixCommand);
  }

  void attribute_factory(std::vector<Tango::Attr*>& list) override {
    list.push_back(new DeviceAttribute(
        "Tolerance", Tango::DEV_DOUBLE,
        {"Tolerance", "",
         "standard inversion: the relative cut-off rcond (s used when s > rcond * max(S)); classic: invert's "
         "tolerance. Write -1 for the default; a write re-inverts",
         "%.3e"},
        &ZorFeedback::read_tolerance, &ZorFeedback::write_tolerance));
    list.push_back(
        new DeviceAttribute("SingularValuesUsed", Tango::DEV_LONG,
                            {"Singular values used", "", "singular values in the served inverse", "%d"},
                            &ZorFeedback::read_used));
    list.push_back(new DeviceAttribute(
        "Nosv", Tango::DEV_LONG,
        {"Nosv", "", "classic inversion: invert's nosv (values not below the tolerance); 0 in standard",
         "%d"},
        &ZorFeedback::read_nosv));
    list.push_back(
        new DeviceAttribute("ConditionNumber", Tango::DEV_DOUBLE,
                            {"Condition number", "", "max(S) / min(S) of the served matrix", "%.3e"},
                            &ZorFeedback::read_condition_number));
    list.push_back(
        new DeviceAttribute("Period", Tango::DEV_DOUBLE,
                            {"Period", "s", "time between two correction cycles (0.01 to 3600)", "%.3f"},
                            &ZorFeedback::read_period, &ZorFeedback::write_period));
    list.push_back(new DeviceAttribute("Cycles", Tango::DEV_LONG64,
                                       {"Cycles", "", "correction cycles run since the start", "%d"},
                                       &ZorFeedback::read_cycles));
    list.push_back(
        new DeviceAttribute("InversionStatus", Tango::DEV_STRING,
                            {"Inversion status", "",
                             "the last re-inversion: 'running: ...', 'served: ...' or 'refused: ...'", "%s"},
                            &ZorFeedback::read_inversion_status));
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

// SIGTERM, SIGINT and SIGQUIT end the server with exit status 0 at any time.
// The handler may run in any thread (also one a library started before
// main() with no signal blocked); it only wakes the relay's thread, which
// ends a server still starting at once (nothing is served yet) and shuts a
// running one down through the admin device's Kill, as a TANGO client would.
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
      if (!server_started) exit_while_starting();
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
  SignalRelay relay;
  try {
    Tango::Util* tg = Tango::Util::init(argc, argv);
    tg->server_init();
    server_started = true;  // from here on a signal shuts the server down through TANGO
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
