// device_io.h - the ring behind other TANGO devices, as the loop reads and
// writes it: the orbit from spectrum attributes (the matrix's monitors in
// their row order), the correctors' set-points written in one attribute
// write. Knows TANGO only in its source; callers see the loop's interfaces.
#ifndef ZOR_FEEDBACK_TANGO_DEVICE_IO_H
#define ZOR_FEEDBACK_TANGO_DEVICE_IO_H

#include <memory>
#include <string>
#include <vector>

#include "zor_feedback/loop/io.h"

namespace zor_feedback {
namespace tango {

// An attribute's device and name from "dev/ice/name/attr", with an optional
// "tango://host:port/" before it and "#dbase=no" after it. False with *error
// for a name without four parts.
struct AttributeName {
  std::string device;  // what DeviceProxy takes: "tango://h:p/dev/ice/name#dbase=no"
  std::string attribute;
  std::string full;  // as given, for messages
};
bool parse_attribute_name(const std::string& full, AttributeName* out, std::string* error);

// The orbit: each attribute's spectrum in turn. A reading whose quality is
// INVALID, or a value that is NaN, is a monitor not read; a device that does
// not answer within the timeout fails the whole read. Thread-safe.
class DeviceOrbitSource final : public zor_feedback::loop::OrbitSource {
 public:
  DeviceOrbitSource(std::vector<AttributeName> attributes, int timeout_ms);
  ~DeviceOrbitSource() override;
  zor_feedback::loop::Orbit read() override;

  struct Proxies;

 private:
  std::unique_ptr<Proxies> p_;
};

// The correctors: write() sets the whole spectrum in one write;
// read_setpoints() gives the set-points as the device holds them, read() the
// read-backs (the set-points when no read-back attribute is given).
// Thread-safe.
class DeviceCorrectorSink final : public zor_feedback::loop::CorrectorSink {
 public:
  DeviceCorrectorSink(AttributeName setpoints, int timeout_ms);
  DeviceCorrectorSink(AttributeName setpoints, AttributeName readbacks, int timeout_ms);
  ~DeviceCorrectorSink() override;
  zor_feedback::loop::SinkResult write(const std::vector<double>& setpoints) override;
  zor_feedback::loop::SinkResult read() override;
  zor_feedback::loop::SinkResult read_setpoints() override;

  struct Proxy;

 private:
  std::unique_ptr<Proxy> p_;
};

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_DEVICE_IO_H
