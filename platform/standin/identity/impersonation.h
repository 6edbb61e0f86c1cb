// Per-thread impersonation: the token a thread acts as instead of its process's, until it
// reverts. A token belongs to the machine it was made on: a thread's token from an earlier
// machine (`generation`) reads as none.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/standin/identity/token.h"

namespace standin {

// The calling thread's impersonation token on the machine of `generation`, or null.
std::shared_ptr<const TokenData> ThreadToken(std::uint64_t generation);
// Makes `token` the calling thread's on the machine of `generation`; null reverts.
void SetThreadToken(std::uint64_t generation, std::shared_ptr<const TokenData> token);

}  // namespace standin
