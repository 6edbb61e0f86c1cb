// The stand-in platform's declarations of the Windows API subset that Vortiss calls: the same
// names, signatures, constants, error codes and structure layouts as the Windows SDK.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cwchar>

#define WINAPI
#define WINAPIV
#define APIENTRY
#define NET_API_FUNCTION
#define CONST const
#define VOID void
#define ANYSIZE_ARRAY 1

typedef int BOOL;
typedef BOOL* PBOOL;
typedef unsigned char BYTE, UCHAR;
typedef BYTE *PBYTE, *LPBYTE;
typedef UCHAR* PUCHAR;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD, ULONG;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef LONG LSTATUS;
typedef DWORD *PDWORD, *LPDWORD;
typedef std::uintptr_t ULONG_PTR, DWORD_PTR, SIZE_T;
typedef DWORD_PTR* PDWORD_PTR;
typedef void *PVOID, *LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* HLOCAL;
typedef void* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef char CHAR;
typedef CHAR *LPSTR, *PSTR;
typedef const CHAR *LPCSTR, *PCSTR;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef DWORD ACCESS_MASK;
typedef DWORD NET_API_STATUS;
typedef PVOID PSID;
typedef BYTE BOOLEAN;
typedef BOOL* LPBOOL;
typedef ULONG* PULONG;

#define MAXWORD 0xffff
#define MAXDWORD 0xffffffff
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE) ~(std::uintptr_t)0)

#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_ENGLISH_US 0x01

// Error codes (winerror.h) and network-management status codes (lmerr.h).
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_BAD_NETPATH 53L
#define ERROR_FILE_EXISTS 80L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BAD_LENGTH 24L
#define ERROR_DIR_NOT_ROOT 144L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_DISK_FULL 112L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#define ERROR_DIRECTORY 267L
#define ERROR_NOT_READY 21L
#define ERROR_INVALID_DRIVE 15L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_NO_SECURITY_ON_OBJECT 1350L
#define ERROR_NOACCESS 998L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_EA_TABLE_FULL 277L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_NO_TOKEN 1008L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NON_DOMAIN_SID 1258L
#define ERROR_NO_SUCH_LOGON_SESSION 1312L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_REGISTRY_IO_FAILED 1016L
#define ERROR_KEY_DELETED 1018L
#define ERROR_IO_DEVICE 1117L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_REVISION_MISMATCH 1306L
#define ERROR_INVALID_OWNER 1307L
#define ERROR_INVALID_PRIMARY_GROUP 1308L
#define ERROR_NO_IMPERSONATION_TOKEN 1309L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_ACL 1336L
#define ERROR_INVALID_SID 1337L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_ALLOTTED_SPACE_EXCEEDED 1344L
#define ERROR_BAD_IMPERSONATION_LEVEL 1346L
#define ERROR_CANT_OPEN_ANONYMOUS 1347L
#define ERROR_GENERIC_NOT_MAPPED 1360L
#define ERROR_BAD_DESCRIPTOR_FORMAT 1361L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define NERR_Success 0
#define NERR_BASE 2100
#define NERR_GroupNotFound (NERR_BASE + 120)
#define NERR_UserNotFound (NERR_BASE + 121)
#define NERR_DCNotFound (NERR_BASE + 353)
#define MAX_PREFERRED_LENGTH ((DWORD)-1)

// Message formatting (winbase.h).
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Module entry notifications.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// Security identifiers (winnt.h).
#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE 68

typedef struct _SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[ANYSIZE_ARRAY];
} SID, *PISID;

static_assert(sizeof(SID_IDENTIFIER_AUTHORITY) == 6);
static_assert(sizeof(SID) == 12);
static_assert(offsetof(SID, SubAuthority) == 8);

#define SECURITY_NULL_SID_AUTHORITY \
  { 0, 0, 0, 0, 0, 0 }
#define SECURITY_WORLD_SID_AUTHORITY \
  { 0, 0, 0, 0, 0, 1 }
#define SECURITY_LOCAL_SID_AUTHORITY \
  { 0, 0, 0, 0, 0, 2 }
#define SECURITY_CREATOR_SID_AUTHORITY \
  { 0, 0, 0, 0, 0, 3 }
#define SECURITY_NT_AUTHORITY \
  { 0, 0, 0, 0, 0, 5 }

#define SECURITY_NULL_RID 0x00000000L
#define SECURITY_WORLD_RID 0x00000000L
#define SECURITY_CREATOR_OWNER_RID 0x00000000L
#define SECURITY_CREATOR_GROUP_RID 0x00000001L
#define SECURITY_CREATOR_OWNER_RIGHTS_RID 0x00000004L
#define SECURITY_NETWORK_RID 0x00000002L
#define SECURITY_INTERACTIVE_RID 0x00000004L
#define SECURITY_AUTHENTICATED_USER_RID 0x0000000BL
#define SECURITY_TERMINAL_SERVER_RID 0x0000000DL
#define SECURITY_LOCAL_SYSTEM_RID 0x00000012L
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020L
#define SECURITY_NT_NON_UNIQUE 0x00000015L
#define DOMAIN_USER_RID_ADMIN 0x000001F4L
#define DOMAIN_USER_RID_GUEST 0x000001F5L
#define DOMAIN_GROUP_RID_ADMINS 0x00000200L
#define DOMAIN_GROUP_RID_USERS 0x00000201L
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220L
#define DOMAIN_ALIAS_RID_USERS 0x00000221L
#define DOMAIN_ALIAS_RID_GUESTS 0x00000222L
#define DOMAIN_ALIAS_RID_POWER_USERS 0x00000223L
#define DOMAIN_ALIAS_RID_BACKUP_OPS 0x00000227L
#define DOMAIN_ALIAS_RID_REMOTE_DESKTOP_USERS 0x0000022BL

typedef enum _SID_NAME_USE {
  SidTypeUser = 1,
  SidTypeGroup,
  SidTypeDomain,
  SidTypeAlias,
  SidTypeWellKnownGroup,
  SidTypeDeletedAccount,
  SidTypeInvalid,
  SidTypeUnknown,
  SidTypeComputer,
  SidTypeLabel
} SID_NAME_USE,
    *PSID_NAME_USE;

