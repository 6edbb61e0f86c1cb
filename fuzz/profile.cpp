// Machine profiles from arbitrary text: ParseProfile, then building the machine. Either may
// refuse the text with a ProfileError; any other exception, or a crash, is a fault.
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/standin/core/sid_value.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InstallMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::BalanceCheck balance;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    // Relative host paths lead nowhere: a profile read here never names the host's files.
    const standin::MachineDescription description =
        standin::ParseProfile(text, "/nonexistent/vortiss-fuzz");
    standin::Machine machine(description);
    // The user it runs as is a SID whose string form reads back to it.
    const standin::SidValue& user = machine.process_token()->user;
    const auto reread = standin::SidValue::Parse(user.ToString());
    FUZZ_CHECK(reread && *reread == user);
  } catch (const standin::ProfileError& e) {
    FUZZ_CHECK(!e.key().empty());
  }
  return 0;
}
