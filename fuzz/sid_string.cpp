// SID strings: ConvertStringSidToSidW on arbitrary text. A SID it makes writes as "S-1-..."
// text that reads back to the same SID and the same text, and the stand-in's own parser
// (which takes no aliases) never accepts what the call refuses.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/standin/core/sid_value.h"
#include "security/scoped_platform.h"

namespace {

using vortiss::ScopedLocal;

// The SID of `text` with its string form; false when the call refuses it.
bool Convert(const std::wstring& text, ScopedLocal<void>& sid, std::wstring& form) {
  PSID out = reinterpret_cast<PSID>(0x5eed);
  if (!ConvertStringSidToSidW(text.c_str(), &out)) {
    FUZZ_CHECK(out == reinterpret_cast<PSID>(0x5eed));  // a failing call leaves it alone
    return false;
  }
  *sid.receive() = out;
  FUZZ_CHECK(IsValidSid(out));
  ScopedLocal<wchar_t> written;
  FUZZ_CHECK(ConvertSidToStringSidW(out, written.receive()));
  form = written.get();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InstallMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::BalanceCheck balance;
  const std::wstring text = fuzz::WideText(data, size);

  ScopedLocal<void> sid;
  std::wstring form;
  const bool accepted = Convert(text, sid, form);
  const auto parsed = standin::SidValue::Parse(text);
  if (parsed)
    FUZZ_CHECK(accepted && parsed->ToString() == form);
  if (!accepted)
    return 0;

  FUZZ_CHECK(form.rfind(L"S-1-", 0) == 0);
  const auto reparsed = standin::SidValue::Parse(form);
  FUZZ_CHECK(reparsed && reparsed->ToString() == form);

  ScopedLocal<void> sid2;
  std::wstring form2;
  FUZZ_CHECK(Convert(form, sid2, form2));
  FUZZ_CHECK(form2 == form);
  FUZZ_CHECK(EqualSid(sid.get(), sid2.get()));
  FUZZ_CHECK(GetLengthSid(sid.get()) == GetLengthSid(sid2.get()));
  FUZZ_CHECK(std::memcmp(sid.get(), sid2.get(), GetLengthSid(sid.get())) == 0);
  return 0;
}
