// What GetTokenInformation reports of a token, laid out as the platform lays each class out:
// fixed records first, then the SIDs they point to.
#pragma once

#include "platform/standin/identity/token.h"

namespace standin {

// Writes the information of `info_class` into `buffer` (`length` bytes); `needed` is set to
// the size the class takes, also when it does not fit. Errors: ERROR_INVALID_PARAMETER for a
// class the token does not answer, ERROR_INSUFFICIENT_BUFFER (the buffer left alone).
DWORD WriteTokenInformation(const TokenData& token,
                            TOKEN_INFORMATION_CLASS info_class,
                            void* buffer,
                            DWORD length,
                            DWORD& needed);

}  // namespace standin
