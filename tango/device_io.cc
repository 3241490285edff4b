// The loop's source and sink over TANGO clients. A proxy is made on first use
// and made again after a failure, so a device that was down is found again.
#include "device_io.h"

#include <tango.h>

#include <cmath>
#include <limits>
#include <mutex>

namespace zor_feedback {
namespace tango {

namespace zl = zor_feedback::loop;

namespace {

std::string first_error(const Tango::DevFailed& e) {
  return e.errors.length() > 0 ? std::string(e.errors[0].desc.in()) : std::string("TANGO error");
}

// The proxy of `device`, made when there is none; null (and *error) when it
// cannot be made.
Tango::DeviceProxy* proxy_of(std::unique_ptr<Tango::DeviceProxy>& p, const std::string& device,
                             int timeout_ms, std::string* error) {
  if (p) return p.get();
  try {
    std::string name = device;  // TANGO takes a non-const reference
    p = std::make_unique<Tango::DeviceProxy>(name);
    p->set_timeout_millis(timeout_ms);
  } catch (const Tango::DevFailed& e) {
    *error = device + ": " + first_error(e);
    p.reset();
  }
  return p.get();
}

}  // namespace

bool parse_attribute_name(const std::string& full, AttributeName* out, std::string* error) {
  std::string name = full, prefix, suffix;
  if (const std::size_t hash = name.find('#'); hash != std::string::npos) {
    suffix = name.substr(hash);
    name.erase(hash);
  }
  if (name.rfind("tango://", 0) == 0) {
    const std::size_t slash = name.find('/', 8);
    if (slash == std::string::npos) {
      *error = "'" + full + "' names no device after its host";
      return false;
    }
    prefix = name.substr(0, slash + 1);
    name.erase(0, slash + 1);
  }
  int slashes = 0;
  for (const char c : name) slashes += c == '/';
  const std::size_t last = name.rfind('/');
  if (slashes != 3 || last == 0 || last + 1 == name.size() || name.find("//") != std::string::npos) {
    *error = "'" + full + "' is not an attribute name (domain/family/member/attribute)";
    return false;
  }
  out->full = full;
  out->device = prefix + name.substr(0, last) + suffix;
  out->attribute = name.substr(last + 1);
  return true;
}

struct DeviceOrbitSource::Proxies {
  std::mutex m;
  std::vector<AttributeName> names;
  std::vector<std::unique_ptr<Tango::DeviceProxy>> proxies;
  int timeout_ms = 0;
};

DeviceOrbitSource::DeviceOrbitSource(std::vector<AttributeName> attributes, int timeout_ms)
    : p_(std::make_unique<Proxies>()) {
  p_->names = std::move(attributes);
  p_->proxies.resize(p_->names.size());
  p_->timeout_ms = timeout_ms;
}

DeviceOrbitSource::~DeviceOrbitSource() = default;

zl::Orbit DeviceOrbitSource::read() {
  std::lock_guard<std::mutex> lock(p_->m);
  zl::Orbit o;
  for (std::size_t a = 0; a < p_->names.size(); ++a) {
    const AttributeName& n = p_->names[a];
    Tango::DeviceProxy* dev = proxy_of(p_->proxies[a], n.device, p_->timeout_ms, &o.error);
    if (dev == nullptr) return o;
    try {
      std::string attribute = n.attribute;
      Tango::DeviceAttribute da = dev->read_attribute(attribute);
      std::vector<double> v;
      const bool invalid = da.get_quality() == Tango::ATTR_INVALID;
      if (!invalid) da.extract_read(v);
      // An INVALID spectrum carries no values: as many unread monitors as it has.
      if (invalid)
        v.assign(static_cast<std::size_t>(da.get_dim_x()), std::numeric_limits<double>::quiet_NaN());
      for (const double x : v) {
        o.values.push_back(x);
        o.valid.push_back(std::isfinite(x));
      }
    } catch (const Tango::DevFailed& e) {
      o.error = n.full + ": " + first_error(e);
      p_->proxies[a].reset();
      return o;
    }
  }
  o.ok = true;
  return o;
}

struct DeviceCorrectorSink::Proxy {
  std::mutex m;
  AttributeName name, readbacks;  // readbacks.full empty: the set-points are read instead
  std::unique_ptr<Tango::DeviceProxy> proxy, readback_proxy;
  int timeout_ms = 0;
};

DeviceCorrectorSink::DeviceCorrectorSink(AttributeName setpoints, int timeout_ms)
    : DeviceCorrectorSink(std::move(setpoints), AttributeName{}, timeout_ms) {}

DeviceCorrectorSink::DeviceCorrectorSink(AttributeName setpoints, AttributeName readbacks, int timeout_ms)
    : p_(std::make_unique<Proxy>()) {
  p_->name = std::move(setpoints);
  p_->readbacks = std::move(readbacks);
  p_->timeout_ms = timeout_ms;
}

DeviceCorrectorSink::~DeviceCorrectorSink() = default;

zl::SinkResult DeviceCorrectorSink::write(const std::vector<double>& setpoints) {
  std::lock_guard<std::mutex> lock(p_->m);
  zl::SinkResult r;
  Tango::DeviceProxy* dev = proxy_of(p_->proxy, p_->name.device, p_->timeout_ms, &r.error);
  if (dev == nullptr) return r;
  try {
    std::vector<double> v = setpoints;
    Tango::DeviceAttribute da(p_->name.attribute, v);
    dev->write_attribute(da);
    r.ok = true;
  } catch (const Tango::DevFailed& e) {
    r.error = p_->name.full + ": " + first_error(e);
    p_->proxy.reset();
  }
  return r;
}

namespace {

// One spectrum of doubles; the proxy is made again after a failure.
zl::SinkResult read_doubles(const AttributeName& name, std::unique_ptr<Tango::DeviceProxy>& proxy,
                            int timeout_ms) {
  zl::SinkResult r;
  Tango::DeviceProxy* dev = proxy_of(proxy, name.device, timeout_ms, &r.error);
  if (dev == nullptr) return r;
  try {
    std::string attribute = name.attribute;  // TANGO takes a non-const reference
    Tango::DeviceAttribute da = dev->read_attribute(attribute);
    if (da.get_quality() == Tango::ATTR_INVALID) {
      r.error = name.full + " reads INVALID";
      return r;
    }
    da.extract_read(r.values);  // a read-write attribute also carries the written values
    r.ok = true;
  } catch (const Tango::DevFailed& e) {
    r.error = name.full + ": " + first_error(e);
    proxy.reset();
  }
  return r;
}

}  // namespace

zl::SinkResult DeviceCorrectorSink::read() {
  std::lock_guard<std::mutex> lock(p_->m);
  if (p_->readbacks.full.empty()) return read_doubles(p_->name, p_->proxy, p_->timeout_ms);
  return read_doubles(p_->readbacks, p_->readback_proxy, p_->timeout_ms);
}

zl::SinkResult DeviceCorrectorSink::read_setpoints() {
  std::lock_guard<std::mutex> lock(p_->m);
  return read_doubles(p_->name, p_->proxy, p_->timeout_ms);
}

}  // namespace tango
}  // namespace zor_feedback