// The well-known SID types the stand-in's table holds (winnt.h gives every type's number).
typedef enum {
  WinNullSid = 0,
  WinWorldSid = 1,
  WinLocalSid = 2,
  WinCreatorOwnerSid = 3,
  WinCreatorGroupSid = 4,
  WinCreatorOwnerServerSid = 5,
  WinCreatorGroupServerSid = 6,
  WinNtAuthoritySid = 7,
  WinDialupSid = 8,
  WinNetworkSid = 9,
  WinBatchSid = 10,
  WinInteractiveSid = 11,
  WinServiceSid = 12,
  WinAnonymousSid = 13,
  WinProxySid = 14,
  WinEnterpriseControllersSid = 15,
  WinSelfSid = 16,
  WinAuthenticatedUserSid = 17,
  WinRestrictedCodeSid = 18,
  WinTerminalServerSid = 19,
  WinRemoteLogonIdSid = 20,
  WinLogonIdsSid = 21,
  WinLocalSystemSid = 22,
  WinLocalServiceSid = 23,
  WinNetworkServiceSid = 24,
  WinBuiltinDomainSid = 25,
  WinBuiltinAdministratorsSid = 26,
  WinBuiltinUsersSid = 27,
  WinBuiltinGuestsSid = 28,
  WinBuiltinPowerUsersSid = 29,
  WinBuiltinAccountOperatorsSid = 30,
  WinBuiltinSystemOperatorsSid = 31,
  WinBuiltinPrintOperatorsSid = 32,
  WinBuiltinBackupOperatorsSid = 33,
  WinBuiltinReplicatorSid = 34,
  WinBuiltinPreWindows2000CompatibleAccessSid = 35,
  WinBuiltinRemoteDesktopUsersSid = 36,
  WinBuiltinNetworkConfigurationOperatorsSid = 37,
  WinAccountAdministratorSid = 38,
  WinAccountGuestSid = 39,
  WinAccountKrbtgtSid = 40,
  WinAccountDomainAdminsSid = 41,
  WinAccountDomainUsersSid = 42,
  WinAccountDomainGuestsSid = 43,
  WinAccountComputersSid = 44,
  WinAccountControllersSid = 45,
  WinAccountCertAdminsSid = 46,
  WinAccountSchemaAdminsSid = 47,
  WinAccountEnterpriseAdminsSid = 48,
  WinAccountPolicyAdminsSid = 49,
  WinAccountRasAndIasServersSid = 50,
  WinNTLMAuthenticationSid = 51,
  WinDigestAuthenticationSid = 52,
  WinSChannelAuthenticationSid = 53,
  WinThisOrganizationSid = 54,
  WinOtherOrganizationSid = 55,
  WinBuiltinIncomingForestTrustBuildersSid = 56,
  WinBuiltinPerfMonitoringUsersSid = 57,
  WinBuiltinPerfLoggingUsersSid = 58,
  WinBuiltinAuthorizationAccessSid = 59,
  WinBuiltinTerminalServerLicenseServersSid = 60,
  WinBuiltinDCOMUsersSid = 61,
  WinBuiltinIUsersSid = 62,
  WinIUserSid = 63,
  WinBuiltinCryptoOperatorsSid = 64,
  WinUntrustedLabelSid = 65,
  WinLowLabelSid = 66,
  WinMediumLabelSid = 67,
  WinHighLabelSid = 68,
  WinSystemLabelSid = 69,
  WinWriteRestrictedCodeSid = 70,
  WinCreatorOwnerRightsSid = 71,
  WinAccountReadonlyControllersSid = 75,
  WinBuiltinEventLogReadersGroup = 76,
  WinBuiltinCertSvcDComAccessGroup = 78,
  WinApplicationPackageAuthoritySid = 83,
  WinBuiltinAnyPackageSid = 84,
  WinAccountCloneableControllersSid = 100
} WELL_KNOWN_SID_TYPE;

typedef struct _SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

#define SE_GROUP_MANDATORY 0x00000001L
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002L
#define SE_GROUP_ENABLED 0x00000004L
#define SE_GROUP_OWNER 0x00000008L
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010L

// Tokens (winnt.h).
#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define TOKEN_ADJUST_SESSIONID 0x0100
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define TOKEN_ALL_ACCESS                                                                   \
  (STANDARD_RIGHTS_REQUIRED | TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | \
   TOKEN_QUERY | TOKEN_QUERY_SOURCE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS |      \
   TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID)
#define TOKEN_READ (STANDARD_RIGHTS_READ | TOKEN_QUERY)
#define TOKEN_WRITE \
  (STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT)
#define TOKEN_EXECUTE (STANDARD_RIGHTS_EXECUTE)

typedef enum _TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups,
  TokenPrivileges,
  TokenOwner,
  TokenPrimaryGroup,
  TokenDefaultDacl,
  TokenSource,
  TokenType,
  TokenImpersonationLevel,
  TokenStatistics,
  TokenRestrictedSids,
  TokenSessionId,
  TokenGroupsAndPrivileges,
  TokenSessionReference,
  TokenSandBoxInert,
  TokenAuditPolicy,
  TokenOrigin,
  TokenElevationType,
  TokenLinkedToken,
  TokenElevation,
  TokenHasRestrictions,
  TokenAccessInformation,
  TokenVirtualizationAllowed,
  TokenVirtualizationEnabled,
  TokenIntegrityLevel,
  TokenUIAccess,
  TokenMandatoryPolicy,
  TokenLogonSid,
  TokenIsAppContainer,
  TokenCapabilities,
  TokenAppContainerSid,
  TokenAppContainerNumber,
  TokenUserClaimAttributes,
  TokenDeviceClaimAttributes,
  TokenRestrictedUserClaimAttributes,
  TokenRestrictedDeviceClaimAttributes,
  TokenDeviceGroups,
  TokenRestrictedDeviceGroups,
  TokenSecurityAttributes,
  TokenIsRestricted,
  MaxTokenInfoClass
} TOKEN_INFORMATION_CLASS,
    *PTOKEN_INFORMATION_CLASS;

typedef enum _TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation } TOKEN_TYPE, *PTOKEN_TYPE;

