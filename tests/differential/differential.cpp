// The differential program: one source built for the stand-in and for Windows, run over a
// corpus of SID strings, SDDL, hostile self-relative descriptors and access-check rows. It
// prints one line per input and API, "KIND<TAB>INPUT<TAB>API<TAB>RESULT", so that the outputs
// of two implementations can be compared line by line (scripts/compare-differential).
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/portable/access_rows.h"

namespace {

using Bytes = std::vector<BYTE>;

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text)
    out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

std::string Hex(const BYTE* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::string Number(unsigned long value, bool hex = false) {
  char text[32];
  std::snprintf(text, sizeof text, hex ? "0x%lx" : "%lu", value);
  return text;
}

void Line(const char* kind, const std::string& input, const char* api, const std::string& result) {
  std::printf("%s\t%s\t%s\t%s\n", kind, input.c_str(), api, result.c_str());
}

// "ok" and what the call gave, or "fail ERROR".
std::string Failure() {
  return "fail " + Number(GetLastError());
}

// The SID string of `sid`, or the failure.
std::string SidString(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text))
    return Failure();
  std::string out = Narrow(text);
  LocalFree(text);
  return out;
}

const wchar_t* const kSidStrings[] = {
    L"S-1-1-0",
    L"S-1-5-18",
    L"S-1-5-32-544",
    L"S-1-5-21-1-2-3-500",
    L"S-1-5-21-4294967295-0-1",
    L"S-1-0-0",
    L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15",
    L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16",
    L"S-1-4294967295-1",
    L"S-1-0x123456789ABC-7",
    L"S-1-5",
    L"S-1-5-",
    L"S-1-5-x",
    L"S-2-5-18",
    L"s-1-5-18",
    L"BA",
    L"WD",
    L"SY",
    L"AU",
    L"WDand more",
    L"WD)",
    L"XX",
};

void SidStrings() {
  for (const wchar_t* text : kSidStrings) {
    const std::string input = *text ? Narrow(text) : "(empty)";
    PSID sid = nullptr;
    SetLastError(0xdeadbeef);
    if (!ConvertStringSidToSidW(text, &sid)) {
      Line("sid", input, "ConvertStringSidToSidW", Failure());
      continue;
    }
    Line("sid", input, "ConvertStringSidToSidW",
         "ok " + Hex(static_cast<BYTE*>(sid), GetLengthSid(sid)));
    Line("sid", input, "ConvertSidToStringSidW", SidString(sid));
    Line("sid", input, "IsValidSid", IsValidSid(sid) ? "TRUE" : "FALSE");
    LocalFree(sid);
  }
}

const wchar_t* const kSddl[] = {
    L"O:BAG:SYD:(A;;FA;;;BA)",
    L"O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
    L"O:SYG:SYD:(D;;0x2;;;WD)(A;;0x3;;;WD)",
    L"O:BAG:SYD:PAI(A;OICIID;FA;;;SY)(A;OICIIO;GA;;;CO)",
    L"O:BAG:SYD:P(A;;KR;;;BU)(A;CI;KA;;;BA)",
    L"O:BAG:SYD:(A;;GRGWGX;;;AU)(A;;RCSDWDWO;;;SY)",
    L"D:(A;;FA;;;S-1-5-21-1-2-3-500)",
    L"O:SYG:SY",
    L"D:",
    L"D:NO_ACCESS_CONTROL",
    L"O:BAS:(AU;SAFA;FA;;;WD)",
    L"O:BAG:SYD:(A;;0x1f01ff;;;BA)",
    L"O:XX",
    L"O:BAG:SYD:(A;;FA;;;BA",
    L"O:BAG:SYD:(A;;FA;;;)",
    L"X:BA",
    L"",
};

// The parts of a self-relative descriptor, each by its bytes, whatever their order.
std::string Parts(const BYTE* sd) {
  SECURITY_DESCRIPTOR_RELATIVE header;
  std::memcpy(&header, sd, sizeof header);
  auto sid = [&](DWORD offset) {
    return offset ? Hex(sd + offset, GetLengthSid(const_cast<BYTE*>(sd + offset))) : "-";
  };
  auto acl = [&](DWORD offset) {
    if (!offset)
      return std::string("-");
    WORD size;
    std::memcpy(&size, sd + offset + 2, 2);
    return Hex(sd + offset, size);
  };
  return "control=" + Number(header.Control, true) + " owner=" + sid(header.Owner) +
         " group=" + sid(header.Group) + " sacl=" + acl(header.Sacl) + " dacl=" + acl(header.Dacl);
}

