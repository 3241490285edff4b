#include "property_attributes.h"

#include <tango.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <map>
#include <utility>
#include <vector>

namespace zor_feedback {
namespace tango {

namespace {

enum class Kind { image, spectrum, strings };

[[noreturn]] void fail(const std::string& reason, const std::string& desc) {
  Tango::Except::throw_exception(reason, desc, std::string("zor_feedback::tango::PropertyAttributes"));
}

std::string utc_iso8601(std::time_t t) {
  std::tm tm{};
  char buf[32] = "";
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

bool same_name(const std::string& a, const std::string& b) {  // TANGO names ignore case
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The float array of a property's reply; the shape is the caller's.
void copy_floats(const EqData& reply, std::vector<Tango::DevFloat>& out) {
  const std::size_t n = static_cast<std::size_t>(std::max(reply.length(), 0));
  if (reply.float_size() == n) {
    out.assign(reply.float_data(), reply.float_data() + n);
  } else {
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      out[i] = static_cast<Tango::DevFloat>(reply.get_double(static_cast<int>(i)));
  }
}

}  // namespace

struct PropertyAttributes::Impl {
  struct Entry {
    std::string name;
    Kind kind = Kind::spectrum;
    long x = 0, y = 0;  // the last reply's dimensions, as TANGO counts them
    std::vector<Tango::DevFloat> floats;
    std::vector<std::string> texts;
    std::vector<Tango::DevString> text_ptrs;
  };

  Tango::DeviceImpl& device;
  EqFct& location;
  std::mutex& lock;
  std::vector<Entry> entries;
  std::vector<Entry> event_entries;  // the same, with the buffers of the events
  std::vector<std::string> added;    // attributes this adapter added to the device

  Impl(Tango::DeviceImpl& d, EqFct& l, std::mutex& m) : device(d), location(l), lock(m) {}

  // Takes the attributes off the device again; their configuration in a
  // TANGO database stays.
  void withdraw();

  Entry& entry(const std::string& name) {
    for (Entry& e : entries)
      if (same_name(e.name, name)) return e;
    fail("ZorFeedback_NoAttribute", "no property is published as attribute " + name);
  }

  // Reads the property as a client does and keeps the reply in e's buffers.
  void fill(Entry& e) {
    EqData request, reply;
    int rows = 0, cols = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (!location.get(e.name, &request, &reply))
        fail("ZorFeedback_NoProperty", "property " + e.name + " is gone");
      if (e.kind == Kind::image) {
        const auto* a = dynamic_cast<const D_mdfloat_array*>(location.find(e.name));
        if (a == nullptr)
          fail("ZorFeedback_NoProperty", "property " + e.name + " is no float array any more");
        rows = a->dim(1);
        cols = a->dim(0);
      }
    }
    if (e.kind == Kind::strings) {
      e.texts.clear();
      for (int i = 0; i < reply.length(); ++i)
        if (const USTR* u = reply.get_ustr(i)) e.texts.push_back(utc_iso8601(u->tm) + " " + u->str_data);
      e.text_ptrs.clear();
      for (std::string& t : e.texts) e.text_ptrs.push_back(t.data());
      e.x = static_cast<long>(e.texts.size());
      e.y = 0;
      return;
    }
    copy_floats(reply, e.floats);
    if (e.kind == Kind::image) {
      if (static_cast<long>(e.floats.size()) != static_cast<long>(rows) * cols)
        fail("ZorFeedback_Shape", e.name + ": " + std::to_string(e.floats.size()) + " values for " +
                                      std::to_string(rows) + " x " + std::to_string(cols));
      e.x = cols;
      e.y = rows;
    } else {
      e.x = static_cast<long>(e.floats.size());
      e.y = 0;
    }
  }

  void read(Tango::Attribute& att) {
    Entry& e = entry(att.get_name());
    fill(e);
    if (e.kind == Kind::strings) {
      att.set_value(e.text_ptrs.data(), e.x, e.y, false);
      return;
    }
    // TANGO sends the values after the device's monitor is released: a copy
    // of its own, so that the next read or event cannot change them meanwhile.
    auto* copy = new Tango::DevFloat[std::max<std::size_t>(e.floats.size(), 1)];
    std::copy(e.floats.begin(), e.floats.end(), copy);
    att.set_value(copy, e.x, e.y, true);
  }
};

namespace {

// Which adapter serves a device: TANGO shares an Attr among the devices of a
// class, so an attribute's read finds its data through the device.
std::mutex registry_mutex;
std::map<const Tango::DeviceImpl*, PropertyAttributes::Impl*> registry;

void read_published(Tango::DeviceImpl* device, Tango::Attribute& att) {
  PropertyAttributes::Impl* impl = nullptr;
  {
    std::lock_guard<std::mutex> guard(registry_mutex);
    const auto it = registry.find(device);
    if (it != registry.end()) impl = it->second;
  }
  if (impl == nullptr) fail("ZorFeedback_NoAttribute", att.get_name() + " is not published by this device");
  impl->read(att);
}

class ImageAttribute : public Tango::ImageAttr {
 public:
  ImageAttribute(const std::string& attr_name, long cols, long rows)
      : Tango::ImageAttr(attr_name.c_str(), Tango::DEV_FLOAT, Tango::READ, cols, rows) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& att) override { read_published(device, att); }
};

class SpectrumAttribute : public Tango::SpectrumAttr {
 public:
  SpectrumAttribute(const std::string& attr_name, long data_type, long length)
      : Tango::SpectrumAttr(attr_name.c_str(), data_type, Tango::READ, length) {}
  void read(Tango::DeviceImpl* device, Tango::Attribute& att) override { read_published(device, att); }
};

}  // namespace

void describe(Tango::Attr& attr, const AttributeText& t) {
  Tango::UserDefaultAttrProp p;
  if (!t.label.empty()) p.set_label(t.label.c_str());
  if (!t.unit.empty()) p.set_unit(t.unit.c_str());
  if (!t.description.empty()) p.set_description(t.description.c_str());
  if (!t.format.empty()) p.set_format(t.format.c_str());
  attr.set_default_properties(p);
}

namespace {}  // namespace

void PropertyAttributes::Impl::withdraw() {
  for (std::string& name : added) {
    try {
      device.remove_attribute(name, true, false);
    } catch (const Tango::DevFailed&) {
      // nothing left to undo: the device goes without it
    }
  }
  added.clear();
  std::lock_guard<std::mutex> guard(registry_mutex);
  registry.erase(&device);
}

PropertyAttributes::PropertyAttributes(Tango::DeviceImpl& device, EqFct& location, std::mutex& lock,
                                       const std::map<std::string, AttributeText>& texts)
    : impl_(std::make_unique<Impl>(device, location, lock)) {
  std::vector<std::unique_ptr<Tango::Attr>> attrs;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (D_fct* p : location.properties()) {
      Impl::Entry e;
      e.name = p->property_name();
      e.floats.reserve(1);  // never a null buffer, also for an empty reply
      e.text_ptrs.reserve(1);
      EqData request, reply;
      location.get(e.name, &request, &reply);
      const long n = std::max(reply.length(), 1);
      const auto* array = dynamic_cast<const D_mdfloat_array*>(p);
      if (p->data_type() == DATA_MDA_FLOAT && array != nullptr && array->num_dims() == 2 &&
          array->dim(0) == 1) {
        e.kind = Kind::spectrum;  // a column vector
        attrs.push_back(
            std::make_unique<SpectrumAttribute>(e.name, Tango::DEV_FLOAT, std::max(array->dim(1), 1)));
      } else if (p->data_type() == DATA_MDA_FLOAT && array != nullptr && array->num_dims() == 2) {
        e.kind = Kind::image;
        attrs.push_back(
            std::make_unique<ImageAttribute>(e.name, std::max(array->dim(0), 1), std::max(array->dim(1), 1)));
      } else if (p->data_type() == DATA_SPECTRUM) {
        e.kind = Kind::spectrum;
        attrs.push_back(std::make_unique<SpectrumAttribute>(e.name, Tango::DEV_FLOAT, n));
      } else if (p->data_type() == DATA_USTR) {
        e.kind = Kind::strings;
        attrs.push_back(std::make_unique<SpectrumAttribute>(e.name, Tango::DEV_STRING, n));
      } else {
        continue;
      }
      const auto t = texts.find(e.name);
      if (t != texts.end()) describe(*attrs.back(), t->second);
      impl_->event_entries.push_back(e);
      impl_->event_entries.back().floats.reserve(1);  // a copy does not keep the capacity
      impl_->event_entries.back().text_ptrs.reserve(1);
      impl_->entries.push_back(std::move(e));
    }
  }
  {
    std::lock_guard<std::mutex> guard(registry_mutex);
    registry[&device] = impl_.get();
  }
  try {
    for (auto& a : attrs) {
      const std::string name = a->get_name();
      device.add_attribute(a.release());  // TANGO owns it from here
      impl_->added.push_back(name);
    }
  } catch (...) {
    impl_->withdraw();
    throw;
  }
}

PropertyAttributes::~PropertyAttributes() { impl_->withdraw(); }

void PropertyAttributes::enable_change_events(const std::string& property) {
  impl_->device.set_change_event(impl_->entry(property).name, true, false);
}

void PropertyAttributes::push_change_event(const std::string& property) {
#pragma GCC diagnostic push  // TANGO's switch over the serialisation models has no default
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  Tango::AutoTangoMonitor sync(&impl_->device);
#pragma GCC diagnostic pop
  impl_->entry(property);  // refuses a name that is not published
  Impl::Entry* found = nullptr;
  for (Impl::Entry& ev : impl_->event_entries)
    if (same_name(ev.name, property)) found = &ev;
  Impl::Entry& e = *found;
  impl_->fill(e);
  if (e.kind == Kind::strings)
    impl_->device.push_change_event(e.name, e.text_ptrs.data(), e.x, e.y, false);
  else
    impl_->device.push_change_event(e.name, e.floats.data(), e.x, e.y, false);
}

}  // namespace tango
}  // namespace zor_feedback