typedef enum _SECURITY_IMPERSONATION_LEVEL {
  SecurityAnonymous,
  SecurityIdentification,
  SecurityImpersonation,
  SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL,
    *PSECURITY_IMPERSONATION_LEVEL;

typedef struct _TOKEN_USER {
  SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[ANYSIZE_ARRAY];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

typedef struct _TOKEN_ELEVATION {
  DWORD TokenIsElevated;
} TOKEN_ELEVATION, *PTOKEN_ELEVATION;

typedef enum _TOKEN_ELEVATION_TYPE {
  TokenElevationTypeDefault = 1,
  TokenElevationTypeFull,
  TokenElevationTypeLimited
} TOKEN_ELEVATION_TYPE,
    *PTOKEN_ELEVATION_TYPE;

typedef struct _TOKEN_OWNER {
  PSID Owner;
} TOKEN_OWNER, *PTOKEN_OWNER;

typedef struct _TOKEN_PRIMARY_GROUP {
  PSID PrimaryGroup;
} TOKEN_PRIMARY_GROUP, *PTOKEN_PRIMARY_GROUP;

typedef struct _TOKEN_LINKED_TOKEN {
  HANDLE LinkedToken;
} TOKEN_LINKED_TOKEN, *PTOKEN_LINKED_TOKEN;

typedef struct _TOKEN_MANDATORY_LABEL {
  SID_AND_ATTRIBUTES Label;
} TOKEN_MANDATORY_LABEL, *PTOKEN_MANDATORY_LABEL;

#define TOKEN_MANDATORY_POLICY_OFF 0x0
#define TOKEN_MANDATORY_POLICY_NO_WRITE_UP 0x1
#define TOKEN_MANDATORY_POLICY_NEW_PROCESS_MIN 0x2
#define TOKEN_MANDATORY_POLICY_VALID_MASK \
  (TOKEN_MANDATORY_POLICY_NO_WRITE_UP | TOKEN_MANDATORY_POLICY_NEW_PROCESS_MIN)

typedef struct _TOKEN_MANDATORY_POLICY {
  DWORD Policy;
} TOKEN_MANDATORY_POLICY, *PTOKEN_MANDATORY_POLICY;

typedef struct _TOKEN_APPCONTAINER_INFORMATION {
  PSID TokenAppContainer;
} TOKEN_APPCONTAINER_INFORMATION, *PTOKEN_APPCONTAINER_INFORMATION;

#define SE_GROUP_INTEGRITY 0x00000020L
#define SE_GROUP_INTEGRITY_ENABLED 0x00000040L
#define SE_GROUP_RESOURCE 0x20000000L
#define SE_GROUP_LOGON_ID 0xC0000000L

#define SECURITY_MANDATORY_LABEL_AUTHORITY \
  { 0, 0, 0, 0, 0, 16 }
#define SECURITY_MANDATORY_UNTRUSTED_RID 0x00000000L
#define SECURITY_MANDATORY_LOW_RID 0x00001000L
#define SECURITY_MANDATORY_MEDIUM_RID 0x00002000L
#define SECURITY_MANDATORY_HIGH_RID 0x00003000L
#define SECURITY_MANDATORY_SYSTEM_RID 0x00004000L
#define SECURITY_LOGON_IDS_RID 0x00000005L
#define SECURITY_LOGON_IDS_RID_COUNT 3

// Network management (lmaccess.h).
typedef struct _LOCALGROUP_MEMBERS_INFO_0 {
  PSID lgrmi0_sid;
} LOCALGROUP_MEMBERS_INFO_0, *PLOCALGROUP_MEMBERS_INFO_0;

typedef struct _LOCALGROUP_MEMBERS_INFO_1 {
  PSID lgrmi1_sid;
  SID_NAME_USE lgrmi1_sidusage;
  LPWSTR lgrmi1_name;
} LOCALGROUP_MEMBERS_INFO_1, *PLOCALGROUP_MEMBERS_INFO_1;

typedef struct _LOCALGROUP_MEMBERS_INFO_2 {
  PSID lgrmi2_sid;
  SID_NAME_USE lgrmi2_sidusage;
  LPWSTR lgrmi2_domainandname;
} LOCALGROUP_MEMBERS_INFO_2, *PLOCALGROUP_MEMBERS_INFO_2;

typedef struct _LOCALGROUP_MEMBERS_INFO_3 {
  LPWSTR lgrmi3_domainandname;
} LOCALGROUP_MEMBERS_INFO_3, *PLOCALGROUP_MEMBERS_INFO_3;

typedef struct _GROUP_USERS_INFO_0 {
  LPWSTR grui0_name;
} GROUP_USERS_INFO_0, *PGROUP_USERS_INFO_0;

typedef struct _GROUP_USERS_INFO_1 {
  LPWSTR grui1_name;
  DWORD grui1_attributes;
} GROUP_USERS_INFO_1, *PGROUP_USERS_INFO_1;

// Access rights (winnt.h).
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_ADD_SUBDIRECTORY 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020
#define FILE_DELETE_CHILD 0x0040
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ \
  (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE                                                           \
  (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | \
   FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE \
  (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ \
  ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_EXECUTE (KEY_READ & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS                                                           \
  ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | \
    KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                     \
   ~SYNCHRONIZE)

typedef struct _GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

// Access control lists and entries (winnt.h).
#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define MIN_ACL_REVISION 2
#define MAX_ACL_REVISION 4

typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;

typedef struct _ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define SYSTEM_AUDIT_ACE_TYPE 0x2
#define SYSTEM_ALARM_ACE_TYPE 0x3
#define ACCESS_ALLOWED_COMPOUND_ACE_TYPE 0x4
#define ACCESS_ALLOWED_OBJECT_ACE_TYPE 0x5
#define ACCESS_DENIED_OBJECT_ACE_TYPE 0x6
#define SYSTEM_AUDIT_OBJECT_ACE_TYPE 0x7
#define SYSTEM_ALARM_OBJECT_ACE_TYPE 0x8
#define ACCESS_ALLOWED_CALLBACK_ACE_TYPE 0x9
#define ACCESS_DENIED_CALLBACK_ACE_TYPE 0xA
#define ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE 0xB
#define ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE 0xC
#define SYSTEM_AUDIT_CALLBACK_ACE_TYPE 0xD
#define SYSTEM_ALARM_CALLBACK_ACE_TYPE 0xE
#define SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE 0xF
#define SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE 0x10
#define SYSTEM_MANDATORY_LABEL_ACE_TYPE 0x11
#define SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE 0x12
#define SYSTEM_SCOPED_POLICY_ID_ACE_TYPE 0x13
// The Windows SDK's winnt.h (mingw-w64's stops at 0x13).
#define SYSTEM_PROCESS_TRUST_LABEL_ACE_TYPE 0x14

// The mask of a mandatory label entry.
#define SYSTEM_MANDATORY_LABEL_NO_WRITE_UP 0x1
#define SYSTEM_MANDATORY_LABEL_NO_READ_UP 0x2
#define SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP 0x4

#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8
#define INHERITED_ACE 0x10
#define VALID_INHERIT_FLAGS 0x1F
#define SUCCESSFUL_ACCESS_ACE_FLAG 0x40
#define FAILED_ACCESS_ACE_FLAG 0x80

typedef struct _ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

// Denied and audit entries have the allowed entry's layout.
typedef ACCESS_ALLOWED_ACE ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;
typedef ACCESS_ALLOWED_ACE SYSTEM_AUDIT_ACE, *PSYSTEM_AUDIT_ACE;

static_assert(sizeof(ACL) == 8);
static_assert(offsetof(ACL, AclSize) == 2);
static_assert(offsetof(ACL, AceCount) == 4);
static_assert(offsetof(ACE_HEADER, AceFlags) == 1);
static_assert(offsetof(ACE_HEADER, AceSize) == 2);
static_assert(sizeof(ACE_HEADER) == 4);
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12);
static_assert(offsetof(ACCESS_ALLOWED_ACE, Mask) == 4);
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8);

typedef enum _ACL_INFORMATION_CLASS {
  AclRevisionInformation = 1,
  AclSizeInformation
} ACL_INFORMATION_CLASS;

typedef struct _ACL_REVISION_INFORMATION {
  DWORD AclRevision;
} ACL_REVISION_INFORMATION, *PACL_REVISION_INFORMATION;

typedef struct _ACL_SIZE_INFORMATION {
  DWORD AceCount;
  DWORD AclBytesInUse;
  DWORD AclBytesFree;
} ACL_SIZE_INFORMATION, *PACL_SIZE_INFORMATION;

#define SYSTEM_MANDATORY_LABEL_NO_WRITE_UP 0x1
#define SYSTEM_MANDATORY_LABEL_NO_READ_UP 0x2
#define SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP 0x4
#define SYSTEM_MANDATORY_LABEL_VALID_MASK                                   \
  (SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP | \
   SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP)

typedef struct _TOKEN_DEFAULT_DACL {
  PACL DefaultDacl;
} TOKEN_DEFAULT_DACL, *PTOKEN_DEFAULT_DACL;

typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID;

// Object entries: which of the two GUIDs follow the flags.
#define ACE_OBJECT_TYPE_PRESENT 0x1
#define ACE_INHERITED_OBJECT_TYPE_PRESENT 0x2

typedef struct _ACCESS_ALLOWED_OBJECT_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD Flags;
  GUID ObjectType;
  GUID InheritedObjectType;
  DWORD SidStart;
} ACCESS_ALLOWED_OBJECT_ACE, *PACCESS_ALLOWED_OBJECT_ACE;

typedef ACCESS_ALLOWED_OBJECT_ACE ACCESS_DENIED_OBJECT_ACE, *PACCESS_DENIED_OBJECT_ACE;

static_assert(sizeof(GUID) == 16);
static_assert(offsetof(ACCESS_ALLOWED_OBJECT_ACE, Flags) == 8);
static_assert(offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType) == 12);
static_assert(offsetof(ACCESS_ALLOWED_OBJECT_ACE, SidStart) == 44);

// Security descriptors (winnt.h).
#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_REVISION1 1

typedef WORD SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_SACL_AUTO_INHERIT_REQ 0x0200
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_SACL_AUTO_INHERITED 0x0800
#define SE_DACL_PROTECTED 0x1000
#define SE_SACL_PROTECTED 0x2000
#define SE_RM_CONTROL_VALID 0x4000
#define SE_SELF_RELATIVE 0x8000
// ntifs.h
#define SE_DACL_UNTRUSTED 0x0040
#define SE_SERVER_SECURITY 0x0080

typedef PVOID PSECURITY_DESCRIPTOR;

typedef struct _SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  DWORD Owner;
  DWORD Group;
  DWORD Sacl;
  DWORD Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;

#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20);
static_assert(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control) == 2);
static_assert(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner) == 4);
static_assert(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl) == 16);
static_assert(offsetof(SECURITY_DESCRIPTOR, Control) ==
              offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control));