// Where the parts lie: the offsets of the header.
std::string Layout(const BYTE* sd) {
  SECURITY_DESCRIPTOR_RELATIVE header;
  std::memcpy(&header, sd, sizeof header);
  return "owner@" + Number(header.Owner) + " group@" + Number(header.Group) + " sacl@" +
         Number(header.Sacl) + " dacl@" + Number(header.Dacl);
}

void Sddl() {
  const SECURITY_INFORMATION all = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  for (const wchar_t* text : kSddl) {
    const std::string input = *text ? Narrow(text) : "(empty)";
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG length = 0;
    SetLastError(0xdeadbeef);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &sd,
                                                              &length)) {
      Line("sddl", input, "ConvertStringSecurityDescriptorToSecurityDescriptorW", Failure());
      continue;
    }
    Line("sddl", input, "ConvertStringSecurityDescriptorToSecurityDescriptorW",
         "ok " + Number(length) + " " + Parts(static_cast<BYTE*>(sd)));
    Line("sddl", input, "layout", Layout(static_cast<BYTE*>(sd)));
    LPWSTR back = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, all, &back,
                                                             nullptr)) {
      Line("sddl", input, "ConvertSecurityDescriptorToStringSecurityDescriptorW", Narrow(back));
      LocalFree(back);
    } else {
      Line("sddl", input, "ConvertSecurityDescriptorToStringSecurityDescriptorW", Failure());
    }
    LocalFree(sd);
  }
}

void PutWord(Bytes& b, size_t at, WORD v) {
  std::memcpy(&b[at], &v, 2);
}

void PutDword(Bytes& b, size_t at, DWORD v) {
  std::memcpy(&b[at], &v, 4);
}

const Bytes kAdmins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};  // S-1-5-32-544
const Bytes kSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};                 // S-1-5-18

