#include "platform/standin/identity/impersonation.h"

namespace standin {

namespace {

struct ThreadState {
  std::uint64_t generation = 0;
  std::shared_ptr<const TokenData> token;
};

thread_local ThreadState t_thread;

}  // namespace

std::shared_ptr<const TokenData> ThreadToken(std::uint64_t generation) {
  return t_thread.generation == generation ? t_thread.token : nullptr;
}

void SetThreadToken(std::uint64_t generation, std::shared_ptr<const TokenData> token) {
  t_thread.generation = generation;
  t_thread.token = std::move(token);
}

}  // namespace standin
