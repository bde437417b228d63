// The Windows file layer: names in any script and of any length, hidden
// files, and targets that must not be replaced.
#include <windows.h>

#include "engine/patch_applier.h"
#include "engine/patch_maker.h"
#include "host/system_files.h"
#include "host/win32_text.h"
#include "test_support.h"

namespace zelk::test {
namespace {

using Win32HostTest = FileTest;

TEST_F(Win32HostTest, NamesInAnyScriptAndOfAnyLengthWork) {
    // Folders named in Cyrillic, Japanese and emoji, nested past 260 characters.
    std::wstring folder = L"\\\\?\\" + dir_.wstring();
    for (const wchar_t* name : {L"Русский", L"日本語のフォルダ", L"\U0001F3AE emoji", L"long-folder-name-0123456789-abcdefghij",
                                L"long-folder-name-0123456789-abcdefghij", L"long-folder-name-0123456789-abcdefghij",
                                L"long-folder-name-0123456789-abcdefghij", L"long-folder-name-0123456789-abcdefghij"}) {
        folder += L"\\";
        folder += name;
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError() << " " << ToUtf8(folder);
    }
    const std::string inside = ToUtf8(folder.substr(4)) + "\\";  // as a user types it, without \\?\ .
    ASSERT_GT(inside.size(), 260u);
    const Bytes original = Random(5000, 1);
    Bytes changed = original;
    changed[7] ^= 1;
    changed.push_back(9);
    // The inputs go in through the host, which is the point of the test.
    Write("a.rom", original);
    Write("b.rom", changed);
    ASSERT_EQ(MakePatch(host_, Path("a.rom"), Path("b.rom"), inside + "патч 🎮.ppp", "c"), Outcome::Done)
        << host_.messages.back().text;
    ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), inside + "патч 🎮.ppp", inside + "выход.rom"), Outcome::Done)
        << host_.messages.back().text;
    auto result = host_.OpenInput(inside + "выход.rom");
    Bytes bytes(static_cast<std::size_t>(result->Size()));
    result->ReadExactly(0, bytes);
    EXPECT_EQ(bytes, changed);
    EXPECT_TRUE(host_.FileExists(inside + "выход.rom"));
    EXPECT_FALSE(host_.FileExists(inside));
    result.reset();
    // Too deep for the test's own clean-up: taken apart here, inside out.
    for (const wchar_t* name : {L"\\выход.rom", L"\\патч \U0001F3AE.ppp"}) EXPECT_TRUE(DeleteFileW((folder + name).c_str()));
    for (; folder.size() > 4 + dir_.wstring().size(); folder.resize(folder.find_last_of(L'\\')))
        EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << ToUtf8(folder);
}

TEST_F(Win32HostTest, HiddenAndSystemFilesExist) {
    const auto original = Write("a.rom", {1, 2});
    const auto hidden = Write("hidden.rom", {1, 3});
    ASSERT_TRUE(SetFileAttributesW(FromUtf8(hidden).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_TRUE(host_.FileExists(hidden));
    EXPECT_EQ(MakePatch(host_, original, hidden, Path("p.ppp"), ""), Outcome::Done);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({{1, {3}}}, ""));
    EXPECT_FALSE(host_.FileExists("NUL"));
    EXPECT_FALSE(host_.FileExists(dir_.string()));
}

TEST_F(Win32HostTest, TargetsThatAreNoFilesOrLockedAreLeftAlone) {
    const auto original = Write("a.rom", {1, 2});
    const auto patch = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    const auto readOnly = Write("read-only.rom", Text("old"));
    ASSERT_TRUE(SetFileAttributesW(FromUtf8(readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
    const auto locked = Write("locked.rom", Text("old"));
    const HANDLE holder = CreateFileW(FromUtf8(locked).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::filesystem::create_directory(dir_ / "folder");
    for (const std::string& target : {readOnly, locked, Path("folder"), std::string("NUL"), std::string("CON"),
                                      Path("nul.txt"), Path("folder\\COM1")}) {
        for (const bool apply : {true, false}) {
            host_.messages.clear();
            const Outcome outcome = apply ? ApplyPatch(host_, original, patch, target)
                                          : MakePatch(host_, original, original, target, "");
            EXPECT_EQ(outcome, Outcome::Stopped) << target;
            ASSERT_EQ(host_.messages.size(), 1u) << target;
            EXPECT_TRUE(CannotWrite(host_.messages[0], target, "")) << target;
        }
    }
    CloseHandle(holder);
    EXPECT_EQ(Read("read-only.rom"), Text("old"));
    EXPECT_EQ(Read("locked.rom"), Text("old"));
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "folder"));
    EXPECT_TRUE(Temporaries().empty());
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "folder", "locked.rom", "p.ppp", "read-only.rom"}));
}

