// ovrix_server.h - a small stand-in for the OVRIX framework's server library.
//
// zor_feedback builds on the framework's property classes, its data container,
// its clock and its logging. The real server library is provided by the host
// server process at a site; this layer supplies the least of it that the
// library needs, so that the library builds, runs and is testable anywhere.
// A site replaces the `ovrix_host` target (and this header) by the real
// framework; nothing in zor_feedback/ has to change.
//
// Besides the framework's own names, this layer offers a few things that a
// test or a command-line tool needs and that are marked "host layer" below:
// capturing log lines, setting the clock, building requests.
//
// Thread safety: the log sink and the clock are guarded and may be used from
// any thread. Properties and EqData are not synchronised; the owner serialises
// access, as with the real framework.
#ifndef OVRIX_SERVER_H
#define OVRIX_SERVER_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Data-type codes carried by EqData and reported by data_type().
enum : int {
  DATA_NULL = 0,
  DATA_INT = 1,
  DATA_FLOAT = 2,
  DATA_BOOL = 4,
  DATA_DOUBLE = 6,
  DATA_SPECTRUM = 19,
  DATA_SHORT = 25,
  DATA_LONG = 26,
  DATA_USHORT = 27,
  DATA_UINT = 28,
  DATA_ULONG = 29,
  DATA_A_FLOAT = 100,
  DATA_USTR = 103,
  DATA_A_INT = 105,
  DATA_MDA_FLOAT = 109,
  DATA_A_DOUBLE = 110,
  DATA_A_LONG = 111,
  DATA_A_SHORT = 113,
  DATA_A_BOOL = 114,
  DATA_A_USHORT = 116,
  DATA_A_UINT = 117,
  DATA_A_ULONG = 118,
};

// Log flags: a line with DF_LOG is always written.
constexpr unsigned int DF_LOG = 0x80000000u;

// The server's debug mask. Bit 128 selects the progress lines (flags 128),
// bit 8 the timing lines (flags 8) on standard error; zor_feedback also
// prints its debug tables on standard output when bit 128 is set. Default 0.
extern int OVRIX_debug;

// Current time in whole seconds (the system clock, or the test clock set by
// ovrix::set_time_source).
std::time_t OVRIXtime();

// ---------------------------------------------------------------------------
// One text entry with two floats, an int and a time stamp.
struct USTR {
  int i1_data = 0;
  float f1_data = 0.0f;
  float f2_data = 0.0f;
  std::time_t tm = 0;    // seconds
  std::string str_data;  // the text; owned, so a USTR is an independent copy
};

// A typed data container: what a client sends as a request and gets back as
// a reply. It holds no value (type() == DATA_NULL), numbers of one type code
// (a scalar is an array of length 1), or a list of USTR entries.
class EqData {
 public:
  EqData() = default;

  // Type code of what the container holds; DATA_NULL when it holds nothing.
  int type() const { return type_; }
  // Number of elements (numbers or USTR entries).
  int length() const;

  // The value as an int, by type code:
  //  1, 4, 26, 28, 29 and arrays 105, 111, 114, 117, 118: the (first) value as
  //    a 32-bit signed int; 25, 113: 16-bit signed; 27, 116: 16-bit unsigned;
  //  2, 100 (float) and 6, 110 (double): truncated toward zero, and the most
  //    negative int for a NaN or a value outside the range of int;
  //  every other code, and an empty array: 0.
  int get_int() const;
  // The element `index` as a double (0 for an index outside the container).
  double get_double(int index = 0) const;

  // --- Requests (host layer): set the container to numbers of a type code.
  // Each value is converted to the code's element type when stored: int codes
  // truncate and wrap to 32 bits, 16-bit codes wrap to 16 bits, float codes
  // round to float; a NaN stored into an integer code becomes 0. Any other
  // code keeps the double as given.
  void set_numeric(int type_code, double v);
  void set_numeric_array(int type_code, const std::vector<double>& v);

  // --- Float arrays (codes 100, 109): the storage of D_mdfloat_array.
  void set_float_array(int type_code, std::size_t n, float fill);
  float* float_data() { return floats_.data(); }
  const float* float_data() const { return floats_.data(); }
  std::size_t float_size() const { return floats_.size(); }

  // --- USTR entries.
  // Entry i, or nullptr when i is outside 0 .. length()-1 or the container
  // holds no USTR list.
  USTR* get_ustr(int i);
  const USTR* get_ustr(int i) const;
  // Writes entry `index`: an existing index is replaced alone; index ==
  // length() appends one entry. Any other index (negative, or beyond the end)
  // changes nothing. A container that held anything but USTR entries is
  // emptied first and then holds USTR entries (type DATA_USTR).
  void set(const USTR& u, int index);
  void set(int i1, float f1, float f2, std::time_t tm, const std::string& text, int index);

