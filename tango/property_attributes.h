// property_attributes.h - the properties of an OVRIX server location as the
// attributes of a TANGO device.
//
// Each property is read through its own get() with an empty request, the path
// a framework client takes, and published under its own name:
//   D_mdfloat_array (data type 109)   DEV_FLOAT IMAGE, rows x cols
//                                     (dim_x = cols, dim_y = rows); of one
//                                     column: DEV_FLOAT SPECTRUM of rows
//   D_spectrum                        DEV_FLOAT SPECTRUM
//   D_ustr, D_ringbuf (USTR entries)  DEV_STRING SPECTRUM, one string per
//                                     entry in reply order (newest first for a
//                                     history): "<ISO 8601 UTC time> <text>"
// Properties of other types are not published. An attribute's maximum size
// is the property's size when it is published.
//
// This header names no TANGO type beyond a forward declaration, so that
// TANGO's headers (and their global using-directive) stay in the sources.
//
// Threads: every get() of a property runs under the mutex given to the
// constructor; the server holds the same mutex around its own calls into the
// library. The attribute buffers are guarded by the device's TANGO monitor
// (the default serialisation by device).
#ifndef ZOR_FEEDBACK_TANGO_PROPERTY_ATTRIBUTES_H
#define ZOR_FEEDBACK_TANGO_PROPERTY_ATTRIBUTES_H

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ovrix_server.h"

namespace Tango {
class Attr;
class DeviceImpl;
}  // namespace Tango

namespace zor_feedback {
namespace tango {

// What a control room shows beside an attribute (TANGO's default
// attribute properties); empty fields stay TANGO's defaults.
struct AttributeText {
  std::string label, unit, description, format;
};

// Gives `attr` the texts (before it is added to a device).
void describe(Tango::Attr& attr, const AttributeText& t);

class PropertyAttributes {
 public:
  // Adds the attributes to `device` (call it from the device's init_device),
  // with the texts of `texts` by property name. Throws Tango::DevFailed when
  // TANGO refuses one.
  PropertyAttributes(Tango::DeviceImpl& device, EqFct& location, std::mutex& lock,
                     const std::map<std::string, AttributeText>& texts = {});
  // Removes them again (from delete_device), keeping their configuration in
  // a TANGO database.
  ~PropertyAttributes();
  PropertyAttributes(const PropertyAttributes&) = delete;
  PropertyAttributes& operator=(const PropertyAttributes&) = delete;

  // Declares that the server pushes change events of `property` itself
  // (no detection by TANGO).
  void enable_change_events(const std::string& property);
  // Reads `property` as a client would and pushes it as a change event. Takes
  // the device's monitor, then the mutex: call it with the mutex released.
  void push_change_event(const std::string& property);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_PROPERTY_ATTRIBUTES_H
