#include "memorized.h"

#include <tango.h>

namespace zor_feedback::tango {

std::string recall(Tango::DeviceImpl& device, const std::string& attribute) {
  if (!Tango::Util::_UseDb) return {};
  Tango::DbData data{Tango::DbDatum(attribute)};
  device.get_db_device()->get_attribute_property(data);
  // data[0]: the attribute and its number of properties, then one datum each.
  long count = 0;
  data[0] >> count;
  for (std::size_t k = 1; static_cast<long>(k) <= count && k < data.size(); ++k)
    if (data[k].name == Tango::MemAttrPropName && !data[k].is_empty()) {
      std::string value;
      data[k] >> value;
      return value;
    }
  return {};
}

void remember(Tango::DeviceImpl& device, const std::string& attribute, const std::string& value) {
  if (!Tango::Util::_UseDb) return;
  Tango::DbDatum att(attribute), prop(Tango::MemAttrPropName);
  att << static_cast<short>(1);
  std::string copy = value;  // TANGO's operator<< takes a non-const string
  prop << copy;
  Tango::DbData data{att, prop};
  device.get_db_device()->put_attribute_property(data);
}

}  // namespace zor_feedback::tango