  // Makes this container an independent (deep) copy of *src; a null src
  // empties it.
  void copy_from(const EqData* src);

 private:
  int type_ = DATA_NULL;
  std::vector<double> numbers_;  // integer and double codes
  std::vector<float> floats_;    // float codes
  std::vector<USTR> ustrs_;      // DATA_USTR
};

// ---------------------------------------------------------------------------
class EqFct;
class D_fct;

// A property address as a client names it; passed on by the library, never
// read.
class EqAdr {};

// Configuration records; the library only passes them on.
class Config {};

// A server location: owns its properties (they register themselves when
// constructed with this location and unregister when destroyed). A property
// may be constructed with a null EqFct*: it then belongs to no location.
class EqFct {
 public:
  explicit EqFct(std::string name) : name_(std::move(name)) {}
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;
  virtual ~EqFct() = default;

  const std::string& name() const { return name_; }
  // Properties in the order they were constructed.
  const std::vector<D_fct*>& properties() const { return props_; }
  // The property of that name, or nullptr.
  D_fct* find(const std::string& property) const;

  // A client's read, as the framework serves it: get() of the named property.
  // Returns false when there is no such property.
  bool get(const std::string& property, EqData* request, EqData* reply);

 private:
  friend class D_fct;  // properties register themselves
  void attach(D_fct* p);
  void detach(D_fct* p);

  std::string name_;
  std::vector<D_fct*> props_;
};

// ---------------------------------------------------------------------------
// Base of every property. The virtual operations are declared in the
// framework's slot order; the defaults do nothing.
class D_fct {
 public:
  D_fct(const std::string& name, EqFct* location);
  D_fct(const D_fct&) = delete;
  D_fct& operator=(const D_fct&) = delete;
  virtual ~D_fct();

  virtual void get(EqAdr*, EqData* sd, EqData* dd, EqFct*);
  virtual void set(EqAdr*, EqData* sd, EqData* dd, EqFct*);
  virtual void names(EqAdr*, EqData* dd);
  virtual void get_multi(EqAdr*, EqData* sd, EqData* dd, EqFct*);
  virtual int conf(Config*);
  virtual void read();
  virtual void read_from_conf(const std::string& text);
  virtual void write(std::ostream& os);
  virtual void auto_init();
  virtual const std::string& comment();
  virtual int data_type() const;
  virtual int data_type();
  virtual int daq_type();
  virtual void conf_insert(Config*);
  virtual void conf_process(Config*);
  virtual void callback_(int reason);
  virtual int permission() const;
  virtual void permission(int p);
  virtual int d_error() const;
  virtual void d_error(int e);
  virtual int d_severity() const;
  virtual void d_severity(int s);
  virtual void set_mode(int mode);
  virtual void send(EqData* dd);
  virtual void get_value(EqData* dd);

  const std::string& property_name() const { return name_; }
  EqFct* location() const { return location_; }

 private:
  std::string name_;
  EqFct* location_;
  std::string comment_;
  int permission_ = 0;
  int error_ = 0;
  int severity_ = 0;
};

// ---------------------------------------------------------------------------
// Multi-dimensional float array, up to six indices, data-type code 109.
//
// Constructed with two dimensions: d1 is the extent of the first index, d0 of
// the second; element (i0, i1) lies at i0 * d0 + i1 in the float storage. A
// negative extent counts as 0. Unused indices are passed as -1.
//
// Out-of-range access is safe: value() of an index outside the array returns
// NaN, set_value() to such an index writes nothing.
class D_mdfloat_array : public D_fct {
 public:
  D_mdfloat_array(const std::string& name, int d1, int d0, EqFct* location, unsigned int flags);

  void get(EqAdr*, EqData* sd, EqData* dd, EqFct*) override;
  void set(EqAdr*, EqData* sd, EqData* dd, EqFct*) override;
  void get_multi(EqAdr*, EqData* sd, EqData* dd, EqFct*) override;
  void write(std::ostream& os) override;
  int data_type() const override { return DATA_MDA_FLOAT; }
  void set_mode(int mode) override;
  void send(EqData* dd) override;
  void get_value(EqData* dd) override;

  virtual float value(int i0, int i1, int i2, int i3, int i4, int i5);
  virtual void set_value(float v, int i0, int i1, int i2, int i3, int i4, int i5);

  int num_dims() const { return num_dims_; }
  int dim(int k) const { return (k >= 0 && k < 6) ? dims_[k] : 0; }