static_assert(sizeof(SECURITY_DESCRIPTOR) == 4 + 4 * sizeof(void*) + (sizeof(void*) == 8 ? 4 : 0));

typedef DWORD SECURITY_INFORMATION, *PSECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define SACL_SECURITY_INFORMATION 0x00000008L
#define LABEL_SECURITY_INFORMATION 0x00000010L
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L
#define PROTECTED_SACL_SECURITY_INFORMATION 0x40000000L
#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000L
#define UNPROTECTED_SACL_SECURITY_INFORMATION 0x10000000L

#define SDDL_REVISION_1 1
#define SDDL_REVISION SDDL_REVISION_1

// Files, volumes and versions (winbase.h, winnt.h, fileapi.h).
#define MAX_PATH 260

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_PERSISTENT_ACLS 0x00000008

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

typedef struct _OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

#define VER_PLATFORM_WIN32_NT 2

// The size the platform's own 16-bit layout gives this record; checked where wide characters
// are 16 bits, as on Windows.
static_assert(sizeof(WCHAR) != 2 || sizeof(OSVERSIONINFOW) == 276);

// Named objects' security (accctrl.h).
typedef enum _SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT,
  SE_SERVICE,
  SE_PRINTER,
  SE_REGISTRY_KEY,
  SE_LMSHARE,
  SE_KERNEL_OBJECT,
  SE_WINDOW_OBJECT,
  SE_DS_OBJECT,
  SE_DS_OBJECT_ALL,
  SE_PROVIDER_DEFINED_OBJECT,
  SE_WMIGUID_OBJECT,
  SE_REGISTRY_WOW64_32KEY
} SE_OBJECT_TYPE;

// Trustees (accctrl.h).
typedef enum _TRUSTEE_TYPE {
  TRUSTEE_IS_UNKNOWN,
  TRUSTEE_IS_USER,
  TRUSTEE_IS_GROUP,
  TRUSTEE_IS_DOMAIN,
  TRUSTEE_IS_ALIAS,
  TRUSTEE_IS_WELL_KNOWN_GROUP,
  TRUSTEE_IS_DELETED,
  TRUSTEE_IS_INVALID,
  TRUSTEE_IS_COMPUTER
} TRUSTEE_TYPE;

typedef enum _TRUSTEE_FORM {
  TRUSTEE_IS_SID,
  TRUSTEE_IS_NAME,
  TRUSTEE_BAD_FORM,
  TRUSTEE_IS_OBJECTS_AND_SID,
  TRUSTEE_IS_OBJECTS_AND_NAME
} TRUSTEE_FORM;

typedef enum _MULTIPLE_TRUSTEE_OPERATION {
  NO_MULTIPLE_TRUSTEE,
  TRUSTEE_IS_IMPERSONATE
} MULTIPLE_TRUSTEE_OPERATION;

