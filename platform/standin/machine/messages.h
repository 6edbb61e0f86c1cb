// The system message table: the platform's English texts for the codes the system meets.
#pragma once

#include <map>
#include <string>

#include "platform/standin/win32api.h"

namespace standin {

const std::map<DWORD, std::wstring>& DefaultMessageTexts();

}  // namespace standin
