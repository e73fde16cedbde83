// The launcher ended on the spot at each file-system step of a three-file install, then
// started again: the next start must finish the update without losing any file.
#include "tests/update/update_test_support.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

struct CrashFile {
    const char* letter;
    std::wstring relativePath;
    std::string remotePath;
    Bytes before;  // empty: not installed yet
    Bytes release;
};

// One existing file replaced, a new file in a new directory chain, an existing file in another
// directory replaced.
const CrashFile listed[] = {
    {"A", L"Data\\prontera.gat", "/patch/files/prontera.gat", "old prontera", "new prontera map"},
    {"C", L"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub", "/patch/files/itemInfo-deep.lub",
     "", "new item info"},
    {"B", L"System\\itemInfo.lub", "/patch/files/itemInfo.lub", "old system items",
     "new system items, longer"},
};

const TreeSnapshot unlisted = {
    {L"Data", "<dir>"},
    {L"Data\\clientinfo.xml", "<clientinfo/>"},
    {L"Data\\prontera.gnd", "ground, listed nowhere"},
    {L"System", "<dir>"},
    {L"System\\itemInfo_Sak.lub", "sak items"},
    {L"System\\itemInfo.lub.orig", "the player's own copy"},
};
const TreeSnapshot newDirectories = {{L"Data\\luafiles514", "<dir>"},
                                     {L"Data\\luafiles514\\lua files", "<dir>"},
                                     {L"Data\\luafiles514\\lua files\\datainfo", "<dir>"}};

constexpr wchar_t StagingSuffix[] = L".vantor-new";
constexpr wchar_t BackupSuffix[] = L".vantor-backup";

void ServeThreeFiles() {
    ResetHost();
    std::vector<ListedFile> files;
    for (const CrashFile& file : listed) {
        files.push_back({Narrow(file.relativePath), file.remotePath, file.release});
    }
    ServeRelease(files);
}

std::optional<Bytes> At(const TreeSnapshot& tree, const std::wstring& path) {
    const auto found = tree.find(path);
    if (found == tree.end()) return std::nullopt;
    return found->second;
}

// "A=old +A.backup(old)": each listed target and whatever lies beside it.
std::string Describe(const TreeSnapshot& tree) {
    std::string text;
    const auto name = [](const CrashFile& file, const std::optional<Bytes>& content) {
        if (!content) return std::string("-");
        if (*content == file.release) return std::string("new");
        if (!file.before.empty() && *content == file.before) return std::string("old");
        return "?" + *content;
    };
    for (const CrashFile& file : listed) {
        text += std::string(text.empty() ? "" : " ") + file.letter + "=" +
                name(file, At(tree, file.relativePath));
        for (const auto& [suffix, label] :
             {std::pair{StagingSuffix, ".new"}, std::pair{BackupSuffix, ".backup"}}) {
            if (const auto beside = At(tree, file.relativePath + suffix)) {
                text += std::string(" +") + file.letter + label + "(" + name(file, beside) + ")";
            }
        }
    }
    return text;
}

struct ChildRun {
    std::optional<DWORD> exitCode;
    std::vector<std::string> calls;  // "op\tpath"
    Bytes result;
};

// mode: "0" default file operations, "count", or the 1-based call at which to end the process.
ChildRun RunChild(const std::wstring& installDir, const std::wstring& mode) {
    TempDir out;
    ChildRun run;
    ChildProcess child;
    if (!child.Start(installDir + L"\\launcher.exe", L"\"" + out.path() + L"\" " + mode, L"")) {
        ADD_FAILURE() << "cannot start the update child: error " << child.error;
        return run;
    }
    run.exitCode = child.Wait(std::chrono::seconds(120));
    std::istringstream lines(ReadBytes(out / L"calls.txt").value_or(""));
    for (std::string line; std::getline(lines, line);) run.calls.push_back(line);
    run.result = ReadBytes(out / L"result.txt").value_or("");
    return run;
}