typedef struct _TRUSTEE_A {
  struct _TRUSTEE_A* pMultipleTrustee;
  MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPSTR ptstrName;
} TRUSTEE_A, *PTRUSTEE_A, TRUSTEEA, *PTRUSTEEA;

typedef struct _TRUSTEE_W {
  struct _TRUSTEE_W* pMultipleTrustee;
  MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPWSTR ptstrName;
} TRUSTEE_W, *PTRUSTEE_W, TRUSTEEW, *PTRUSTEEW;

// Privileges and the access check (winnt.h).
typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

typedef struct _PRIVILEGE_SET {
  DWORD PrivilegeCount;
  DWORD Control;
  LUID_AND_ATTRIBUTES Privilege[ANYSIZE_ARRAY];
} PRIVILEGE_SET, *PPRIVILEGE_SET;

static_assert(sizeof(PRIVILEGE_SET) == 20);

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001L
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_PRIVILEGE_REMOVED 0x00000004L
#define SE_PRIVILEGE_USED_FOR_ACCESS 0x80000000L
#define PRIVILEGE_SET_ALL_NECESSARY 1

typedef struct _TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12);
static_assert(offsetof(TOKEN_PRIVILEGES, Privileges) == 4);

// The privileges' LUIDs (wdm.h).
#define SE_MIN_WELL_KNOWN_PRIVILEGE 2
#define SE_SECURITY_PRIVILEGE 8
#define SE_TAKE_OWNERSHIP_PRIVILEGE 9
#define SE_BACKUP_PRIVILEGE 17
#define SE_RESTORE_PRIVILEGE 18
#define SE_CHANGE_NOTIFY_PRIVILEGE 23
#define SE_MAX_WELL_KNOWN_PRIVILEGE 35

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  std::int64_t QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#define TOKEN_SOURCE_LENGTH 8

typedef struct _TOKEN_SOURCE {
  CHAR SourceName[TOKEN_SOURCE_LENGTH];
  LUID SourceIdentifier;
} TOKEN_SOURCE, *PTOKEN_SOURCE;

typedef struct _TOKEN_STATISTICS {
  LUID TokenId;
  LUID AuthenticationId;
  LARGE_INTEGER ExpirationTime;
  TOKEN_TYPE TokenType;
  SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
  DWORD DynamicCharged;
  DWORD DynamicAvailable;
  DWORD GroupCount;
  DWORD PrivilegeCount;
  LUID ModifiedId;
} TOKEN_STATISTICS, *PTOKEN_STATISTICS;

typedef struct _TOKEN_ORIGIN {
  LUID OriginatingLogonSession;
} TOKEN_ORIGIN, *PTOKEN_ORIGIN;

static_assert(sizeof(TOKEN_SOURCE) == 16);
static_assert(sizeof(TOKEN_STATISTICS) == 56);
static_assert(offsetof(TOKEN_STATISTICS, ExpirationTime) == 16);
static_assert(offsetof(TOKEN_STATISTICS, ModifiedId) == 48);

typedef struct _TOKEN_GROUPS_AND_PRIVILEGES {
  DWORD SidCount;
  DWORD SidLength;
  PSID_AND_ATTRIBUTES Sids;
  DWORD RestrictedSidCount;
  DWORD RestrictedSidLength;
  PSID_AND_ATTRIBUTES RestrictedSids;
  DWORD PrivilegeCount;
  DWORD PrivilegeLength;
  PLUID_AND_ATTRIBUTES Privileges;
  LUID AuthenticationId;
} TOKEN_GROUPS_AND_PRIVILEGES, *PTOKEN_GROUPS_AND_PRIVILEGES;

static_assert(sizeof(TOKEN_GROUPS_AND_PRIVILEGES) == 56);
static_assert(offsetof(TOKEN_GROUPS_AND_PRIVILEGES, Privileges) == 40);

// The registry (winreg.h, winnt.h).
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef ACCESS_MASK REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

extern "C" {

// Last error, per thread.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

// Security identifiers.
BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority,
                                     BYTE count,
                                     DWORD sub0,
                                     DWORD sub1,
                                     DWORD sub2,
                                     DWORD sub3,
                                     DWORD sub4,
                                     DWORD sub5,
                                     DWORD sub6,
                                     DWORD sub7,
                                     PSID* sid);
PVOID WINAPI FreeSid(PSID sid);
DWORD WINAPI GetLengthSid(PSID sid);
BOOL WINAPI CopySid(DWORD length, PSID destination, PSID source);
BOOL WINAPI EqualSid(PSID sid1, PSID sid2);
BOOL WINAPI IsValidSid(PSID sid);
PSID_IDENTIFIER_AUTHORITY WINAPI GetSidIdentifierAuthority(PSID sid);
PDWORD WINAPI GetSidSubAuthority(PSID sid, DWORD index);
PUCHAR WINAPI GetSidSubAuthorityCount(PSID sid);
BOOL WINAPI ConvertSidToStringSidW(PSID sid, LPWSTR* text);
BOOL WINAPI ConvertStringSidToSidW(LPCWSTR text, PSID* sid);
BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text);
BOOL WINAPI ConvertStringSidToSidA(LPCSTR text, PSID* sid);
DWORD WINAPI GetSidLengthRequired(UCHAR count);
BOOL WINAPI InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE count);
BOOL WINAPI EqualPrefixSid(PSID sid1, PSID sid2);
BOOL WINAPI EqualDomainSid(PSID sid1, PSID sid2, BOOL* equal);
BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid, DWORD* size);
BOOL WINAPI IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type);

// Tokens and impersonation.
HANDLE WINAPI GetCurrentProcess(void);
HANDLE WINAPI GetCurrentThread(void);
BOOL WINAPI ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL level);
BOOL WINAPI RevertToSelf(void);
BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL open_as_self, PHANDLE token);
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI GetTokenInformation(HANDLE token,
                                TOKEN_INFORMATION_CLASS info_class,
                                LPVOID info,
                                DWORD length,
                                PDWORD return_length);
BOOL WINAPI DuplicateTokenEx(HANDLE existing,
                             DWORD access,
                             LPSECURITY_ATTRIBUTES attributes,
                             SECURITY_IMPERSONATION_LEVEL level,
                             TOKEN_TYPE type,
                             PHANDLE token);
BOOL WINAPI DuplicateToken(HANDLE existing, SECURITY_IMPERSONATION_LEVEL level, PHANDLE token);
BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sid, PBOOL is_member);
BOOL WINAPI CloseHandle(HANDLE handle);