// DACL at 20 (one entry allowing FILE_ALL_ACCESS to Administrators, 32 bytes), owner at 52,
// group at 68.
Bytes BaseDescriptor() {
  Bytes sd(80, 0);
  sd[0] = SECURITY_DESCRIPTOR_REVISION;
  PutWord(sd, 2, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  PutDword(sd, 4, 52);
  PutDword(sd, 8, 68);
  PutDword(sd, 16, 20);
  sd[20] = ACL_REVISION;
  PutWord(sd, 22, 32);
  PutWord(sd, 24, 1);
  sd[28] = ACCESS_ALLOWED_ACE_TYPE;
  PutWord(sd, 30, 24);
  PutDword(sd, 32, FILE_ALL_ACCESS);
  std::memcpy(&sd[36], kAdmins.data(), kAdmins.size());
  std::memcpy(&sd[52], kAdmins.data(), kAdmins.size());
  std::memcpy(&sd[68], kSystem.data(), kSystem.size());
  return sd;
}

struct Hostile {
  const char* name;
  std::function<void(Bytes&)> damage;
  // A valid descriptor is also read; reading an invalid one has no defined answer.
  bool valid = false;
  // Without the self-relative flag the bytes would be read as an absolute descriptor's
  // pointers: only the calls given a length may see them.
  bool length_only = false;
};

const Hostile kHostile[] = {
    {"intact", [](Bytes&) {}, true},
    {"descriptor-revision-2", [](Bytes& b) { b[0] = 2; }},
    {"not-self-relative", [](Bytes& b) { PutWord(b, 2, SE_DACL_PRESENT); }, false, true},
    {"owner-offset-below-header", [](Bytes& b) { PutDword(b, 4, 16); }},
    {"owner-offset-unaligned", [](Bytes& b) { PutDword(b, 4, 54); }},
    {"dacl-on-owner", [](Bytes& b) { PutDword(b, 16, 52); }},
    {"owner-on-dacl", [](Bytes& b) { PutDword(b, 4, 20); }},
    {"owner-16-subauthorities", [](Bytes& b) { b[53] = 16; }},
    {"owner-revision-2", [](Bytes& b) { b[52] = 2; }},
    {"count-too-large", [](Bytes& b) { PutWord(b, 24, 2); }},
    {"entry-size-0", [](Bytes& b) { PutWord(b, 30, 0); }},
    {"entry-size-2", [](Bytes& b) { PutWord(b, 30, 2); }},
    {"entry-too-small-for-sid", [](Bytes& b) { PutWord(b, 30, 20); }},
    {"entry-sid-revision-2", [](Bytes& b) { b[36] = 2; }},
    {"acl-size-4", [](Bytes& b) { PutWord(b, 22, 4); }},
    {"acl-size-unaligned", [](Bytes& b) { PutWord(b, 22, 34); }},
    {"acl-revision-1", [](Bytes& b) { b[20] = 1; }},
    {"acl-revision-5", [](Bytes& b) { b[20] = 5; }},
    {"no-parts", [](Bytes& b) { b.assign(20, 0), b[0] = 1, PutWord(b, 2, SE_SELF_RELATIVE); },
     true},
    {"null-dacl", [](Bytes& b) { PutDword(b, 16, 0); }, true},
};

void Descriptors() {
  for (const auto& c : kHostile) {
    Bytes sd = BaseDescriptor();
    c.damage(sd);
    const auto length = static_cast<ULONG>(sd.size());
    Line("descriptor", c.name, "RtlValidRelativeSecurityDescriptor",
         RtlValidRelativeSecurityDescriptor(sd.data(), length, 0) ? "TRUE" : "FALSE");
    if (c.length_only)
      continue;
    SetLastError(0xdeadbeef);
    Line("descriptor", c.name, "IsValidSecurityDescriptor",
         IsValidSecurityDescriptor(sd.data()) ? "TRUE" : Failure());
    if (!c.valid)
      continue;
    Line("descriptor", c.name, "GetSecurityDescriptorLength",
         Number(GetSecurityDescriptorLength(sd.data())));
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    SetLastError(0xdeadbeef);
    Line("descriptor", c.name, "GetSecurityDescriptorOwner",
         GetSecurityDescriptorOwner(sd.data(), &owner, &defaulted)
             ? "ok " + (owner ? SidString(owner) : std::string("none"))
             : Failure());
  }
}

std::wstring UserSid(HANDLE token) {
  BYTE buffer[512];
  DWORD length = 0;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length))
    return L"S-1-0-0";
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
    return L"S-1-0-0";
  std::wstring out = text;
  LocalFree(text);
  return out;
}

void AccessChecks() {
  HANDLE token = nullptr;
  if (!ImpersonateSelf(SecurityImpersonation) ||
      !OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) || !RevertToSelf()) {
    Line("access", "token", "ImpersonateSelf", Failure());
    return;
  }
  const std::wstring user = UserSid(token);
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  for (const auto& row : portable::kAccessRows) {
    std::wstring sddl = row.sddl;
    if (const size_t at = sddl.find(L"%U"); at != std::wstring::npos)
      sddl.replace(at, 2, user);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr)) {
      Line("access", row.name, "AccessCheck", "descriptor " + Failure());
      continue;
    }
    BYTE privileges[sizeof(PRIVILEGE_SET) + 64];
    DWORD privileges_length = sizeof privileges;
    DWORD granted = 0x5eed;
    BOOL status = 0x5eed;
    SetLastError(0xdeadbeef);
    const BOOL checked =
        AccessCheck(sd, token, row.desired, &mapping, reinterpret_cast<PPRIVILEGE_SET>(privileges),
                    &privileges_length, &granted, &status);
    const DWORD error = GetLastError();
    Line("access", row.name, "AccessCheck",
         checked ? "ok status=" + Number(static_cast<unsigned long>(status)) +
                       " granted=" + Number(granted, true) +
                       " error=" + (error == 0xdeadbeef ? std::string("untouched") : Number(error))
                 : "fail " + Number(error));
    LocalFree(sd);
  }
  CloseHandle(token);
}

}  // namespace

int main() {
  SidStrings();
  Sddl();
  Descriptors();
  AccessChecks();
  return 0;
}
