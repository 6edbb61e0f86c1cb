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
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_BAD_NETPATH 53L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_NO_TOKEN 1008L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_REVISION_MISMATCH 1306L
#define ERROR_INVALID_OWNER 1307L
#define ERROR_NO_IMPERSONATION_TOKEN 1309L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_ACL 1336L
#define ERROR_INVALID_SID 1337L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_ALLOTTED_SPACE_EXCEEDED 1344L
#define ERROR_BAD_IMPERSONATION_LEVEL 1346L
#define ERROR_CANT_OPEN_ANONYMOUS 1347L
#define ERROR_BAD_DESCRIPTOR_FORMAT 1361L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define ERROR_GENERIC_NOT_MAPPED 1798L
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
  TokenElevation
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
BOOL WINAPI CloseHandle(HANDLE handle);

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
