// Trustees: who an explicit access entry names, by SID or by name. The calls fill and read the
// record and cannot fail.
#include "platform/standin/win32/api_support.h"

namespace {

template <typename Trustee, typename Text>
void Build(Trustee* trustee, TRUSTEE_FORM form, Text name) {
  if (!trustee)
    return;
  trustee->pMultipleTrustee = nullptr;
  trustee->MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  trustee->TrusteeForm = form;
  trustee->TrusteeType = TRUSTEE_IS_UNKNOWN;
  trustee->ptstrName = name;
}

}  // namespace

extern "C" {

void WINAPI BuildTrusteeWithSidW(PTRUSTEE_W trustee, PSID sid) {
  Build(trustee, TRUSTEE_IS_SID, static_cast<LPWSTR>(sid));
}

void WINAPI BuildTrusteeWithSidA(PTRUSTEE_A trustee, PSID sid) {
  Build(trustee, TRUSTEE_IS_SID, static_cast<LPSTR>(sid));
}

void WINAPI BuildTrusteeWithNameW(PTRUSTEE_W trustee, LPWSTR name) {
  Build(trustee, TRUSTEE_IS_NAME, name);
}

void WINAPI BuildTrusteeWithNameA(PTRUSTEE_A trustee, LPSTR name) {
  Build(trustee, TRUSTEE_IS_NAME, name);
}

TRUSTEE_FORM WINAPI GetTrusteeFormW(PTRUSTEE_W trustee) {
  return trustee ? trustee->TrusteeForm : TRUSTEE_BAD_FORM;
}

TRUSTEE_FORM WINAPI GetTrusteeFormA(PTRUSTEE_A trustee) {
  return trustee ? trustee->TrusteeForm : TRUSTEE_BAD_FORM;
}

LPWSTR WINAPI GetTrusteeNameW(PTRUSTEE_W trustee) {
  return trustee ? trustee->ptstrName : nullptr;
}

LPSTR WINAPI GetTrusteeNameA(PTRUSTEE_A trustee) {
  return trustee ? trustee->ptstrName : nullptr;
}

TRUSTEE_TYPE WINAPI GetTrusteeTypeW(PTRUSTEE_W trustee) {
  return trustee ? trustee->TrusteeType : TRUSTEE_IS_UNKNOWN;
}

TRUSTEE_TYPE WINAPI GetTrusteeTypeA(PTRUSTEE_A trustee) {
  return trustee ? trustee->TrusteeType : TRUSTEE_IS_UNKNOWN;
}

}  // extern "C"
