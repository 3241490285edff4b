#include "ovrix_server.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <ostream>

int OVRIX_debug = 0;

namespace {

std::mutex g_mutex;  // guards the sink and the time source
ovrix::LogSink g_sink;
ovrix::TimeSource g_time;

bool is_int32_code(int c) {
  switch (c) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_LONG:
    case DATA_UINT:
    case DATA_ULONG:
    case DATA_A_INT:
    case DATA_A_LONG:
    case DATA_A_BOOL:
    case DATA_A_UINT:
    case DATA_A_ULONG:
      return true;
    default:
      return false;
  }
}
bool is_int16_code(int c) { return c == DATA_SHORT || c == DATA_A_SHORT; }
bool is_uint16_code(int c) { return c == DATA_USHORT || c == DATA_A_USHORT; }
bool is_float_code(int c) { return c == DATA_FLOAT || c == DATA_A_FLOAT || c == DATA_MDA_FLOAT; }
bool is_double_code(int c) { return c == DATA_DOUBLE || c == DATA_A_DOUBLE; }

// Truncates toward zero and wraps modulo 2^bits, as an integer store of a
// wider value would; NaN and infinities give 0.
double wrap_integer(double v, int bits, bool is_signed) {
  if (!std::isfinite(v)) return 0.0;
  const double m = std::ldexp(1.0, bits);
  double t = std::fmod(std::trunc(v), m);
  if (t < 0) t += m;
  if (is_signed && t >= m / 2) t -= m;
  return t;
}

double to_storage(int code, double v) {
  if (is_int32_code(code)) return wrap_integer(v, 32, true);
  if (is_int16_code(code)) return wrap_integer(v, 16, true);
  if (is_uint16_code(code)) return wrap_integer(v, 16, false);
  return v;
}

// A float or double as an int: truncation, INT_MIN for NaN and out of range.
int truncate_to_int(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

}  // namespace

std::time_t OVRIXtime() {
  ovrix::TimeSource source;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    source = g_time;
  }
  return source ? source() : std::time(nullptr);
}

// ---------------------------------------------------------------------------
int EqData::length() const {
  if (type_ == DATA_USTR) return static_cast<int>(ustrs_.size());
  if (is_float_code(type_)) return static_cast<int>(floats_.size());
  return static_cast<int>(numbers_.size());
}

int EqData::get_int() const {
  if (is_float_code(type_) && type_ != DATA_MDA_FLOAT)
    return floats_.empty() ? 0 : truncate_to_int(floats_[0]);
  if (is_double_code(type_)) return numbers_.empty() ? 0 : truncate_to_int(numbers_[0]);
  if (is_int32_code(type_) || is_int16_code(type_) || is_uint16_code(type_))
    return numbers_.empty() ? 0 : static_cast<int>(numbers_[0]);
  return 0;
}

double EqData::get_double(int index) const {
  if (index < 0) return 0.0;
  const auto i = static_cast<std::size_t>(index);
  if (is_float_code(type_)) return i < floats_.size() ? floats_[i] : 0.0;
  return i < numbers_.size() ? numbers_[i] : 0.0;
}

void EqData::set_numeric(int type_code, double v) { set_numeric_array(type_code, {v}); }

void EqData::set_numeric_array(int type_code, const std::vector<double>& v) {
  copy_from(nullptr);
  type_ = type_code;
  if (is_float_code(type_code)) {
    floats_.reserve(v.size());
    for (double x : v) floats_.push_back(static_cast<float>(x));
  } else {
    numbers_.reserve(v.size());
    for (double x : v) numbers_.push_back(to_storage(type_code, x));
  }
}

void EqData::set_float_array(int type_code, std::size_t n, float fill) {
  copy_from(nullptr);
  type_ = type_code;
  floats_.assign(n, fill);
}

USTR* EqData::get_ustr(int i) {
  if (type_ != DATA_USTR || i < 0 || static_cast<std::size_t>(i) >= ustrs_.size()) return nullptr;
  return &ustrs_[static_cast<std::size_t>(i)];
}

const USTR* EqData::get_ustr(int i) const { return const_cast<EqData*>(this)->get_ustr(i); }

