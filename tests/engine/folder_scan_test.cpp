#include "engine/folder_scan.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine_run_support.h"
#include "support/child_process.h"

namespace quellmark {
namespace {

// The scan's result as paths relative to `root`, in the order returned.
Names scanRelative(const fs::path& root, const std::set<std::string>& extensions) {
    auto result = scanAudioFiles(root, extensions);
    EXPECT_TRUE(result.has_value()) << result.error().description();
    Names names;
    for (const std::string& path : result.value_or(FileList{}).strings()) {
        EXPECT_EQ(path.rfind(root.native() + "/", 0), 0u) << path;
        names.push_back(path.substr(root.native().size() + 1));
    }
    return names;
}

TEST(FolderScan, SelectsAndOrdersFiles) {
    const struct {
        const char* what;
        Names files;
        std::set<std::string> extensions;
        Names expected;
    } cases[] = {
        {"code point order interleaves subfolders", {"a0.mp3", "a/x.mp3", "a.mp3", "B.mp3", "a/b/c.mp3"}, {"mp3"},
         {"B.mp3", "a.mp3", "a/b/c.mp3", "a/x.mp3", "a0.mp3"}},
        {"only the extension is lower-cased", {"Track.MP3", "track.mp3", "x.Mp3", "y.mp3.wav"}, {"mp3"},
         {"Track.MP3", "track.mp3", "x.Mp3"}},
        {"upper-case members never match", {"Track.MP3", "track.mp3"}, {"MP3"}, {}},
        {"the empty extension", {"README", "song.", "a.mp3", "dir/noext"}, {""}, {"README", "dir/noext", "song."}},
        {"hidden files and folders", {".hidden.mp3", ".cache/song.mp3", "ok/.x.mp3", "ok/y.mp3", ".mp3"}, {"mp3"},
         {"ok/y.mp3"}},
        {"a folder named like a file", {"album.mp3/01.flac", "album.mp3/02.mp3"}, {"mp3"}, {"album.mp3/02.mp3"}},
        {"result files are left out by their extension",
         {"volume_gains.csv", "volume_gains.csv.tmp", "volume_gains.csv.meta.json", "a.wav"},
         AppSettings::defaultAudioExtensions(), {"a.wav"}},
        {"non-ASCII extensions are lowered per character", {"a.FL\xC3\x84" "C", "b.fl\xC3\xA4" "c"},
         {"fl\xC3\xA4" "c"}, {"a.FL\xC3\x84" "C", "b.fl\xC3\xA4" "c"}},
        // The non-UTF-8 names all read "Caf\uFFFD.mp3"; their bytes decide among them. U+FFFD
        // sorts after every letter, although the byte 0x80 is below the lead byte of "\u00E9".
        {"invalid UTF-8", {"Caf\xE9.mp3", "Caf\x80.mp3", "Caf\xE8.mp3", "Cafz.mp3", "Caf\xC3\xA9.mp3"}, {"mp3"},
         {"Caf\xC3\xA9.mp3", "Cafz.mp3", "Caf\x80.mp3", "Caf\xE8.mp3", "Caf\xE9.mp3"}},
        // Composed and decomposed accents sort together by the letter that follows.
        {"NFC and NFD", {"Cafe\xCC\x81" "b.mp3", "Caf\xC3\xA9" "a.mp3", "Cafe\xCC\x81" "c.mp3", "Cafez.mp3"}, {"mp3"},
         {"Cafez.mp3", "Caf\xC3\xA9" "a.mp3", "Cafe\xCC\x81" "b.mp3", "Cafe\xCC\x81" "c.mp3"}},
        {"invalid folder name", {"\xFF/b.mp3", "\xFF/a.mp3", "\xEF\xBF\xBD/c.mp3", "\xEF\xBF\xBD/a.mp3"}, {"mp3"},
         {"\xEF\xBF\xBD/a.mp3", "\xFF/a.mp3", "\xFF/b.mp3", "\xEF\xBF\xBD/c.mp3"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (const auto& file : c.files) writeFile(dir / file, "x");
        EXPECT_EQ(scanRelative(dir.path(), c.extensions), c.expected) << c.what;
    }
}

TEST(FolderScan, LinksAndSpecialFilesAreNeitherListedNorFollowed) {
    TempDir dir;
    TempDir outside;
    writeFile(dir / "real.mp3", "x");
    writeFile(outside / "elsewhere.mp3", "x");
    fs::create_directory_symlink(outside.path(), dir / "linked-folder");
    fs::create_directory_symlink(dir.path(), dir / "loop");
    fs::create_symlink(dir / "real.mp3", dir / "link.mp3");
    fs::create_symlink(dir / "missing.mp3", dir / "dangling.mp3");
    ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
    EXPECT_EQ(scanRelative(dir.path(), {"mp3"}), Names{"real.mp3"});
}

TEST(FolderScan, UnreadableSubfolderIsPassedOver) {
    TempDir dir;
    for (const char* file : {"a.mp3", "locked/b.mp3", "z/c.mp3"}) writeFile(dir / file, "x");
    fs::permissions(dir / "locked", fs::perms::none);
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    // Root reads a mode-000 folder anyway, so the scan runs in a child that
    // has given root up for the user "nobody".
    const int status = test::waitStatusOfChild([&] {
        if (geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
        const auto files = scanAudioFiles(dir.path(), {"mp3"});
        return files && files->strings() == std::vector<std::string>{dir / "a.mp3", dir / "z/c.mp3"} ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(FolderScan, FolderThatCannotBeOpenedFails) {
    TempDir dir;
    writeFile(dir / "file.mp3", "x");
    const std::pair<fs::path, std::string> cases[] = {
        {dir / "missing" / "", (dir / "missing").string()},
        {dir / "file.mp3", (dir / "file.mp3").string()},
        {dir / "bad\xFFname", (dir / "bad\xEF\xBF\xBDname").string()},
    };
    for (const auto& [folder, shownPath] : cases) {
        const auto result = scanAudioFiles(folder, {"mp3"});
        ASSERT_FALSE(result.has_value()) << folder;
        EXPECT_EQ(result.error().description(), "フォルダを読み取れませんでした: " + shownPath);
    }
    // A trailing separator on a good folder changes nothing in the paths returned.
    EXPECT_EQ(scanAudioFiles(dir.path().string() + "/", {"mp3"})->strings(), std::vector<std::string>{dir / "file.mp3"});
}

}  // namespace
}  // namespace quellmark
