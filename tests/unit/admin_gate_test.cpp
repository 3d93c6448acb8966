// The administrator test behind the gate: which tokens count, and that every
// failure answers "not an administrator" without leaking the token or buffer.
#include "app/entry.h"
#include "base/platform.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

namespace {

PSID MakeSid(BYTE authority, std::vector<DWORD> rids)
{
    SID_IDENTIFIER_AUTHORITY id = {{0, 0, 0, 0, 0, authority}};
    rids.resize(8, 0);
    PSID sid = nullptr;
    AllocateAndInitializeSid(&id, static_cast<BYTE>(rids.size() > 2 ? 2 : rids.size()), rids[0], rids[1], 0, 0, 0, 0,
                             0, 0, &sid);
    return sid;
}

struct TokenFake {
    std::vector<std::pair<PSID, DWORD>> groups;  // SID and attributes
    DWORD demandSize = 0;                          // answer 122 below this buffer size
    DWORD failWith = 0;                            // fail every query with this error
    int queries = 0;
    int mallocs = 0, frees = 0, opens = 0, closes = 0;
    bool failMalloc = false, failOpen = false, failSid = false;
};
TokenFake g_token;

BOOL WINAPI FakeTokenGroups(HANDLE, TOKEN_INFORMATION_CLASS cls, LPVOID buffer, DWORD size, PDWORD needed)
{
    ++g_token.queries;
    if (cls != TokenGroups || g_token.failWith != 0) {
        SetLastError(g_token.failWith != 0 ? g_token.failWith : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD count = static_cast<DWORD>(g_token.groups.size());
    DWORD total = sizeof(TOKEN_GROUPS) + count * sizeof(SID_AND_ATTRIBUTES);
    for (auto &group : g_token.groups)
        total += GetLengthSid(group.first);
    if (total < g_token.demandSize)
        total = g_token.demandSize;
    *needed = total;
    if (size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    TOKEN_GROUPS *list = static_cast<TOKEN_GROUPS *>(buffer);
    BYTE *sidSpace = static_cast<BYTE *>(buffer) + sizeof(TOKEN_GROUPS) + count * sizeof(SID_AND_ATTRIBUTES);
    list->GroupCount = count;
    for (DWORD i = 0; i < count; ++i) {
        DWORD length = GetLengthSid(g_token.groups[i].first);
        memcpy(sidSpace, g_token.groups[i].first, length);
        list->Groups[i].Sid = sidSpace;
        list->Groups[i].Attributes = g_token.groups[i].second;
        sidSpace += length;
    }
    return TRUE;
}

void *__cdecl CountingMalloc(size_t size)
{
    if (g_token.failMalloc)
        return nullptr;
    ++g_token.mallocs;
    return malloc(size);
}

void __cdecl CountingFree(void *block)
{
    if (block != nullptr)
        ++g_token.frees;
    free(block);
}

BOOL WINAPI FakeOpenToken(HANDLE process, DWORD access, PHANDLE token)
{
    if (g_token.failOpen) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ++g_token.opens;
    return OpenProcessToken(process, access, token);
}

BOOL WINAPI CountingClose(HANDLE handle)
{
    ++g_token.closes;
    return CloseHandle(handle);
}

BOOL WINAPI FakeAllocateSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a, DWORD b, DWORD c, DWORD d,
                            DWORD e, DWORD f, DWORD g, DWORD h, PSID *sid)
{
    if (g_token.failSid) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return AllocateAndInitializeSid(authority, count, a, b, c, d, e, f, g, h, sid);
}

class AdminGateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_token = TokenFake();
        admins_ = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
        users_ = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
        everyone_ = MakeSid(1, {SECURITY_WORLD_RID});
    }
    void TearDown() override
    {
        FreeSid(admins_);
        FreeSid(users_);
        FreeSid(everyone_);
        // Whatever happened, the buffers and the token were given back.
        EXPECT_EQ(g_token.mallocs, g_token.frees);
        EXPECT_EQ(g_token.opens, g_token.closes);
    }

    PSID admins_, users_, everyone_;
    ScopedSysCall<decltype(sys::GetTokenInformation)> query_{sys::GetTokenInformation, FakeTokenGroups};
    ScopedSysCall<decltype(sys::malloc)> malloc_{sys::malloc, CountingMalloc};
    ScopedSysCall<decltype(sys::free)> free_{sys::free, CountingFree};
    ScopedSysCall<decltype(sys::OpenProcessToken)> open_{sys::OpenProcessToken, FakeOpenToken};
    ScopedSysCall<decltype(sys::CloseHandle)> close_{sys::CloseHandle, CountingClose};
    ScopedSysCall<decltype(sys::AllocateAndInitializeSid)> sid_{sys::AllocateAndInitializeSid, FakeAllocateSid};
};

TEST_F(AdminGateTest, AnEnabledAdministratorsGroupCounts)
{
    g_token.groups = {{everyone_, SE_GROUP_ENABLED | SE_GROUP_MANDATORY},
                      {admins_, SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY | SE_GROUP_OWNER}};
    EXPECT_EQ(IsUserAdmin(), 1);
}

TEST_F(AdminGateTest, ADenyOnlyOrDisabledAdministratorsGroupDoesNotCount)
{
    // An unelevated administrator under user account control.
    g_token.groups = {{everyone_, SE_GROUP_ENABLED}, {admins_, SE_GROUP_USE_FOR_DENY_ONLY}};
    EXPECT_EQ(IsUserAdmin(), 0);
    g_token.groups = {{admins_, SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY}};
    EXPECT_EQ(IsUserAdmin(), 0);
    g_token.groups = {{admins_, 0}};
    EXPECT_EQ(IsUserAdmin(), 0);
}

TEST_F(AdminGateTest, OtherGroupsDoNotCount)
{
    g_token.groups = {{everyone_, SE_GROUP_ENABLED}, {users_, SE_GROUP_ENABLED}};
    EXPECT_EQ(IsUserAdmin(), 0);
}

TEST_F(AdminGateTest, AGroupListLargerThanTheFirstBufferIsQueriedAgain)
{
    g_token.groups = {{everyone_, SE_GROUP_ENABLED}, {admins_, SE_GROUP_ENABLED}};
    g_token.demandSize = 4096;
    EXPECT_EQ(IsUserAdmin(), 1);
    EXPECT_EQ(g_token.queries, 2);
}

TEST_F(AdminGateTest, EveryFailureAnswersNotAnAdministrator)
{
    g_token.groups = {{admins_, SE_GROUP_ENABLED}};
    g_token.failWith = ERROR_ACCESS_DENIED;
    EXPECT_EQ(IsUserAdmin(), 0);
    EXPECT_EQ(g_token.queries, 1);
}

TEST_F(AdminGateTest, ATokenThatCannotBeOpenedAnswersNo)
{
    g_token.groups = {{admins_, SE_GROUP_ENABLED}};
    g_token.failOpen = true;
    EXPECT_EQ(IsUserAdmin(), 0);
}

TEST_F(AdminGateTest, NoMemoryAnswersNo)
{
    g_token.groups = {{admins_, SE_GROUP_ENABLED}};
    g_token.failMalloc = true;
    EXPECT_EQ(IsUserAdmin(), 0);
}

TEST_F(AdminGateTest, TheSecondBufferMissingAnswersNo)
{
    g_token.groups = {{admins_, SE_GROUP_ENABLED}};
    g_token.demandSize = 4096;
    struct FailSecond {
        static void *__cdecl Malloc(size_t size)
        {
            if (g_token.mallocs >= 1)
                return nullptr;
            return CountingMalloc(size);
        }
    };
    ScopedSysCall<decltype(sys::malloc)> secondFails(sys::malloc, FailSecond::Malloc);
    EXPECT_EQ(IsUserAdmin(), 0);
    EXPECT_EQ(g_token.queries, 1);
}

TEST_F(AdminGateTest, AnAdministratorsSidThatCannotBeBuiltAnswersNo)
{
    g_token.groups = {{admins_, SE_GROUP_ENABLED}};
    g_token.failSid = true;
    EXPECT_EQ(IsUserAdmin(), 0);
}

TEST(AdminGateUnderWineTest, WinesUserIsAnAdministrator)
{
    EXPECT_EQ(IsUserAdmin(), 1);
}

}  // namespace
