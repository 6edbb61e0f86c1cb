// The platform calls that a profile may make fail: those that can fail on Windows.
#pragma once

#include <string_view>

namespace standin {

// True when `name` is a platform call that a fault may be injected into.
bool IsFaultableCall(std::string_view name);

}  // namespace standin