// Privileges.
BOOL WINAPI LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid);
BOOL WINAPI LookupPrivilegeNameW(LPCWSTR system, PLUID luid, LPWSTR name, LPDWORD name_chars);
BOOL WINAPI AdjustTokenPrivileges(HANDLE token,
                                  BOOL disable_all,
                                  PTOKEN_PRIVILEGES new_state,
                                  DWORD length,
                                  PTOKEN_PRIVILEGES previous_state,
                                  PDWORD return_length);
BOOL WINAPI PrivilegeCheck(HANDLE token, PPRIVILEGE_SET required, LPBOOL result);

// Account lookup.
BOOL WINAPI LookupAccountSidW(LPCWSTR system,
                              PSID sid,
                              LPWSTR name,
                              LPDWORD name_chars,
                              LPWSTR domain,
                              LPDWORD domain_chars,
                              PSID_NAME_USE use);
BOOL WINAPI LookupAccountNameW(LPCWSTR system,
                               LPCWSTR account,
                               PSID sid,
                               LPDWORD sid_bytes,
                               LPWSTR domain,
                               LPDWORD domain_chars,
                               PSID_NAME_USE use);

BOOL WINAPI LookupAccountSidA(LPCSTR system,
                              PSID sid,
                              LPSTR name,
                              LPDWORD name_chars,
                              LPSTR domain,
                              LPDWORD domain_chars,
                              PSID_NAME_USE use);
BOOL WINAPI LookupAccountNameA(LPCSTR system,
                               LPCSTR account,
                               PSID sid,
                               LPDWORD sid_bytes,
                               LPSTR domain,
                               LPDWORD domain_chars,
                               PSID_NAME_USE use);

// Network management.
NET_API_STATUS NET_API_FUNCTION NetLocalGroupGetMembers(LPCWSTR server,
                                                        LPCWSTR group,
                                                        DWORD level,
                                                        LPBYTE* buffer,
                                                        DWORD preferred_max,
                                                        LPDWORD entries_read,
                                                        LPDWORD total_entries,
                                                        PDWORD_PTR resume);
NET_API_STATUS NET_API_FUNCTION NetGroupGetUsers(LPCWSTR server,
                                                 LPCWSTR group,
                                                 DWORD level,
                                                 LPBYTE* buffer,
                                                 DWORD preferred_max,
                                                 LPDWORD entries_read,
                                                 LPDWORD total_entries,
                                                 PDWORD_PTR resume);
NET_API_STATUS NET_API_FUNCTION NetGetDCName(LPCWSTR server, LPCWSTR domain, LPBYTE* buffer);
NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID buffer);

// Security descriptors and access control lists.
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL defaulted);
BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL defaulted);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                      BOOL present,
                                      PACL dacl,
                                      BOOL defaulted);
BOOL WINAPI SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor,
                                      BOOL present,
                                      PACL sacl,
                                      BOOL defaulted);
BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                         SECURITY_DESCRIPTOR_CONTROL mask,
                                         SECURITY_DESCRIPTOR_CONTROL bits);
BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor,
                                       PSID* owner,
                                       LPBOOL defaulted);
BOOL WINAPI GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor,
                                       PSID* group,
                                       LPBOOL defaulted);
BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                      LPBOOL present,
                                      PACL* dacl,
                                      LPBOOL defaulted);
BOOL WINAPI GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor,
                                      LPBOOL present,
                                      PACL* sacl,
                                      LPBOOL defaulted);
BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                         PSECURITY_DESCRIPTOR_CONTROL control,
                                         LPDWORD revision);
DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor);
BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor);
BOOL WINAPI MakeSelfRelativeSD(PSECURITY_DESCRIPTOR absolute,
                               PSECURITY_DESCRIPTOR self_relative,
                               LPDWORD length);
BOOL WINAPI MakeAbsoluteSD(PSECURITY_DESCRIPTOR self_relative,
                           PSECURITY_DESCRIPTOR absolute,
                           LPDWORD absolute_length,
                           PACL dacl,
                           LPDWORD dacl_length,
                           PACL sacl,
                           LPDWORD sacl_length,
                           PSID owner,
                           LPDWORD owner_length,
                           PSID group,
                           LPDWORD group_length);
// ntdll: checks a self-relative descriptor of `length` bytes before anything reads through it.
BOOLEAN WINAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                                  ULONG length,
                                                  SECURITY_INFORMATION required);
BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision);
BOOL WINAPI IsValidAcl(PACL acl);
BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
BOOL WINAPI AddAccessDeniedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
BOOL WINAPI AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid);
BOOL WINAPI AddAccessDeniedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid);
BOOL WINAPI AddAce(PACL acl, DWORD revision, DWORD start_index, LPVOID entries, DWORD length);
BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace);
BOOL WINAPI DeleteAce(PACL acl, DWORD index);
BOOL WINAPI FindFirstFreeAce(PACL acl, LPVOID* ace);
BOOL WINAPI GetAclInformation(PACL acl,
                              LPVOID information,
                              DWORD length,
                              ACL_INFORMATION_CLASS information_class);
BOOL WINAPI AddAuditAccessAce(PACL acl,
                              DWORD revision,
                              DWORD mask,
                              PSID sid,
                              BOOL audit_success,
                              BOOL audit_failure);
BOOL WINAPI AddAuditAccessAceEx(PACL acl,
                                DWORD revision,
                                DWORD flags,
                                DWORD mask,
                                PSID sid,
                                BOOL audit_success,
                                BOOL audit_failure);
BOOL WINAPI AddMandatoryAce(PACL acl, DWORD revision, DWORD flags, DWORD policy, PSID label);
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text,
                                                                 DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG length);
BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor,
                                                                 DWORD revision,
                                                                 SECURITY_INFORMATION information,
                                                                 LPWSTR* text,
                                                                 PULONG length);
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text,
                                                                 DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG length);
BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor,
                                                                 DWORD revision,
                                                                 SECURITY_INFORMATION information,
                                                                 LPSTR* text,
                                                                 PULONG length);

