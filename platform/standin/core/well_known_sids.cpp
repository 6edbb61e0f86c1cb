#include "platform/standin/core/well_known_sids.h"

#include <cstring>
#include <iterator>

namespace standin {

namespace {

// Authorities as their 48-bit values.
constexpr std::uint64_t kNull = 0, kWorld = 1, kLocal = 2, kCreator = 3, kNt = 5, kPackage = 15,
                        kLabel = 16;

struct Absolute {
  int type;
  std::uint64_t authority;
  BYTE count;
  DWORD rids[3];

  SidValue Sid() const {
    SidValue sid(authority, {});
    for (BYTE i = 0; i < count; ++i)
      sid = sid.Child(rids[i]);
    return sid;
  }
};

// Types whose SID is fixed, with the RIDs the Windows headers give them.
const Absolute kAbsolute[] = {
    {0, kNull, 1, {0}},         // WinNullSid
    {1, kWorld, 1, {0}},        // WinWorldSid
    {2, kLocal, 1, {0}},        // WinLocalSid
    {3, kCreator, 1, {0}},      // WinCreatorOwnerSid
    {4, kCreator, 1, {1}},      // WinCreatorGroupSid
    {5, kCreator, 1, {2}},      // WinCreatorOwnerServerSid
    {6, kCreator, 1, {3}},      // WinCreatorGroupServerSid
    {7, kNt, 0, {}},            // WinNtAuthoritySid
    {8, kNt, 1, {1}},           // WinDialupSid
    {9, kNt, 1, {2}},           // WinNetworkSid
    {10, kNt, 1, {3}},          // WinBatchSid
    {11, kNt, 1, {4}},          // WinInteractiveSid
    {12, kNt, 1, {6}},          // WinServiceSid
    {13, kNt, 1, {7}},          // WinAnonymousSid
    {14, kNt, 1, {8}},          // WinProxySid
    {15, kNt, 1, {9}},          // WinEnterpriseControllersSid
    {16, kNt, 1, {10}},         // WinSelfSid
    {17, kNt, 1, {11}},         // WinAuthenticatedUserSid
    {18, kNt, 1, {12}},         // WinRestrictedCodeSid
    {19, kNt, 1, {13}},         // WinTerminalServerSid
    {20, kNt, 1, {14}},         // WinRemoteLogonIdSid
    {21, kNt, 3, {5, 0, 0}},    // WinLogonIdsSid
    {22, kNt, 1, {18}},         // WinLocalSystemSid
    {23, kNt, 1, {19}},         // WinLocalServiceSid
    {24, kNt, 1, {20}},         // WinNetworkServiceSid
    {25, kNt, 1, {32}},         // WinBuiltinDomainSid
    {26, kNt, 2, {32, 544}},    // WinBuiltinAdministratorsSid
    {27, kNt, 2, {32, 545}},    // WinBuiltinUsersSid
    {28, kNt, 2, {32, 546}},    // WinBuiltinGuestsSid
    {29, kNt, 2, {32, 547}},    // WinBuiltinPowerUsersSid
    {30, kNt, 2, {32, 548}},    // WinBuiltinAccountOperatorsSid
    {31, kNt, 2, {32, 549}},    // WinBuiltinSystemOperatorsSid
    {32, kNt, 2, {32, 550}},    // WinBuiltinPrintOperatorsSid
    {33, kNt, 2, {32, 551}},    // WinBuiltinBackupOperatorsSid
    {34, kNt, 2, {32, 552}},    // WinBuiltinReplicatorSid
    {35, kNt, 2, {32, 554}},    // WinBuiltinPreWindows2000CompatibleAccessSid
    {36, kNt, 2, {32, 555}},    // WinBuiltinRemoteDesktopUsersSid
    {37, kNt, 2, {32, 556}},    // WinBuiltinNetworkConfigurationOperatorsSid
    {51, kNt, 2, {64, 10}},     // WinNTLMAuthenticationSid
    {52, kNt, 2, {64, 21}},     // WinDigestAuthenticationSid
    {53, kNt, 2, {64, 14}},     // WinSChannelAuthenticationSid
    {54, kNt, 1, {15}},         // WinThisOrganizationSid
    {55, kNt, 1, {1000}},       // WinOtherOrganizationSid
    {56, kNt, 2, {32, 557}},    // WinBuiltinIncomingForestTrustBuildersSid
    {57, kNt, 2, {32, 558}},    // WinBuiltinPerfMonitoringUsersSid
    {58, kNt, 2, {32, 559}},    // WinBuiltinPerfLoggingUsersSid
    {59, kNt, 2, {32, 560}},    // WinBuiltinAuthorizationAccessSid
    {60, kNt, 2, {32, 561}},    // WinBuiltinTerminalServerLicenseServersSid
    {61, kNt, 2, {32, 562}},    // WinBuiltinDCOMUsersSid
    {62, kNt, 2, {32, 568}},    // WinBuiltinIUsersSid
    {63, kNt, 1, {17}},         // WinIUserSid
    {64, kNt, 2, {32, 569}},    // WinBuiltinCryptoOperatorsSid
    {65, kLabel, 1, {0x0000}},  // WinUntrustedLabelSid
    {66, kLabel, 1, {0x1000}},  // WinLowLabelSid
    {67, kLabel, 1, {0x2000}},  // WinMediumLabelSid
    {68, kLabel, 1, {0x3000}},  // WinHighLabelSid
    {69, kLabel, 1, {0x4000}},  // WinSystemLabelSid
    {70, kNt, 1, {33}},         // WinWriteRestrictedCodeSid
    {71, kCreator, 1, {4}},     // WinCreatorOwnerRightsSid
    {76, kNt, 2, {32, 573}},    // WinBuiltinEventLogReadersGroup
    {78, kNt, 2, {32, 574}},    // WinBuiltinCertSvcDComAccessGroup
    {83, kPackage, 1, {2}},     // WinApplicationPackageAuthoritySid
    {84, kPackage, 2, {2, 1}},  // WinBuiltinAnyPackageSid
};

struct Relative {
  int type;
  DWORD rid;
};

// Types whose SID is a domain's SID with a fixed RID.
const Relative kRelative[] = {
    {38, 500},   // WinAccountAdministratorSid
    {39, 501},   // WinAccountGuestSid
    {40, 502},   // WinAccountKrbtgtSid
    {41, 512},   // WinAccountDomainAdminsSid
    {42, 513},   // WinAccountDomainUsersSid
    {43, 514},   // WinAccountDomainGuestsSid
    {44, 515},   // WinAccountComputersSid
    {45, 516},   // WinAccountControllersSid
    {46, 517},   // WinAccountCertAdminsSid
    {47, 518},   // WinAccountSchemaAdminsSid
    {48, 519},   // WinAccountEnterpriseAdminsSid
    {49, 520},   // WinAccountPolicyAdminsSid
    {50, 553},   // WinAccountRasAndIasServersSid
    {75, 521},   // WinAccountReadonlyControllersSid
    {100, 522},  // WinAccountCloneableControllersSid
};

const Absolute* FindAbsolute(int type) {
  for (const auto& entry : kAbsolute) {
    if (entry.type == type)
      return &entry;
  }
  return nullptr;
}

const Relative* FindRelative(int type) {
  for (const auto& entry : kRelative) {
    if (entry.type == type)
      return &entry;
  }
  return nullptr;
}

bool IsBuiltin(const SidValue& sid) {
  return sid.authority() == kNt && sid.sub_authority_count() > 0 && sid.sub_authority(0) == 32;
}

}  // namespace

DWORD WellKnownSid(int type, const SidValue* domain, SidValue& out) {
  if (const Absolute* entry = FindAbsolute(type)) {
    out = entry->Sid();
    return ERROR_SUCCESS;
  }
  const Relative* entry = FindRelative(type);
  if (!entry || !domain || domain->sub_authority_count() >= SID_MAX_SUB_AUTHORITIES)
    return ERROR_INVALID_PARAMETER;
  out = domain->Child(entry->rid);
  return ERROR_SUCCESS;
}

bool IsWellKnownSidOfType(const SidValue& sid, int type) {
  // Every logon SID, S-1-5-5-X-Y, is of the logon IDs' type, whatever its session.
  if (type == WinLogonIdsSid)
    return sid.authority() == kNt && sid.sub_authority_count() == 3 &&
           sid.sub_authority(0) == SECURITY_LOGON_IDS_RID;
  if (const Absolute* entry = FindAbsolute(type))
    return sid == entry->Sid();
  const Relative* entry = FindRelative(type);
  const auto domain = entry ? AccountDomainOf(sid) : std::nullopt;
  return domain && sid.sub_authority_count() == domain->sub_authority_count() + 1 &&
         sid.last_rid() == entry->rid;
}

std::optional<SidValue> AccountDomainOf(const SidValue& sid) {
  constexpr size_t kDomainParts = 4;  // 21 and three numbers
  if (sid.authority() != kNt || sid.sub_authority_count() < kDomainParts ||
      sid.sub_authority(0) != SECURITY_NT_NON_UNIQUE)
    return std::nullopt;
  SidValue domain = sid;
  while (domain.sub_authority_count() > kDomainParts)
    domain = domain.Parent();
  return domain;
}

DWORD CompareDomains(const SidValue& a, const SidValue& b, bool& equal) {
  const auto domain_a = AccountDomainOf(a);
  const auto domain_b = AccountDomainOf(b);
  if (domain_a && domain_b) {
    equal = *domain_a == *domain_b;
    return ERROR_SUCCESS;
  }
  // BUILTIN is a domain of its own: its SIDs compare whole.
  if (a.authority() == kNt && b.authority() == kNt && a.sub_authority_count() > 0 &&
      b.sub_authority_count() > 0 && (IsBuiltin(a) || IsBuiltin(b))) {
    equal = a == b;
    return ERROR_SUCCESS;
  }
  return ERROR_NON_DOMAIN_SID;
}

bool SamePrefix(const SidValue& a, const SidValue& b) {
  if (a.sub_authority_count() != b.sub_authority_count() || a.authority() != b.authority())
    return false;
  for (size_t i = 0; i + 1 < a.sub_authority_count(); ++i) {
    if (a.sub_authority(i) != b.sub_authority(i))
      return false;
  }
  return true;
}

}  // namespace standin
