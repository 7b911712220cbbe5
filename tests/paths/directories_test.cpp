#include "test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <filesystem>

#include "paths/paths.h"

namespace {

// The table is process-wide; each test starts from an empty one.
class Directories : public testing::Test {
protected:
    void SetUp() override { forgetKnownDirectories(); }
    void TearDown() override { forgetKnownDirectories(); }

    static void forgetKnownDirectories()
    {
        for (int i = 0; i < knownDirectoryCount; ++i) free(knownDirectories[i]);
        knownDirectoryCount = 0;
    }

    static std::vector<std::wstring> table()
    {
        return std::vector<std::wstring>(knownDirectories, knownDirectories + knownDirectoryCount);
    }

    static std::wstring home()
    {
        wchar_t path[MAX_PATH];
        SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, path);
        return path;
    }

    ScratchDirectory scratch;
};

TEST_F(Directories, KnownDirectoriesAnswerWithoutAskingTheFileSystem)
{
    const std::wstring directory = scratch.path() + L"\\made";
    EXPECT_TRUE(ensureDirectory(directory.c_str()));
    EXPECT_TRUE(isDirectory(directory));
    // The home folder is only asked for when a path needs it.
    EXPECT_EQ(table(), (std::vector<std::wstring>{directory}));

    // Known paths and bare drives answer without asking the file system.
    EXPECT_TRUE(ensureDirectory(home().c_str()));
    EXPECT_EQ(table(), (std::vector<std::wstring>{directory, home()}));
    EXPECT_TRUE(ensureDirectory(L"C:"));
    EXPECT_TRUE(ensureDirectory(L"Q:"));
    EXPECT_EQ(knownDirectoryCount, 2);
    RemoveDirectoryW(directory.c_str());
    EXPECT_TRUE(ensureDirectory(directory.c_str()));
    EXPECT_FALSE(isDirectory(directory)) << "a recorded directory must not be created again";
}

TEST_F(Directories, ComparisonIsExactTextSoOtherCaseCostsAnEntry)
{
    const std::wstring directory = scratch.path() + L"\\Mixed";
    ASSERT_TRUE(ensureDirectory(directory.c_str()));
    std::wstring upper = directory;
    for (wchar_t& c : upper) c = towupper(c);
    EXPECT_TRUE(ensureDirectory(upper.c_str()));
    EXPECT_EQ(knownDirectoryCount, 2);
}

TEST_F(Directories, MissingParentFailsAndRecordsNothing)
{
    const std::wstring orphan = scratch.path() + L"\\absent\\child";
    EXPECT_FALSE(ensureDirectory(orphan.c_str()));
    EXPECT_EQ(table(), std::vector<std::wstring>{});
}

TEST_F(Directories, ParentsAreMadeUpToTheFirstExistingAncestorOnly)
{
    const std::wstring file = scratch.path() + L"\\a\\b\\c";
    ensureParentDirectories(file.c_str());
    EXPECT_TRUE(isDirectory(scratch.path() + L"\\a\\b"));
    EXPECT_FALSE(pathExists(file));
    // "a" could be created at once, so the walk went no higher: the scratch
    // directory and everything above it were never asked for.
    EXPECT_EQ(table(), (std::vector<std::wstring>{scratch.path() + L"\\a", scratch.path() + L"\\a\\b"}));
}

TEST_F(Directories, PathsWithoutAnInnerSeparatorAreLeftAlone)
{
    ensureParentDirectories(L"noseparator");
    ensureParentDirectories(L"\\rooted");
    EXPECT_EQ(knownDirectoryCount, 0);
}

TEST_F(Directories, DeepTreeDoesNotExhaustTheStack)
{
    std::wstring deep = scratch.path();
    for (int i = 0; i < 400; ++i) deep += L"\\d";
    ensureParentDirectories((deep + L"\\file").c_str());
    EXPECT_TRUE(isDirectory(deep));
}

TEST_F(Directories, FullTableStillCreatesAndReportsSuccess)
{
    ensureDirectory(L"C:");
    while (knownDirectoryCount < knownDirectoriesCapacity) {
        knownDirectories[knownDirectoryCount++] = _wcsdup(L"Z:\\placeholder");
    }
    const std::wstring directory = scratch.path() + L"\\late";
    EXPECT_TRUE(ensureDirectory(directory.c_str()));
    EXPECT_TRUE(isDirectory(directory));
    EXPECT_EQ(knownDirectoryCount, knownDirectoriesCapacity);
}

TEST_F(Directories, WorkingCopyBoundIsEnforced)
{
    const std::wstring almost = L"C:\\" + std::wstring(4092, L'x');
    ASSERT_EQ(almost.size(), 4095u);
    const ProcessResult fits = runProbe({L"ensure-parents", almost});
    EXPECT_EQ(fits.exitCode, 0u) << fits.err;
    const ProcessResult tooLong = runProbe({L"ensure-parents", almost + L"y"});
    EXPECT_EQ(tooLong.exitCode, 2u);
    EXPECT_EQ(tooLong.err, "Error, a directory path does not fit in 4096 characters.\r\n");
}

}  // namespace

namespace {

// The DACL every created directory gets, read from the descriptor itself:
// Wine rebuilds a DACL read back from the file system out of Unix mode
// bits, which would prove nothing. Protected, and full access for exactly
// the current user, SYSTEM and the Administrators.
TEST(PrivateAccess, DescriptorGrantsOnlyTheUserSystemAndAdministrators)
{
    const SECURITY_ATTRIBUTES* const attributes = privateDirectoryAttributes();
    ASSERT_NE(attributes, nullptr);
    ASSERT_FALSE(attributes->bInheritHandle);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(attributes->lpSecurityDescriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherited entries of a shared parent would apply";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr) << "a null DACL grants everyone everything";

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<unsigned char> user(256);
    DWORD length = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &length));
    CloseHandle(token);
    unsigned char system[SECURITY_MAX_SID_SIZE], administrators[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof system, administratorsSize = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize));
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize));
    const PSID expected[] = {reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, system, administrators};

    ASSERT_EQ(dacl->AceCount, 3u);
    bool granted[3] = {};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &entry));
        const ACCESS_ALLOWED_ACE* const ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace->Mask & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS)) << i;
        const PSID sid = const_cast<DWORD*>(&ace->SidStart);
        bool known = false;
        for (int k = 0; k < 3; ++k) {
            if (EqualSid(sid, expected[k])) known = granted[k] = true;
        }
        EXPECT_TRUE(known) << "entry " << i << " grants someone else";
    }
    EXPECT_TRUE(granted[0] && granted[1] && granted[2]);
}

}  // namespace