std::string StepName(const std::vector<std::string>& calls, const std::wstring& installDir) {
    if (calls.empty()) return "no call";
    std::string step = calls.back();
    const std::string prefix = Narrow(installDir) + "\\";
    for (size_t at; (at = step.find(prefix)) != std::string::npos;) step.erase(at, prefix.size());
    step[step.find('\t')] = ' ';
    // The digest of a staging file is taken between its close and the next call.
    if (calls.size() >= 2 && calls[calls.size() - 2].rfind("close\t", 0) == 0) {
        step = "hash, then " + step;
    }
    return step;
}

class CrashTest : public testing::Test {
protected:
    void SetUp() override {
        ServeThreeFiles();
        TreeSnapshot tree = unlisted;
        for (const CrashFile& file : listed) {
            if (!file.before.empty()) tree[file.relativePath] = file.before;
        }
        for (const auto& [path, content] : tree) {
            if (content != "<dir>") {
                ASSERT_TRUE(WriteBytes(install / path, content));
            }
        }
        ASSERT_TRUE(CopyInto(BuildPath(L"tests\\update\\update_crash_child.exe"),
                             install / L"launcher.exe"));
        initial = SnapshotTree(install.path());
    }

    // Lays the installation out as tree, empty directories included.
    void Recreate(const TreeSnapshot& tree) {
        RemoveTree(install.path());
        for (const auto& [path, content] : tree) {
            if (content == "<dir>") {
                ::CreateDirectoryW((install / path).c_str(), nullptr);
            } else {
                ASSERT_TRUE(WriteBytes(install / path, content));
            }
        }
        ASSERT_EQ(SnapshotTree(install.path()), tree);
    }
    // Brings the installation back to its state before the first run.
    void Restore() { Recreate(initial); }

    // Every crash point of a clean run, plus one past its last call (the run that completes).
    size_t CountCalls() {
        const ChildRun clean = RunChild(install.path(), L"count");
        EXPECT_EQ(clean.exitCode, 0u);
        EXPECT_EQ(clean.result, "1\nUpdated to 1.2.2");
        Restore();
        return clean.calls.size();
    }

    TempDir install;
    TreeSnapshot initial;
};

// What a good restart makes of a crash state: the release everywhere, the unlisted files as
// they were, and no staging or backup file except the backup of a file that was already
// current when the crash came (a current file is not looked at again).
TreeSnapshot ExpectedAfterRestart(const TreeSnapshot& initial, const TreeSnapshot& crashed) {
    TreeSnapshot expected = initial;
    for (const auto& [path, content] : newDirectories) expected[path] = content;
    for (const CrashFile& file : listed) {
        expected[file.relativePath] = file.release;
        const auto backup = At(crashed, file.relativePath + BackupSuffix);
        if (backup && At(crashed, file.relativePath) == file.release) {
            expected[file.relativePath + BackupSuffix] = *backup;
        }
    }
    return expected;
}

