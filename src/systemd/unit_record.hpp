// A unit's properties as systemd reports them.
#pragma once

#include <map>
#include <string>

namespace norvik::systemd {

// Property name -> text (LoadState, ActiveState, SubState, MainPID, Type,
// FragmentPath, PIDFile, ControlGroup...).
using UnitRecord = std::map<std::string, std::string>;

}  // namespace norvik::systemd
