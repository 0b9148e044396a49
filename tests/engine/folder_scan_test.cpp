#include "engine/folder_scan.h"

#include <gtest/gtest.h>

#include "engine_run_support.h"

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
    const struct { const char* what; Names files; std::set<std::string> extensions; Names expected; } cases[] = {
        {"code point order interleaves subfolders", {"a0.mp3", "a/x.mp3", "a.mp3", "B.mp3", "a/b/c.mp3"}, {"mp3"},
         {"B.mp3", "a.mp3", "a/b/c.mp3", "a/x.mp3", "a0.mp3"}},
        {"only the extension is lower-cased", {"Track.MP3", "x.Mp3", "y.mp3.wav"}, {"mp3"}, {"Track.MP3", "x.Mp3"}},
        {"hidden files and folders", {".hidden.mp3", ".cache/song.mp3", "ok/y.mp3"}, {"mp3"}, {"ok/y.mp3"}},
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

// Only a folder that cannot be read at all fails the scan (links, FIFOs and
// unreadable subfolders are the hostile-folder test's).
TEST(FolderScan, FolderThatCannotBeOpenedFails) {
    TempDir dir;
    writeFile(dir / "file.mp3", "x");
    for (const auto& [folder, shown] : {std::pair{dir / "missing" / "", (dir / "missing").string()},
                                        {dir / "file.mp3", (dir / "file.mp3").string()},
                                        {dir / "bad\xFFname", (dir / "bad\xEF\xBF\xBDname").string()}}) {
        const auto result = scanAudioFiles(folder, {"mp3"});
        ASSERT_FALSE(result.has_value()) << folder;
        EXPECT_EQ(result.error().description(), "フォルダを読み取れませんでした: " + shown);
    }
}

}  // namespace
}  // namespace quellmark
