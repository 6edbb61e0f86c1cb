// Contract of the stand-in's system messages (FormatMessageA/W) and its debugger channel.
#include <string>
#include <vector>

#include "tests/standin_contract.h"

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kAllocate = kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER;
constexpr DWORD kUnknownCode = 0x12345;

class standin_message : public StandinTest {};

// The texts of codes that the system reports, as Windows words them.
struct Text {
  DWORD code;
  const wchar_t* text;
};
const Text kTexts[] = {
    {ERROR_SUCCESS, L"The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, L"Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, L"The handle is invalid.\r\n"},
    {ERROR_INVALID_PARAMETER, L"The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small.\r\n"},
    {ERROR_MORE_DATA, L"More data is available.\r\n"},
    {ERROR_NO_TOKEN, L"An attempt was made to reference a token that does not exist.\r\n"},
    {ERROR_NONE_MAPPED, L"No mapping between account names and security IDs was done.\r\n"},
    {ERROR_INVALID_SID, L"The security ID structure is invalid.\r\n"},
    // By number, as Windows numbers it: the macro alone could drift with the text.
    {1360,
     L"Generic access types were contained in an access mask which should already be mapped to "
     L"nongeneric types.\r\n"},
    {RPC_S_SERVER_UNAVAILABLE, L"The RPC server is unavailable.\r\n"},
    {NERR_GroupNotFound, L"The group name could not be found.\r\n"},
    {NERR_DCNotFound, L"Could not find domain controller for this domain.\r\n"},
};

std::wstring MessageW(DWORD code) {
  LPWSTR text = nullptr;
  const DWORD length =
      FormatMessageW(kAllocate, nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (!length)
    return L"(none)";
  std::wstring result(text);
  EXPECT_EQ(length, result.size());
  LocalFree(text);
  return result;
}

TEST_F(standin_message, AllocatedTextsOfBothForms) {
  for (const auto& t : kTexts) {
    SCOPED_TRACE(t.code);
    const std::wstring expected(t.text);
    EXPECT_EQ(MessageW(t.code), expected);

    LPSTR narrow = nullptr;
    const DWORD length =
        FormatMessageA(kAllocate, nullptr, t.code, 0, reinterpret_cast<LPSTR>(&narrow), 0, nullptr);
    ASSERT_EQ(length, expected.size());
    EXPECT_EQ(std::string(narrow), std::string(expected.begin(), expected.end()));
    EXPECT_EQ(standin::LiveResourcesNow().local_buffers, 1u);
    EXPECT_EQ(LocalFree(narrow), nullptr);
  }
}

TEST_F(standin_message, AllocatedFormTakesSizeAsAMinimum) {
  LPWSTR text = nullptr;
  EXPECT_EQ(FormatMessageW(kAllocate, nullptr, ERROR_ACCESS_DENIED, 0,
                           reinterpret_cast<LPWSTR>(&text), 1000, nullptr),
            19u);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::wstring(text), L"Access is denied.\r\n");
  LocalFree(text);
}

TEST_F(standin_message, FixedBufferMustHoldTheTerminator) {
  // "Access is denied.\r\n" is 19 characters.
  std::vector<char> narrow(32, 'x');
  SetLastError(kSentinelError);
  EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, narrow.data(), 20, nullptr),
            19u);
  EXPECT_EQ(std::string(narrow.data()), "Access is denied.\r\n");
  EXPECT_EQ(narrow[20], 'x') << "wrote past the text";

  for (DWORD size : {0u, 1u, 19u}) {
    SCOPED_TRACE(size);
    std::vector<char> out(32, 'x');
    SetLastError(kSentinelError);
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, out.data(), size, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(32, 'x'));

    // The wide form fails the same way (Windows may leave a truncated text behind).
    std::vector<wchar_t> wide(32, L'x');
    SetLastError(kSentinelError);
    EXPECT_EQ(FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, wide.data(), size, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  }

  std::vector<wchar_t> wide(32, L'x');
  EXPECT_EQ(FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, wide.data(), 20, nullptr),
            19u);
  EXPECT_EQ(std::wstring(wide.data()), L"Access is denied.\r\n");
}

