// What the stand-in's SID calls do beyond the portable contract: aliases relative to the
// machine's own domain, and the platform buffers they hand out, counted.
#include <string>
#include <vector>

#include "tests/standin_contract.h"

namespace {

class standin_sid : public StandinTest {
 protected:
  std::string_view Profile() const override {
    return R"({"computer": "WS01", "machine_sid": "S-1-5-21-111-222-333"})";
  }
};

TEST_F(standin_sid, MachineRelativeAliasesUseTheMachinesDomain) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"LA", L"S-1-5-21-111-222-333-500"},
      {L"LG", L"S-1-5-21-111-222-333-501"},
  };
  for (const auto& [alias, expected] : cases) {
    const auto sid = SidBytes(alias);
    ASSERT_EQ(sid.size(), 28u);
    EXPECT_EQ(SidText(const_cast<BYTE*>(sid.data())), expected);
    std::vector<char> narrow(alias, alias + wcslen(alias) + 1);
    PSID ansi = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA(narrow.data(), &ansi));
    EXPECT_EQ(SidText(ansi), expected);
    LocalFree(ansi);
  }
}

TEST_F(standin_sid, BuffersAreCountedUntilReleased) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(standin::LiveResourcesNow().sids, 1u);
  LPSTR text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidA(sid, &text));
  EXPECT_EQ(std::string(text), "S-1-5-18");
  EXPECT_EQ(standin::LiveResourcesNow().local_buffers, 1u);
  EXPECT_EQ(LocalFree(text), nullptr);
  EXPECT_EQ(FreeSid(sid), nullptr);

  PSID refused = reinterpret_cast<PSID>(0x1234);
  EXPECT_FALSE(ConvertStringSidToSidW(L"S-1-5-x", &refused));
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u) << "a refused string left a buffer";
}

TEST_F(standin_sid, FreeSidReleasesOnlyAllocatedSids) {
  std::vector<BYTE> stack_sid = {1, 1, 0, 0, 0, 0, 0, 5, 1, 0, 0, 0};
  EXPECT_EQ(FreeSid(stack_sid.data()), stack_sid.data()) << "a SID it did not allocate";
  EXPECT_EQ(FreeSid(nullptr), nullptr);
}

}  // namespace
