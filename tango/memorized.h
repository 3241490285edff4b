// The values TANGO memorizes for a device's attributes (its "__value"
// attribute property in the database), read and written by the device itself:
// for settings that several attributes share (a plane's cut is either a
// relative cut or a number of singular values kept), whose memorized values
// must stay one consistent pair, restored at once.
#pragma once

#include <string>

namespace Tango {
class DeviceImpl;
}

namespace zor_feedback::tango {

// The memorized value of `attribute`, as text; empty when none was memorized
// or the server runs without a database.
std::string recall(Tango::DeviceImpl& device, const std::string& attribute);

// Memorizes `value` for `attribute`, as a client's write of a memorized
// attribute does. Without a database it does nothing.
void remember(Tango::DeviceImpl& device, const std::string& attribute, const std::string& value);

}  // namespace zor_feedback::tango
