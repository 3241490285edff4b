// An attribute of a device (Base: Tango::Attr, SpectrumAttr or ImageAttr)
// read (and written) by member functions of the device. Shared by the servers
// so each device keeps a single attribute table of members.
#pragma once

#include <tango.h>

#include "property_attributes.h"

namespace zor_feedback::tango {

// Called before every read or write of a Member; a device whose attributes
// may only be touched in some states specialises it to throw.
template <class Device>
struct MemberGuard {
  static void check(Device&, const char*) {}
};

template <class Device, class Base>
class Member : public Base {
 public:
  using Reader = void (Device::*)(Tango::Attribute&);
  using Writer = void (Device::*)(Tango::WAttribute&);
  template <class... Dims>
  Member(const char* attr_name, long data_type, const AttributeText& text, Reader reader, Writer writer,
         Dims... dims)
      : Base(attr_name, data_type, writer != nullptr ? Tango::READ_WRITE : Tango::READ, dims...),
        reader_(reader),
        writer_(writer) {
    describe(*this, text);
  }
  void read(Tango::DeviceImpl* dev, Tango::Attribute& att) override {
    auto* d = static_cast<Device*>(dev);
    MemberGuard<Device>::check(*d, "read_attribute");
    (d->*reader_)(att);
  }
  void write(Tango::DeviceImpl* dev, Tango::WAttribute& att) override {
    auto* d = static_cast<Device*>(dev);
    MemberGuard<Device>::check(*d, "write_attribute");
    (d->*writer_)(att);
  }

 private:
  Reader reader_;
  Writer writer_;
};

}  // namespace zor_feedback::tango
