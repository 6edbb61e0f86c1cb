// CSD's model and the descriptors it builds, compared as SDDL: the platform's own conversion
// reads what the class library wrote.
#include <string>

#include <gtest/gtest.h>

#include "security/csd.h"
#include "tests/portable/platform_facts.h"

namespace {

// A descriptor bound to no object: the model and its builds only.
class LooseSD : public CSD {
 public:
  int SecureObject(bool) override { return 0; }

 protected:
  int Initialize() override { return 0; }
};

std::wstring Built(CSD& sd) {
  return portable::OwnerAndDaclText(sd.GetAbsoluteSD());
}

TEST(CSDPortable, NewDescriptorIsOwnedBySystemWithAnEmptyDacl) {
  LooseSD sd;
  EXPECT_EQ(Built(sd), L"O:SYD:");
  EXPECT_TRUE(IsValidSecurityDescriptor(sd.GetAbsoluteSD()));
  EXPECT_EQ(sd.GetDACL()->AceCount, 0);
}

TEST(CSDPortable, EditsBuildDenialsBeforeGrantsInheritedByChildren) {
  const struct {
    const char* label;
    void (*edit)(LooseSD&);
    const wchar_t* sddl;
  } cases[] = {
      {"one grant", [](LooseSD& sd) { sd.AllowAccess(L"Everyone", GENERIC_READ); },
       L"O:SYD:(A;OICI;GR;;;WD)"},
      {"a denial after a grant goes first",
       [](LooseSD& sd) {
         sd.AllowAccess(L"Everyone", GENERIC_READ);
         sd.DenyAccess(L"BUILTIN\\Administrators", GENERIC_WRITE);
       },
       L"O:SYD:(D;OICI;GW;;;BA)(A;OICI;GR;;;WD)"},
      {"grants keep their order",
       [](LooseSD& sd) {
         sd.AllowAccess(L"Everyone", GENERIC_READ);
         sd.AllowAccess(L"SYSTEM", GENERIC_ALL);
       },
       L"O:SYD:(A;OICI;GR;;;WD)(A;OICI;GA;;;SY)"},
      {"a second grant to an account replaces the first",
       [](LooseSD& sd) {
         sd.AllowAccess(L"Everyone", GENERIC_READ);
         sd.AllowAccess(L"Everyone", GENERIC_READ | GENERIC_WRITE);
       },
       L"O:SYD:(A;OICI;GWGR;;;WD)"},
      {"a denial takes the account's grant away",
       [](LooseSD& sd) {
         sd.AllowAccess(L"Everyone", GENERIC_READ);
         sd.DenyAccess(L"Everyone", GENERIC_ALL);
       },
       L"O:SYD:(D;OICI;GA;;;WD)"},
      {"revoking a denial leaves the grants",
       [](LooseSD& sd) {
         sd.DenyAccess(L"Everyone", GENERIC_WRITE);
         sd.AllowAccess(L"SYSTEM", GENERIC_ALL);
         sd.RevokeDenial(L"Everyone");
       },
       L"O:SYD:(A;OICI;GA;;;SY)"},
      {"revoking all grants leaves the denials",
       [](LooseSD& sd) {
         sd.DenyAccess(L"Everyone", GENERIC_WRITE);
         sd.AllowAccess(L"SYSTEM", GENERIC_ALL);
         sd.AllowAccess(L"BUILTIN\\Administrators", GENERIC_ALL);
         sd.RevokeAllAllowances();
       },
       L"O:SYD:(D;OICI;GW;;;WD)"},
      {"a new owner by name", [](LooseSD& sd) { sd.SetOwner(L"BUILTIN\\Administrators"); },
       L"O:BAD:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LooseSD sd;
    c.edit(sd);
    EXPECT_EQ(Built(sd), c.sddl);
    EXPECT_EQ(sd.GetLastError(), 0);
  }
}

TEST(CSDPortable, ListQueriesFollowTheEdits) {
  LooseSD sd;
  CSid everyone(L"Everyone", std::wstring());
  CSid system{std::wstring(), std::wstring()};
  EXPECT_EQ(sd.AllowAccess(&everyone, GENERIC_READ), 0);
  EXPECT_TRUE(sd.IsAllowed(&everyone));
  EXPECT_FALSE(sd.IsDenied(&everyone));
  EXPECT_FALSE(sd.IsAllowed(&system));
  EXPECT_EQ(sd.DenyAccess(&everyone, GENERIC_READ), 0);
  EXPECT_FALSE(sd.IsAllowed(&everyone));
  EXPECT_TRUE(sd.IsDenied(&everyone));
  EXPECT_EQ(sd.RevokeAllDenials(), 0);
  EXPECT_FALSE(sd.IsDenied(&everyone));
  EXPECT_EQ(sd.RevokeAllowance(&system), 0) << "revoking what is not there is no failure";
}

TEST(CSDPortable, CopyAndAssignmentCarryTheModel) {
  LooseSD source;
  source.DenyAccess(L"BUILTIN\\Administrators", GENERIC_WRITE);
  source.AllowAccess(L"Everyone", GENERIC_READ);
  source.SetOwner(L"BUILTIN\\Administrators");
  const std::wstring expected = L"O:BAD:(D;OICI;GW;;;BA)(A;OICI;GR;;;WD)";

  LooseSD copy(source);
  EXPECT_EQ(Built(copy), expected);
  EXPECT_EQ(copy.GetOwner()->GetQualifiedName(), L"BUILTIN\\Administrators");

  LooseSD assigned;
  assigned.AllowAccess(L"SYSTEM", GENERIC_ALL);
  assigned = source;
  source.RevokeAllAllowances();  // the copies keep what they took
  EXPECT_EQ(Built(assigned), expected);
  EXPECT_EQ(Built(copy), expected);
  CSid everyone(L"Everyone", std::wstring());
  EXPECT_TRUE(assigned.IsAllowed(&everyone));
}

TEST(CSDPortable, UnknownAccountThrowsAndLeavesTheModel) {
  LooseSD sd;
  sd.AllowAccess(L"Everyone", GENERIC_READ);
  EXPECT_THROW(sd.AllowAccess(L"no-such-account-7f3a", GENERIC_ALL), int);
  EXPECT_EQ(Built(sd), L"O:SYD:(A;OICI;GR;;;WD)");
}

}  // namespace
