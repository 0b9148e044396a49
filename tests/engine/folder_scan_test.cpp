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
    for (const fs::path& path : result.value_or(std::vector<fs::path>{})) {
        EXPECT_EQ(path.native().rfind(root.native() + "/", 0), 0u) << path;
        names.push_back(path.native().substr(root.native().size() + 1));
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
        {"only the extension is lower-cased", {"Track.MP3", "x.Mp3", "y.mp3.wav"}, {"mp3"}, {"Track.MP3", "x.Mp3"}},
        {"the empty extension", {"README", "song.", "a.mp3"}, {""}, {"README", "song."}},
        {"hidden files and folders", {".hidden.mp3", ".cache/song.mp3", "ok/y.mp3"}, {"mp3"}, {"ok/y.mp3"}},
        {"a folder named like a file", {"album.mp3/01.flac", "album.mp3/02.mp3"}, {"mp3"}, {"album.mp3/02.mp3"}},
        {"non-ASCII extensions are lowered per character", {"a.FL\xC3\x84" "C"}, {"fl\xC3\xA4" "c"}, {"a.FL\xC3\x84" "C"}},
        // The non-UTF-8 names all read "Caf\uFFFD.mp3"; their bytes decide among them. U+FFFD
        // sorts after every letter, although the byte 0x80 is below the lead byte of "\u00E9".
        {"invalid UTF-8", {"Caf\xE9.mp3", "Caf\x80.mp3", "Cafz.mp3", "Caf\xC3\xA9.mp3"}, {"mp3"},
         {"Caf\xC3\xA9.mp3", "Cafz.mp3", "Caf\x80.mp3", "Caf\xE9.mp3"}},
        // Composed and decomposed accents sort together by the letter that follows.
        {"NFC and NFD", {"Cafe\xCC\x81" "b.mp3", "Caf\xC3\xA9" "a.mp3", "Cafez.mp3"}, {"mp3"},
         {"Cafez.mp3", "Caf\xC3\xA9" "a.mp3", "Cafe\xCC\x81" "b.mp3"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (const auto& file : c.files) writeFile(dir / file, "x");
        EXPECT_EQ(scanRelative(dir.path(), c.extensions), c.expected) << c.what;
    }
}

// Links, FIFOs and an unreadable subfolder are passed over; only a folder that
// cannot be read at all fails the scan.
TEST(FolderScan, ListsOnlyRegularFilesItCanReach) {
    TempDir dir, outside;
    for (const char* file : {"real.mp3", "locked/b.mp3", "z/c.mp3"}) writeFile(dir / file, "x");
    writeFile(outside / "elsewhere.mp3", "x");
    fs::create_directory_symlink(outside.path(), dir / "linked-folder");
    fs::create_directory_symlink(dir.path(), dir / "loop");
    fs::create_symlink(dir / "real.mp3", dir / "link.mp3");
    ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
    fs::permissions(dir / "locked", fs::perms::none);
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    // Root reads a mode-000 folder anyway, so the scan runs in a child that
    // has given root up for the user "nobody".
    const int status = test::waitStatusOfChild([&] {
        if (geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
        const auto files = scanAudioFiles(dir.path().string() + "/", {"mp3"});
        return files && *files == std::vector<fs::path>{dir / "real.mp3", dir / "z/c.mp3"} ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    for (const auto& [folder, shown] : {std::pair{dir / "missing" / "", (dir / "missing").string()},
                                        {dir / "real.mp3", (dir / "real.mp3").string()},
                                        {dir / "bad\xFFname", (dir / "bad\xEF\xBF\xBDname").string()}}) {
        const auto result = scanAudioFiles(folder, {"mp3"});
        ASSERT_FALSE(result.has_value()) << folder;
        EXPECT_EQ(result.error().description(), "フォルダを読み取れませんでした: " + shown);
    }
}

}  // namespace
}  // namespace quellmark