TEST_F(standin_message, UnknownCodeHasNoText) {
  std::vector<wchar_t> out(64, L'x');
  SetLastError(kSentinelError);
  EXPECT_EQ(FormatMessageW(kSystem, nullptr, kUnknownCode, 0, out.data(), 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(std::wstring(out.begin(), out.end()), std::wstring(64, L'x'));

  // The allocating form clears the caller's pointer when it fails.
  LPWSTR wide = reinterpret_cast<LPWSTR>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_EQ(FormatMessageW(kAllocate, nullptr, kUnknownCode, 0, reinterpret_cast<LPWSTR>(&wide), 0,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(wide, nullptr);

  LPSTR narrow = reinterpret_cast<LPSTR>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_EQ(FormatMessageA(kAllocate, nullptr, kUnknownCode, 0, reinterpret_cast<LPSTR>(&narrow), 0,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(narrow, nullptr);
}

TEST_F(standin_message, LanguagesOtherThanEnglishAreNotFound) {
  struct Case {
    DWORD language;
    DWORD error;  // 0: found
  };
  const Case cases[] = {
      {0, 0},
      {MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), 0},
      {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), 0},
      {MAKELANGID(0x07, 0x01), ERROR_RESOURCE_LANG_NOT_FOUND},  // German
      {MAKELANGID(0x0c, 0x01), ERROR_RESOURCE_LANG_NOT_FOUND},  // French
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    wchar_t out[64];
    SetLastError(kSentinelError);
    const DWORD length =
        FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, c.language, out, 64, nullptr);
    if (c.error == 0) {
      EXPECT_EQ(length, 19u);
    } else {
      EXPECT_EQ(length, 0u);
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}

TEST_F(standin_message, OnlySystemMessagesAreLookedUp) {
  wchar_t out[64] = L"untouched";
  SetLastError(kSentinelError);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED, 0, out, 64,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(std::wstring(out), L"untouched");
}

TEST_F(standin_message, ProfileReplacesAndRemovesTexts) {
  InstallProfile(R"({"messages": {
    "5": "Zugriff verweigert\r\n",
    "2220": null,
    "70000": "A code of our own.\r\n"
  }})");
  EXPECT_EQ(MessageW(ERROR_ACCESS_DENIED), L"Zugriff verweigert\r\n");
  EXPECT_EQ(MessageW(70000), L"A code of our own.\r\n");
  EXPECT_EQ(MessageW(ERROR_FILE_NOT_FOUND), L"The system cannot find the file specified.\r\n");

  LPWSTR text = reinterpret_cast<LPWSTR>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_EQ(FormatMessageW(kAllocate, nullptr, NERR_GroupNotFound, 0,
                           reinterpret_cast<LPWSTR>(&text), 0, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

  // Texts belong to the machine: the next one has the built-in texts again.
  InstallProfile("{}");
  EXPECT_EQ(MessageW(ERROR_ACCESS_DENIED), L"Access is denied.\r\n");
  EXPECT_EQ(MessageW(NERR_GroupNotFound), L"The group name could not be found.\r\n");
}

TEST_F(standin_message, NonAsciiTextsReachTheNarrowFormAsUtf8) {
  InstallProfile(R"({"messages": {"5": "Zugriff f\u00fcr Gr\u00fcn verweigert.\r\n"}})");
  EXPECT_EQ(MessageW(ERROR_ACCESS_DENIED), L"Zugriff f\u00fcr Gr\u00fcn verweigert.\r\n");
  LPSTR narrow = nullptr;
  const DWORD length = FormatMessageA(kAllocate, nullptr, ERROR_ACCESS_DENIED, 0,
                                      reinterpret_cast<LPSTR>(&narrow), 0, nullptr);
  ASSERT_NE(narrow, nullptr);
  const std::string expected = "Zugriff f\xc3\xbcr Gr\xc3\xbcn verweigert.\r\n";
  EXPECT_EQ(std::string(narrow), expected);
  EXPECT_EQ(length, expected.size());
  LocalFree(narrow);
}

TEST_F(standin_message, DebuggerChannelKeepsTextsAsGiven) {
  OutputDebugStringA("first line\n");
  OutputDebugStringW(L"gr\u00fc\u00dfe ");
  OutputDebugStringA(nullptr);
  OutputDebugStringW(L"");
  EXPECT_EQ(standin::DebuggerTexts(), (std::vector<std::string>{"first line\n",
                                                                "gr\xc3\xbc\xc3\x9f"
                                                                "e ",
                                                                ""}));
}

}  // namespace