TEST_F(CrashTest, EveryStepOfAThreeFileInstallSurvivesACrash) {
    const size_t calls = CountCalls();
    ASSERT_GT(calls, 20u);
    std::ostringstream table;
    table << "step | what the crash left | what the restart made of it\n";
    for (size_t k = 1; k <= calls + 1; ++k) {
        SCOPED_TRACE("crash at call " + std::to_string(k));
        Restore();
        const ChildRun crash = RunChild(install.path(), std::to_wstring(k));
        const TreeSnapshot crashed = SnapshotTree(install.path());
        const std::string step =
            k > calls ? "(no crash)"
                      : std::to_string(k) + " " + StepName(crash.calls, install.path());
        EXPECT_EQ(crash.exitCode, k > calls ? 0u : 99u) << step;

        const ChildRun restart = RunChild(install.path(), L"0");
        const TreeSnapshot after = SnapshotTree(install.path());
        EXPECT_EQ(restart.exitCode, 0u) << step << ": " << restart.result;
        bool allCurrent = true;
        for (const CrashFile& file : listed) {
            allCurrent = allCurrent && At(crashed, file.relativePath) == file.release;
        }
        EXPECT_EQ(restart.result, allCurrent ? "1\nUp to date" : "1\nUpdated to 1.2.2") << step;
        EXPECT_EQ(after, ExpectedAfterRestart(initial, crashed)) << step;
        // A leftover backup is the old file itself, never something else.
        for (const CrashFile& file : listed) {
            if (const auto backup = At(after, file.relativePath + BackupSuffix)) {
                EXPECT_EQ(*backup, file.before) << step;
            }
        }
        table << step << " | " << Describe(crashed) << " | " << Describe(after) << "\n";

        // A file left only at its backup name comes back even when the next release no
        // longer lists it; nothing else of it is touched.
        for (const CrashFile& dropped : listed) {
            const auto backup = At(crashed, dropped.relativePath + BackupSuffix);
            if (At(crashed, dropped.relativePath) || !backup) continue;
            SCOPED_TRACE(std::string("release without ") + dropped.letter);
            Recreate(crashed);
            ResetHost();
            std::vector<ListedFile> files;
            TreeSnapshot expected = ExpectedAfterRestart(initial, crashed);
            for (const CrashFile& file : listed) {
                if (&file != &dropped) {
                    files.push_back({Narrow(file.relativePath), file.remotePath, file.release});
                }
            }
            ServeRelease(files);
            expected[dropped.relativePath] = *backup;
            expected.erase(dropped.relativePath + BackupSuffix);
            if (const auto staging = At(crashed, dropped.relativePath + StagingSuffix)) {
                expected[dropped.relativePath + StagingSuffix] = *staging;
            }
            const ChildRun next = RunChild(install.path(), L"0");
            EXPECT_EQ(next.exitCode, 0u) << step << ": " << next.result;
            EXPECT_EQ(SnapshotTree(install.path()), expected) << step;
            table << step << " | " << Describe(crashed) << " | without " << dropped.letter << ": "
                  << Describe(SnapshotTree(install.path())) << "\n";
            ServeThreeFiles();
        }
    }
    std::cout << table.str();
}

// The restart fails in its turn (another program holds B open), so it rolls back: no file
// that existed before the crash may be lost on the way, least of all one whose only copy was
// the backup an interrupted install left.
TEST_F(CrashTest, ARestartThatRollsBackLosesNoFile) {
    const size_t calls = CountCalls();
    std::ostringstream table;
    table << "step | what the crash left | what the failing restart left\n";
    for (size_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE("crash at call " + std::to_string(k));
        Restore();
        const ChildRun crash = RunChild(install.path(), std::to_wstring(k));
        EXPECT_EQ(crash.exitCode, 99u);
        const std::string step = std::to_string(k) + " " + StepName(crash.calls, install.path());
        const TreeSnapshot crashed = SnapshotTree(install.path());
        const std::wstring held = listed[2].relativePath;
        if (!At(crashed, held)) {
            table << step << " | " << Describe(crashed) << " | (B missing: nothing to hold)\n";
            continue;
        }

        ChildRun restart;
        {
            ChildProcess holder;  // ended when this block ends
            ASSERT_TRUE(HoldOpenInAnotherProcess(holder, install / held));
            restart = RunChild(install.path(), L"0");
        }
        EXPECT_EQ(restart.result,
                  "0\nUnable to install the Vantor update. Existing files were restored.")
            << step;
        const TreeSnapshot after = SnapshotTree(install.path());

        // Each target as the crash left it, a missing one given back from its backup; no
        // staging file; the backups of current files (not reached again) stay.
        TreeSnapshot expected = crashed;
        for (const auto& [path, content] : newDirectories) expected[path] = content;
        for (const CrashFile& file : listed) {
            expected.erase(file.relativePath + StagingSuffix);
            const auto backup = At(crashed, file.relativePath + BackupSuffix);
            const bool current = At(crashed, file.relativePath) == file.release;
            if (!At(crashed, file.relativePath) && backup) expected[file.relativePath] = *backup;
            if (!current || file.relativePath == held) {
                expected.erase(file.relativePath + BackupSuffix);
            }
        }
        EXPECT_EQ(after, expected) << step;
        for (const CrashFile& file : listed) {
            if (!file.before.empty()) {
                const bool kept = At(after, file.relativePath).has_value() ||
                                  At(after, file.relativePath + BackupSuffix).has_value();
                EXPECT_TRUE(kept) << step << ": " << file.letter << " was lost";
            }
        }
        table << step << " | " << Describe(crashed) << " | " << Describe(after) << "\n";
    }
    std::cout << table.str();
}

}  // namespace