 protected:
  // Offset of an element in the storage, or -1 when the indices lie outside.
  long offset(int i0, int i1, int i2, int i3, int i4, int i5) const {
    const long size = static_cast<long>(data_.float_size());
    if (num_dims_ == 2) {  // the common case, kept cheap enough to inline into loops
      if (i0 < 0 || i0 >= dims_[1] || i1 < 0 || i1 >= dims_[0]) return -1;
      const long off = static_cast<long>(i0) * dims_[0] + i1;
      return off < size ? off : -1;
    }
    const int idx[6] = {i0, i1, i2, i3, i4, i5};
    if (num_dims_ < 1 || num_dims_ > 6) return -1;
    long off = 0;
    for (int k = 0; k < num_dims_; ++k) {
      const int extent = dims_[num_dims_ - 1 - k];
      if (idx[k] < 0 || idx[k] >= extent) return -1;
      off = off * extent + idx[k];
      if (off >= size) return -1;  // also guards a shape that outgrew the storage
    }
    return off;
  }

  // The state that travels with an assignment of the whole array.
  EqData data_;                       // the elements, DATA_MDA_FLOAT
  int num_dims_ = 2;                  // number of dimensions
  int dims_[6] = {0, 0, 0, 0, 0, 0};  // extents; dims_[0] is the fastest index
  char dim_labels_[80] = {};          // axis description
  std::int64_t dim_stamp_ = 0;        // time stamp of the shape

 private:
  int mode_ = 0;
};

// Defined here so that a non-virtual call (D_mdfloat_array::value) inlines.
inline float D_mdfloat_array::value(int i0, int i1, int i2, int i3, int i4, int i5) {
  const long off = offset(i0, i1, i2, i3, i4, i5);
  return off < 0 ? std::numeric_limits<float>::quiet_NaN() : data_.float_data()[off];
}

inline void D_mdfloat_array::set_value(float v, int i0, int i1, int i2, int i3, int i4, int i5) {
  const long off = offset(i0, i1, i2, i3, i4, i5);
  if (off >= 0) data_.float_data()[off] = v;
}

// ---------------------------------------------------------------------------
// Property holding one USTR, data-type code 103.
class D_ustr : public D_fct {
 public:
  D_ustr(const std::string& name, EqFct* location);

  void get(EqAdr*, EqData* sd, EqData* dd, EqFct*) override;
  void set(EqAdr*, EqData* sd, EqData* dd, EqFct*) override;
  int data_type() const override { return DATA_USTR; }

  virtual void set_value(int i1, float f1, float f2, std::time_t tm, const std::string& text);
  virtual void set_f1(float f);
  virtual void set_f2(float f);
  virtual int get_int();
  virtual float get_f1();
  virtual float get_f2();
  virtual std::time_t get_time();
  virtual std::string get_string();
  virtual USTR* value();

 private:
  USTR value_;
};

// ---------------------------------------------------------------------------
// Float spectrum property (data-type code 19): a number of points, each a
// float, filled one by one by the server and read as a whole by clients.
class D_spectrum : public D_fct {
 public:
  D_spectrum(const std::string& name, int max_length, EqFct* location);

  void get(EqAdr*, EqData* sd, EqData* dd, EqFct*) override;
  int data_type() const override { return DATA_SPECTRUM; }

  // Sets the number of points (negative counts as 0); new points are 0.
  virtual void set_length(int n);
  // Stores point `index`; an index outside 0 .. length()-1 is ignored.
  void fill_spectrum(int index, float value);

  // As a client reads it (host layer).
  int length() const { return static_cast<int>(points_.size()); }
  float point(int index) const;
  const std::vector<float>& points() const { return points_; }

 private:
  std::vector<float> points_;
};

// ---------------------------------------------------------------------------
namespace ovrix {

// Writes one log line. Layout on standard error:
//   "YYYY-MM-DDThh:mm:ss <origin>: <message>"
// (local time; a trailing line feed of the message is not doubled). A line
// whose flags hold DF_LOG is always written; any other line is written when
// its flags share a bit with OVRIX_debug. When a log sink is installed, every
// line goes to the sink instead, unfiltered.
void printtostderr(const char* origin, const char* message, unsigned int flags);
inline void printtostderr(const std::string& origin, const char* message, unsigned int flags) {
  printtostderr(origin.c_str(), message, flags);
}

// --- Host layer: log capture and test clock.
struct LogLine {
  std::string origin;
  std::string text;
  unsigned int flags;
};
using LogSink = std::function<void(const LogLine&)>;
// Installs a sink for every log line (an empty one restores standard error)
// and returns the previous one.
LogSink set_log_sink(LogSink sink);

// Collects every log line while it lives; restores the previous sink after.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  const std::vector<LogLine>& lines() const { return lines_; }
  void clear() { lines_.clear(); }

 private:
  std::vector<LogLine> lines_;
  LogSink previous_;
};

// Replaces the clock behind OVRIXtime(); an empty function restores the
// system clock. Returns the previous source.
using TimeSource = std::function<std::time_t()>;
TimeSource set_time_source(TimeSource source);

}  // namespace ovrix

#endif  // OVRIX_SERVER_H