// A stream name is refused before anything is written; a link and a short
// 8.3 name lead to the file they name, which keeps its name, its link and
// its attributes.
TEST_F(Win32HostTest, StreamsLinksAndShortNamesReachTheRealFile) {
    const auto original = Write("a.rom", {1, 2});
    const auto patch = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    const auto stream = Write("s.rom", Text("old"));
    EXPECT_EQ(ApplyPatch(host_, original, patch, stream + ":x"), Outcome::Stopped);
    EXPECT_TRUE(CannotWrite(host_.messages.back(), stream + ":x", ""));
    EXPECT_EQ(Read("s.rom"), Text("old"));

    const auto real = Write("a long file name.rom", Text("old"));
    ASSERT_TRUE(SetFileAttributesW(FromUtf8(real).c_str(), FILE_ATTRIBUTE_HIDDEN));
    std::vector<std::string> targets;
    wchar_t shortName[MAX_PATH];
    const DWORD size = GetShortPathNameW(FromUtf8(real).c_str(), shortName, MAX_PATH);
    if (size > 0 && size < MAX_PATH && FromUtf8(real) != shortName) targets.push_back(ToUtf8(shortName));
    const std::wstring link = FromUtf8(Path("link.rom"));
    // Wine 8 says yes and makes nothing.
    if (CreateSymbolicLinkW(link.c_str(), FromUtf8(real).c_str(), 0x2 /* unprivileged */) &&
        GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
        targets.push_back(Path("link.rom"));
    if (targets.empty()) GTEST_SKIP() << "neither short names nor links here";
    for (const std::string& target : targets) {
        Write("a long file name.rom", Text("old"));
        ASSERT_TRUE(SetFileAttributesW(FromUtf8(real).c_str(), FILE_ATTRIBUTE_HIDDEN));
        host_.messages.clear();
        ASSERT_EQ(ApplyPatch(host_, original, patch, target), Outcome::Done) << host_.messages.back().text;
        EXPECT_EQ(Read("a long file name.rom"), (Bytes{7, 2})) << target;
        EXPECT_TRUE(GetFileAttributesW(FromUtf8(real).c_str()) & FILE_ATTRIBUTE_HIDDEN) << target;
    }
    EXPECT_TRUE(Temporaries().empty());
    std::vector<std::string> expected{"a long file name.rom", "a.rom", "p.ppp", "s.rom"};
    if (targets.back() == Path("link.rom")) {
        expected.insert(expected.begin() + 2, "link.rom");
        EXPECT_TRUE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    EXPECT_EQ(Listing(), expected);
}

// Ended from outside in the middle of a write (Task Manager, a crash), the
// program leaves no temporary: it is deleted when its last handle closes.
// The test runs itself once more as the writer, which this variable names
// the target to.
TEST_F(Win32HostTest, AProcessEndedMidWriteLeavesNoTemporary) {
    constexpr const wchar_t* kWriter = L"ZELK_TEST_WRITE_AND_WAIT";
    wchar_t target[MAX_PATH * 4];
    if (GetEnvironmentVariableW(kWriter, target, MAX_PATH * 4) > 0) {
        auto output = host_.CreateOutput(ToUtf8(target));
        output->Append(Bytes(4 << 20, 7));  // past the buffer: on disk, in the temporary
        for (;;) Sleep(1000);
    }
    Write("out.rom", Text("old"));
    wchar_t self[MAX_PATH * 4];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH * 4), 0u);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=Win32HostTest.AProcessEndedMidWriteLeavesNoTemporary";
    ASSERT_TRUE(SetEnvironmentVariableW(kWriter, FromUtf8(Path("out.rom")).c_str()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(kWriter, nullptr);
    ASSERT_TRUE(started) << GetLastError();
    bool written = false;
    for (int wait = 0; wait < 600 && !written; ++wait) {
        for (const auto& temp : Temporaries())
            written = written || std::filesystem::file_size(dir_ / temp) >= (1u << 20);
        if (!written) Sleep(50);
    }
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(written) << "the writer never got going";
    EXPECT_TRUE(Temporaries().empty());
    EXPECT_EQ(Read("out.rom"), Text("old"));
}

}  // namespace
}  // namespace zelk::test
