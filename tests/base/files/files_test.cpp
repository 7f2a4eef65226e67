// Paths as the file system is handed them: under a folder far past Windows' old 259 characters a
// file is written, listed, moved and removed with its folder; a folder's entries by kind; the
// limits a path cannot pass, on either side of each; and on Windows the \\?\ forms of a path.
#include "base/files/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr bool files_windows = true;
#else
constexpr bool files_windows = false;
#endif

class FilesTest : public testing::Test {
  protected:
    void SetUp() override {
        dir =
            fs::temp_directory_path() / ("gm_files_test_" + std::to_string(std::random_device()()));
        ASSERT_TRUE(fs::create_directory(files_system(dir)));
    }
    void TearDown() override { files_remove_all(dir); }

    void write(const fs::path& path, const std::string& text) {
        std::FILE* file = files_open(files_name(path), "wb");
        ASSERT_NE(file, nullptr) << files_name(path);
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
    std::string read(const fs::path& path) {
        std::FILE* file = files_open(files_name(path), "rb");
        std::string text;
        for (int c = 0; file != nullptr && (c = std::fgetc(file)) != EOF;) {
            text += static_cast<char>(c);
        }
        if (file != nullptr) {
            std::fclose(file);
        }
        return text;
    }
    std::vector<std::string> names(const fs::path& folder) {
        std::vector<FilesEntry> entries;
        std::string error;
        EXPECT_TRUE(files_list(folder, entries, error)) << error;
        std::vector<std::string> listed;
        for (const FilesEntry& entry : entries) {
            listed.push_back(files_name(entry.name) + (entry.folder ? "/" : "") +
                             (entry.link ? "@" : ""));
        }
        std::sort(listed.begin(), listed.end());
        return listed;
    }

    fs::path dir;
};

TEST_F(FilesTest, AFolderFarPastTheOldLimitWorksLikeAnyOther) {
    // Four names of 80 letters: more than 330 characters from the drive on.
    fs::path deep = dir;
    for (int i = 0; i < 4; ++i) {
        deep /= files_path(std::string(80, static_cast<char>('a' + i)) + "ß");
    }
    ASSERT_GT(files_name(deep).size(), 330u);
    std::error_code error;
    ASSERT_TRUE(fs::create_directories(files_system(deep), error)) << error.message();
    EXPECT_EQ(files_unusable(files_name(deep / "report.json")), "");
    write(deep / "report.json", "{}");
    EXPECT_EQ(read(deep / "report.json"), "{}");
    ASSERT_TRUE(fs::create_directory(files_system(deep / "sub")));
    EXPECT_EQ(names(deep), (std::vector<std::string>{"report.json", "sub/"}));
    std::string why;
    write(deep / "old.png", "old");
    ASSERT_TRUE(files_move(deep / "report.json", deep / "old.png", why)) << why;
    EXPECT_EQ(read(deep / "old.png"), "{}");
    EXPECT_EQ(names(deep), (std::vector<std::string>{"old.png", "sub/"}));
    EXPECT_EQ(files_failure(files_name(deep / "sub"), 0), "is a folder");
    EXPECT_TRUE(
        files_same_file(files_name(deep / "sub" / ".." / "old.png"), files_name(deep / "old.png")));
    EXPECT_TRUE(
        files_same_file(files_name(deep / "x" / ".." / "new.csv"), files_name(deep / "new.csv")));
    EXPECT_TRUE(files_remove(files_name(deep / "old.png")));
    write(deep / "sub" / "f", "x");
    EXPECT_TRUE(files_remove_all(dir / files_path(std::string(80, 'a') + "ß")));
    EXPECT_EQ(names(dir), std::vector<std::string>{});
}

TEST_F(FilesTest, AListingSaysWhatIsNoFolder) {
    write(dir / "file", "x");
    std::vector<FilesEntry> entries;
    std::string error;
    EXPECT_FALSE(files_list(dir / "file", entries, error));
    EXPECT_EQ(error, "is a file, not a folder");
    error.clear();
    EXPECT_FALSE(files_list(dir / "missing", entries, error));
    EXPECT_EQ(error, std::strerror(ENOENT));
    EXPECT_TRUE(entries.empty());
    ASSERT_TRUE(fs::create_directory(files_system(dir / "empty")));
    EXPECT_EQ(names(dir / "empty"), std::vector<std::string>{});
    std::string why;
    EXPECT_FALSE(files_move(dir / "missing", dir / "there", why));
    EXPECT_NE(why, "");
}

// A link in a folder that is removed goes, and what it leads to stays.
TEST_F(FilesTest, RemovingAFolderFollowsNoLink) {
    if (files_windows) {
        GTEST_SKIP() << "links need a privilege on Windows";
    }
    ASSERT_TRUE(fs::create_directories(dir / "kept"));
    write(dir / "kept" / "f", "x");
    ASSERT_TRUE(fs::create_directories(dir / "gone" / "inner"));
    fs::create_directory_symlink(dir / "kept", dir / "gone" / "link");
    EXPECT_EQ(names(dir / "gone"), (std::vector<std::string>{"inner/", "link/@"}));
    EXPECT_TRUE(files_remove_all(dir / "gone"));
    EXPECT_FALSE(fs::exists(dir / "gone"));
    EXPECT_EQ(read(dir / "kept" / "f"), "x");
    EXPECT_FALSE(files_remove_all(dir / "gone"));
}

TEST(FilesLimits, ANameOrAPathTooLongIsSaidBeforeUse) {
    const std::string unit = files_windows ? "characters" : "bytes";
    const std::string name_limit = "a name in it is longer than 255 " + unit;
    // Relative names: made absolute on Windows, where the drive and folder count too.
    const std::size_t whole = files_windows ? 32767 : 4095;
    const std::size_t here = files_system(fs::path("x")).native().size() - 1;
    std::string just_whole;
    while (just_whole.size() + 101 <= whole - here) {
        just_whole += std::string(100, 'w') + "/";
    }
    just_whole += std::string(whole - here - just_whole.size(), 'z');
    for (const auto& [name, why] : std::vector<std::pair<std::string, std::string>>{
             {std::string(255, 'n'), ""},
             {std::string(256, 'n'), name_limit},
             {"a/" + std::string(256, 'n') + "/b", name_limit},
             {std::string(255, 'n') + "/" + std::string(255, 'n'), ""},
             {just_whole, ""},
             {just_whole + "z", "the path is longer than the " + std::to_string(whole) + " " +
                                    unit + " this system takes"},
         }) {
        EXPECT_EQ(files_unusable(name), why) << name.size();
    }
}

#ifdef _WIN32
TEST(FilesWindows, PathsGoToTheSystemWithTheLongPathPrefix) {
    wchar_t current[4096] = {};
    GetCurrentDirectoryW(4096, current);
    const std::wstring here = current;
    for (const auto& [given, system] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"C:\\x\\y", L"\\\\?\\C:\\x\\y"},
             {L"C:/x/./z/../y", L"\\\\?\\C:\\x\\y"},
             {L"C:\\x\\y. ", L"\\\\?\\C:\\x\\y"},
             {L"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
             {L"//server/share/x", L"\\\\?\\UNC\\server\\share\\x"},
             {L"\\\\?\\C:\\x\\..\\y", L"\\\\?\\C:\\x\\..\\y"},
             {L"\\\\.\\COM8", L"\\\\.\\COM8"},
             {L"NUL", L"\\\\.\\NUL"},
             {L"a.txt", L"\\\\?\\" + here + (here.ends_with(L'\\') ? L"" : L"\\") + L"a.txt"},
             {L"", L""},
         }) {
        EXPECT_EQ(files_system(fs::path(given)).native(), system) << files_name(given);
    }
}
#endif

} // namespace