// Trustees.
void WINAPI BuildTrusteeWithSidW(PTRUSTEE_W trustee, PSID sid);
void WINAPI BuildTrusteeWithSidA(PTRUSTEE_A trustee, PSID sid);
void WINAPI BuildTrusteeWithNameW(PTRUSTEE_W trustee, LPWSTR name);
void WINAPI BuildTrusteeWithNameA(PTRUSTEE_A trustee, LPSTR name);
TRUSTEE_FORM WINAPI GetTrusteeFormW(PTRUSTEE_W trustee);
TRUSTEE_FORM WINAPI GetTrusteeFormA(PTRUSTEE_A trustee);
LPWSTR WINAPI GetTrusteeNameW(PTRUSTEE_W trustee);
LPSTR WINAPI GetTrusteeNameA(PTRUSTEE_A trustee);
TRUSTEE_TYPE WINAPI GetTrusteeTypeW(PTRUSTEE_W trustee);
TRUSTEE_TYPE WINAPI GetTrusteeTypeA(PTRUSTEE_A trustee);

// Files, volumes, versions and named-object security.
BOOL WINAPI GetVolumeInformationW(LPCWSTR root,
                                  LPWSTR volume_name,
                                  DWORD volume_name_size,
                                  LPDWORD serial_number,
                                  LPDWORD max_component_length,
                                  LPDWORD file_system_flags,
                                  LPWSTR file_system_name,
                                  DWORD file_system_name_size);
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info);
HANDLE WINAPI CreateFileW(LPCWSTR name,
                          DWORD access,
                          DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security,
                          DWORD disposition,
                          DWORD flags_and_attributes,
                          HANDLE template_file);
BOOL WINAPI DeleteFileW(LPCWSTR name);
// The ANSI forms: the name in the ANSI code page, the rest as the wide forms take it.
HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL WINAPI DeleteFileA(LPCSTR name);
DWORD WINAPI GetTempPathW(DWORD length, LPWSTR buffer);
DWORD WINAPI GetTempPathA(DWORD length, LPSTR buffer);
UINT WINAPI GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique, LPWSTR name);
UINT WINAPI GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR name);
BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI RemoveDirectoryW(LPCWSTR name);
DWORD WINAPI GetFileAttributesW(LPCWSTR name);
HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL WINAPI FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL WINAPI FindClose(HANDLE find);
BOOL WINAPI GetFileSecurityW(LPCWSTR name,
                             SECURITY_INFORMATION requested,
                             PSECURITY_DESCRIPTOR descriptor,
                             DWORD length,
                             LPDWORD needed);
BOOL WINAPI SetFileSecurityW(LPCWSTR name,
                             SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor);
DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR name,
                                   SE_OBJECT_TYPE type,
                                   SECURITY_INFORMATION information,
                                   PSID* owner,
                                   PSID* group,
                                   PACL* dacl,
                                   PACL* sacl,
                                   PSECURITY_DESCRIPTOR* descriptor);
DWORD WINAPI SetNamedSecurityInfoW(LPWSTR name,
                                   SE_OBJECT_TYPE type,
                                   SECURITY_INFORMATION information,
                                   PSID owner,
                                   PSID group,
                                   PACL dacl,
                                   PACL sacl);

// The access check.
BOOL WINAPI AreAllAccessesGranted(DWORD granted, DWORD desired);
BOOL WINAPI AreAnyAccessesGranted(DWORD granted, DWORD desired);
void WINAPI MapGenericMask(PDWORD mask, PGENERIC_MAPPING mapping);
BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR descriptor,
                        HANDLE token,
                        DWORD desired,
                        PGENERIC_MAPPING mapping,
                        PPRIVILEGE_SET privileges,
                        LPDWORD privileges_length,
                        LPDWORD granted,
                        LPBOOL status);

// The registry. Registry calls return their code and leave the last error alone.
LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM access, PHKEY result);
LSTATUS WINAPI RegCreateKeyExW(HKEY key,
                               LPCWSTR subkey,
                               DWORD reserved,
                               LPWSTR key_class,
                               DWORD options,
                               REGSAM access,
                               LPSECURITY_ATTRIBUTES security,
                               PHKEY result,
                               LPDWORD disposition);
LSTATUS WINAPI RegCloseKey(HKEY key);
LSTATUS WINAPI RegEnumKeyExW(HKEY key,
                             DWORD index,
                             LPWSTR name,
                             LPDWORD name_size,
                             LPDWORD reserved,
                             LPWSTR class_name,
                             LPDWORD class_size,
                             PFILETIME last_write);
LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subkey);
LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name);
LSTATUS WINAPI RegGetKeySecurity(HKEY key,
                                 SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor,
                                 LPDWORD length);
LSTATUS WINAPI RegSetKeySecurity(HKEY key,
                                 SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor);
LSTATUS WINAPI RegQueryValueExW(HKEY key,
                                LPCWSTR name,
                                LPDWORD reserved,
                                LPDWORD type,
                                LPBYTE data,
                                LPDWORD length);
LSTATUS WINAPI
RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD length);
// The ANSI forms: names and string data in the ANSI code page. RegOpenKeyA and RegCreateKeyA
// ask for MAXIMUM_ALLOWED; RegEnumKeyA takes the size of its buffer in characters.
LSTATUS WINAPI RegOpenKeyA(HKEY key, LPCSTR subkey, PHKEY result);
LSTATUS WINAPI RegCreateKeyA(HKEY key, LPCSTR subkey, PHKEY result);
LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subkey);
LSTATUS WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD name_size);
LSTATUS WINAPI RegQueryValueExA(HKEY key,
                                LPCSTR name,
                                LPDWORD reserved,
                                LPDWORD type,
                                LPBYTE data,
                                LPDWORD length);
LSTATUS WINAPI
RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD length);

// Authz (authz.h): access checks for a client context made from any account's SID.
struct AUTHZ_ACCESS_CHECK_RESULTS_HANDLE__ {
  int unused;
};
struct AUTHZ_CLIENT_CONTEXT_HANDLE__ {
  int unused;
};
struct AUTHZ_RESOURCE_MANAGER_HANDLE__ {
  int unused;
};
struct AUTHZ_AUDIT_EVENT_HANDLE__ {
  int unused;
};
typedef AUTHZ_ACCESS_CHECK_RESULTS_HANDLE__* AUTHZ_ACCESS_CHECK_RESULTS_HANDLE;
typedef AUTHZ_CLIENT_CONTEXT_HANDLE__* AUTHZ_CLIENT_CONTEXT_HANDLE;
typedef AUTHZ_RESOURCE_MANAGER_HANDLE__* AUTHZ_RESOURCE_MANAGER_HANDLE;
typedef AUTHZ_AUDIT_EVENT_HANDLE__* AUTHZ_AUDIT_EVENT_HANDLE;
typedef AUTHZ_ACCESS_CHECK_RESULTS_HANDLE* PAUTHZ_ACCESS_CHECK_RESULTS_HANDLE;
typedef AUTHZ_CLIENT_CONTEXT_HANDLE* PAUTHZ_CLIENT_CONTEXT_HANDLE;
typedef AUTHZ_RESOURCE_MANAGER_HANDLE* PAUTHZ_RESOURCE_MANAGER_HANDLE;