void EqData::set(const USTR& u, int index) {
  if (type_ != DATA_USTR) {
    copy_from(nullptr);
    type_ = DATA_USTR;
  }
  if (index < 0) return;
  const auto i = static_cast<std::size_t>(index);
  if (i < ustrs_.size()) {
    ustrs_[i] = u;  // a copy of itself (u aliasing an entry) is fine
  } else if (i == ustrs_.size()) {
    ustrs_.push_back(u);  // push_back copes with u aliasing an entry
  }
}

void EqData::set(int i1, float f1, float f2, std::time_t tm, const std::string& text, int index) {
  USTR u;
  u.i1_data = i1;
  u.f1_data = f1;
  u.f2_data = f2;
  u.tm = tm;
  u.str_data = text;
  set(u, index);
}

void EqData::copy_from(const EqData* src) {
  if (src == this) return;
  if (src == nullptr) {
    type_ = DATA_NULL;
    numbers_.clear();
    floats_.clear();
    ustrs_.clear();
    return;
  }
  type_ = src->type_;
  numbers_ = src->numbers_;
  floats_ = src->floats_;
  ustrs_ = src->ustrs_;
}

// ---------------------------------------------------------------------------
D_fct* EqFct::find(const std::string& property) const {
  for (D_fct* p : props_)
    if (p->property_name() == property) return p;
  return nullptr;
}

bool EqFct::get(const std::string& property, EqData* request, EqData* reply) {
  D_fct* p = find(property);
  if (p == nullptr) return false;
  EqAdr adr;
  p->get(&adr, request, reply, this);
  return true;
}

void EqFct::attach(D_fct* p) { props_.push_back(p); }

void EqFct::detach(D_fct* p) { props_.erase(std::remove(props_.begin(), props_.end(), p), props_.end()); }

// ---------------------------------------------------------------------------
D_fct::D_fct(const std::string& name, EqFct* location) : name_(name), location_(location) {
  if (location_ != nullptr) location_->attach(this);
}

D_fct::~D_fct() {
  if (location_ != nullptr) location_->detach(this);
}

void D_fct::get(EqAdr*, EqData*, EqData*, EqFct*) {}
void D_fct::set(EqAdr*, EqData*, EqData*, EqFct*) {}
void D_fct::names(EqAdr*, EqData* dd) {
  if (dd != nullptr) dd->set(0, 0.0f, 0.0f, 0, name_, dd->length());
}
void D_fct::get_multi(EqAdr* a, EqData* sd, EqData* dd, EqFct* f) { get(a, sd, dd, f); }
int D_fct::conf(Config*) { return 0; }
void D_fct::read() {}
void D_fct::read_from_conf(const std::string&) {}
void D_fct::write(std::ostream&) {}
void D_fct::auto_init() {}
const std::string& D_fct::comment() { return comment_; }
int D_fct::data_type() const { return DATA_NULL; }
int D_fct::data_type() { return static_cast<const D_fct*>(this)->data_type(); }
int D_fct::daq_type() { return data_type(); }
void D_fct::conf_insert(Config*) {}
void D_fct::conf_process(Config*) {}
void D_fct::callback_(int) {}
int D_fct::permission() const { return permission_; }
void D_fct::permission(int p) { permission_ = p; }
int D_fct::d_error() const { return error_; }
void D_fct::d_error(int e) { error_ = e; }
int D_fct::d_severity() const { return severity_; }
void D_fct::d_severity(int s) { severity_ = s; }
void D_fct::set_mode(int) {}
void D_fct::send(EqData*) {}
void D_fct::get_value(EqData*) {}

// ---------------------------------------------------------------------------
D_mdfloat_array::D_mdfloat_array(const std::string& name, int d1, int d0, EqFct* location,
                                 unsigned int /*flags: the framework's, no meaning here*/)
    : D_fct(name, location) {
  dims_[0] = std::max(d0, 0);
  dims_[1] = std::max(d1, 0);
  data_.set_float_array(DATA_MDA_FLOAT,
                        static_cast<std::size_t>(dims_[0]) * static_cast<std::size_t>(dims_[1]), 0.0f);
}

void D_mdfloat_array::get(EqAdr*, EqData*, EqData* dd, EqFct*) {
  if (dd != nullptr) dd->copy_from(&data_);
}

void D_mdfloat_array::set(EqAdr*, EqData* sd, EqData*, EqFct*) {
  // A client may replace the elements with an array of the same size.
  if (sd == nullptr || static_cast<std::size_t>(sd->length()) != data_.float_size()) return;
  for (std::size_t i = 0; i < data_.float_size(); ++i)
    data_.float_data()[i] = static_cast<float>(sd->get_double(static_cast<int>(i)));
}

