#include "settings/app_settings.h"

#include <cmath>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "settings/defaults_store.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

using test::readFile;

// Exact bytes, whatever the process locale (this binary also runs under a
// comma-decimal one); the file cut at any byte decodes to nothing.
TEST(AppSettings, SavedBytesAreExactAndLoadBack) {
    test::TempDir dir;
    EXPECT_EQ(encodeSettings(AppSettings::load(DefaultsStore(dir / "never-created"))),
              R"({"targetLUFS":-18.0,"clampDB":12.0,"incremental":true,"audioExtensions":)"
              R"(["aac","aif","aiff","alac","flac","m4a","mp3","mp4","oga","ogg","opus","wav","wv"]})");
    DefaultsStore store(dir.path());
    const AppSettings settings{-23.5, 0.25, 4, false, "/home/ユーザー/\"ff\"\\mpeg", {"mp3", "", "FLAC"}};
    settings.save(store);
    const std::string saved = readFile(dir / "quellmark.settings");
    EXPECT_EQ(saved, R"({"targetLUFS":-23.5,"clampDB":0.25,"parallelism":4,"incremental":false,)"
                     R"("ffmpegPath":"/home/ユーザー/\"ff\"\\mpeg","audioExtensions":["","FLAC","mp3"]})");
    EXPECT_EQ(AppSettings::load(store), settings);
    for (size_t cut = 0; cut < saved.size(); ++cut) EXPECT_EQ(decodeSettings(saved.substr(0, cut)), std::nullopt) << cut;

    // A value JSON cannot hold unaltered leaves the previous bytes.
    for (const AppSettings& bad : {AppSettings{std::nan(""), 12, {}, true, {}},
                                   AppSettings{-18, std::numeric_limits<double>::infinity(), {}, true, {}},
                                   AppSettings{-18, 12, {}, true, "/m\xE9" "dia/ffmpeg"}}) {
        bad.save(store);
        EXPECT_EQ(readFile(dir / "quellmark.settings"), saved);
    }
}

TEST(AppSettings, DecodesTheStoredFormOrNothing) {
    // One damaged file per line: each wrong type, missing key or range breaks the whole file.
    std::istringstream damaged(readFile(QUELLMARK_TEST_DATA_DIR "/settings-damaged.txt"));
    int count = 0;
    for (std::string bytes; std::getline(damaged, bytes); ++count) EXPECT_EQ(decodeSettings(bytes), std::nullopt) << bytes;
    EXPECT_EQ(count, 20);
    // Pairs of lines: each accepted form, and the canonical bytes it is stored again as.
    std::istringstream tolerant(readFile(QUELLMARK_TEST_DATA_DIR "/settings-tolerant.txt"));
    for (std::string stored, canonical; std::getline(tolerant, stored) && std::getline(tolerant, canonical);) {
        const auto decoded = decodeSettings(stored);
        ASSERT_TRUE(decoded.has_value()) << stored;
        EXPECT_EQ(encodeSettings(*decoded), canonical);
    }
}

}  // namespace
}  // namespace quellmark