#define AUTHZ_SKIP_TOKEN_GROUPS 0x2
#define AUTHZ_REQUIRE_S4U_LOGON 0x4
#define AUTHZ_COMPUTE_PRIVILEGES 0x8
#define AUTHZ_ACCESS_CHECK_NO_DEEP_COPY_SD 0x1
#define AUTHZ_RM_FLAG_NO_AUDIT 0x1
#define AUTHZ_RM_FLAG_INITIALIZE_UNDER_IMPERSONATION 0x2
#define AUTHZ_RM_FLAG_NO_CENTRAL_ACCESS_POLICIES 0x4
#define AUTHZ_VALID_RM_INIT_FLAGS                                          \
  (AUTHZ_RM_FLAG_NO_AUDIT | AUTHZ_RM_FLAG_INITIALIZE_UNDER_IMPERSONATION | \
   AUTHZ_RM_FLAG_NO_CENTRAL_ACCESS_POLICIES)

typedef struct _OBJECT_TYPE_LIST {
  WORD Level;
  WORD Sbz;
  GUID* ObjectType;
} OBJECT_TYPE_LIST, *POBJECT_TYPE_LIST;

typedef ACCESS_MASK* PACCESS_MASK;

typedef struct _AUTHZ_ACCESS_REQUEST {
  ACCESS_MASK DesiredAccess;
  PSID PrincipalSelfSid;
  POBJECT_TYPE_LIST ObjectTypeList;
  DWORD ObjectTypeListLength;
  PVOID OptionalArguments;
} AUTHZ_ACCESS_REQUEST, *PAUTHZ_ACCESS_REQUEST;
static_assert(offsetof(AUTHZ_ACCESS_REQUEST, PrincipalSelfSid) == sizeof(void*));
static_assert(sizeof(AUTHZ_ACCESS_REQUEST) == 5 * sizeof(void*));

typedef struct _AUTHZ_ACCESS_REPLY {
  DWORD ResultListLength;
  PACCESS_MASK GrantedAccessMask;
  PDWORD SaclEvaluationResults;
  PDWORD Error;
} AUTHZ_ACCESS_REPLY, *PAUTHZ_ACCESS_REPLY;
static_assert(offsetof(AUTHZ_ACCESS_REPLY, GrantedAccessMask) == sizeof(void*));
static_assert(sizeof(AUTHZ_ACCESS_REPLY) == 4 * sizeof(void*));

typedef BOOL(WINAPI* PFN_AUTHZ_DYNAMIC_ACCESS_CHECK)(AUTHZ_CLIENT_CONTEXT_HANDLE context,
                                                     PACE_HEADER ace,
                                                     PVOID arguments,
                                                     PBOOL applicable);
typedef BOOL(WINAPI* PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS)(AUTHZ_CLIENT_CONTEXT_HANDLE context,
                                                       PVOID arguments,
                                                       PSID_AND_ATTRIBUTES* sids,
                                                       PDWORD sid_count,
                                                       PSID_AND_ATTRIBUTES* restricted_sids,
                                                       PDWORD restricted_count);
typedef void(WINAPI* PFN_AUTHZ_FREE_DYNAMIC_GROUPS)(PSID_AND_ATTRIBUTES sids);

typedef enum _AUTHZ_CONTEXT_INFORMATION_CLASS {
  AuthzContextInfoUserSid = 1,
  AuthzContextInfoGroupsSids,
  AuthzContextInfoRestrictedSids,
  AuthzContextInfoPrivileges,
} AUTHZ_CONTEXT_INFORMATION_CLASS;

BOOL WINAPI AuthzInitializeResourceManager(DWORD flags,
                                           PFN_AUTHZ_DYNAMIC_ACCESS_CHECK dynamic_access_check,
                                           PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS compute_dynamic_groups,
                                           PFN_AUTHZ_FREE_DYNAMIC_GROUPS free_dynamic_groups,
                                           PCWSTR name,
                                           PAUTHZ_RESOURCE_MANAGER_HANDLE manager);
BOOL WINAPI AuthzFreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE manager);
BOOL WINAPI AuthzInitializeContextFromSid(DWORD flags,
                                          PSID user,
                                          AUTHZ_RESOURCE_MANAGER_HANDLE manager,
                                          PLARGE_INTEGER expiration,
                                          LUID identifier,
                                          PVOID dynamic_group_arguments,
                                          PAUTHZ_CLIENT_CONTEXT_HANDLE context);
BOOL WINAPI AuthzGetInformationFromContext(AUTHZ_CLIENT_CONTEXT_HANDLE context,
                                           AUTHZ_CONTEXT_INFORMATION_CLASS info_class,
                                           DWORD size,
                                           PDWORD size_required,
                                           PVOID buffer);
BOOL WINAPI AuthzFreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE context);
BOOL WINAPI AuthzAccessCheck(DWORD flags,
                             AUTHZ_CLIENT_CONTEXT_HANDLE context,
                             PAUTHZ_ACCESS_REQUEST request,
                             AUTHZ_AUDIT_EVENT_HANDLE audit_event,
                             PSECURITY_DESCRIPTOR descriptor,
                             PSECURITY_DESCRIPTOR* optional_descriptors,
                             DWORD optional_descriptor_count,
                             PAUTHZ_ACCESS_REPLY reply,
                             PAUTHZ_ACCESS_CHECK_RESULTS_HANDLE results);
BOOL WINAPI AuthzFreeHandle(AUTHZ_ACCESS_CHECK_RESULTS_HANDLE results);

// Memory and messages.
HLOCAL WINAPI LocalAlloc(DWORD flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);
DWORD WINAPI FormatMessageA(DWORD flags,
                            LPCVOID source,
                            DWORD message_id,
                            DWORD language_id,
                            LPSTR buffer,
                            DWORD size,
                            va_list* arguments);
DWORD WINAPI FormatMessageW(DWORD flags,
                            LPCVOID source,
                            DWORD message_id,
                            DWORD language_id,
                            LPWSTR buffer,
                            DWORD size,
                            va_list* arguments);
void WINAPI OutputDebugStringA(LPCSTR text);
void WINAPI OutputDebugStringW(LPCWSTR text);

// C runtime.
int _wcsicmp(const wchar_t* a, const wchar_t* b);

}  // extern "C"