void D_mdfloat_array::get_multi(EqAdr* a, EqData* sd, EqData* dd, EqFct* f) { get(a, sd, dd, f); }

void D_mdfloat_array::write(std::ostream& os) { os << property_name() << ' ' << data_.float_size() << '\n'; }

void D_mdfloat_array::set_mode(int mode) { mode_ = mode; }
void D_mdfloat_array::send(EqData* dd) { get(nullptr, nullptr, dd, nullptr); }
void D_mdfloat_array::get_value(EqData* dd) { get(nullptr, nullptr, dd, nullptr); }

// ---------------------------------------------------------------------------
D_ustr::D_ustr(const std::string& name, EqFct* location) : D_fct(name, location) {}

void D_ustr::get(EqAdr*, EqData*, EqData* dd, EqFct*) {
  if (dd == nullptr) return;
  dd->copy_from(nullptr);
  dd->set(value_, 0);
}

void D_ustr::set(EqAdr*, EqData* sd, EqData*, EqFct*) {
  if (sd == nullptr) return;
  if (const USTR* u = sd->get_ustr(0)) value_ = *u;
}

void D_ustr::set_value(int i1, float f1, float f2, std::time_t tm, const std::string& text) {
  value_.i1_data = i1;
  value_.f1_data = f1;
  value_.f2_data = f2;
  value_.tm = tm;
  value_.str_data = text;
}
void D_ustr::set_f1(float f) { value_.f1_data = f; }
void D_ustr::set_f2(float f) { value_.f2_data = f; }
int D_ustr::get_int() { return value_.i1_data; }
float D_ustr::get_f1() { return value_.f1_data; }
float D_ustr::get_f2() { return value_.f2_data; }
std::time_t D_ustr::get_time() { return value_.tm; }
std::string D_ustr::get_string() { return value_.str_data; }
USTR* D_ustr::value() { return &value_; }

// ---------------------------------------------------------------------------
D_spectrum::D_spectrum(const std::string& name, int max_length, EqFct* location) : D_fct(name, location) {
  points_.reserve(static_cast<std::size_t>(std::max(max_length, 0)));
}

void D_spectrum::get(EqAdr*, EqData*, EqData* dd, EqFct*) {
  if (dd == nullptr) return;
  dd->set_float_array(DATA_A_FLOAT, points_.size(), 0.0f);
  std::copy(points_.begin(), points_.end(), dd->float_data());
}

void D_spectrum::set_length(int n) { points_.resize(static_cast<std::size_t>(std::max(n, 0)), 0.0f); }

void D_spectrum::fill_spectrum(int index, float value) {
  if (index >= 0 && static_cast<std::size_t>(index) < points_.size())
    points_[static_cast<std::size_t>(index)] = value;
}

float D_spectrum::point(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= points_.size())
    return std::numeric_limits<float>::quiet_NaN();
  return points_[static_cast<std::size_t>(index)];
}

// ---------------------------------------------------------------------------
namespace ovrix {

void printtostderr(const char* origin, const char* message, unsigned int flags) {
  LogLine line{origin ? origin : "", message ? message : "", flags};
  LogSink sink;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    sink = g_sink;
  }
  if (sink) {
    sink(line);
    return;
  }
  if ((flags & DF_LOG) == 0 && (flags & static_cast<unsigned int>(OVRIX_debug)) == 0) return;

  char stamp[32] = "";
  const std::time_t now = OVRIXtime();
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  const bool ends_with_lf = !line.text.empty() && line.text.back() == '\n';
  std::fprintf(stderr, "%s %s: %s%s", stamp, line.origin.c_str(), line.text.c_str(),
               ends_with_lf ? "" : "\n");
}

LogSink set_log_sink(LogSink sink) {
  std::lock_guard<std::mutex> lock(g_mutex);
  LogSink previous = std::move(g_sink);
  g_sink = std::move(sink);
  return previous;
}

LogCapture::LogCapture() : previous_(set_log_sink([this](const LogLine& l) { lines_.push_back(l); })) {}

LogCapture::~LogCapture() { set_log_sink(std::move(previous_)); }

TimeSource set_time_source(TimeSource source) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TimeSource previous = std::move(g_time);
  g_time = std::move(source);
  return previous;
}

}  // namespace ovrix
