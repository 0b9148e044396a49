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

// Exact bytes, whatever the process locale (this binary also runs under a comma-decimal one).
TEST(AppSettings, SavedBytesAreExactAndLoadBack) {
    test::TempDir dir;
    EXPECT_EQ(encodeSettings(AppSettings::load(DefaultsStore(dir / "never-created"))),
              R"({"targetLUFS":-18.0,"clampDB":12.0,"incremental":true,"audioExtensions":)"
              R"(["aac","aif","aiff","alac","flac","m4a","mp3","mp4","oga","ogg","opus","wav","wv"]})");
    DefaultsStore store(dir.path());
    AppSettings settings{-23.5, 0.25, 4, false, "/home/ユーザー/\"ff\"\\mpeg", {"mp3", "", "FLAC"}};
    settings.save(store);
    EXPECT_EQ(readFile(dir / "quellmark.settings"),
              R"({"targetLUFS":-23.5,"clampDB":0.25,"parallelism":4,"incremental":false,)"
              R"("ffmpegPath":"/home/ユーザー/\"ff\"\\mpeg","audioExtensions":["","FLAC","mp3"]})");
    EXPECT_EQ(AppSettings::load(store), settings);
    const std::string before = readFile(dir / "quellmark.settings");
    for (size_t cut = 0; cut < before.size(); ++cut) EXPECT_EQ(decodeSettings(before.substr(0, cut)), std::nullopt) << cut;

    // A value JSON cannot hold unaltered leaves the previous bytes.
    const double inf = std::numeric_limits<double>::infinity();
    for (const AppSettings& bad : {AppSettings{std::nan(""), 12, {}, true, {}}, AppSettings{-18, inf, {}, true, {}},
                                   AppSettings{-18, 12, {}, true, "/m\xE9" "dia/ffmpeg"}}) {
        bad.save(store);
        EXPECT_EQ(readFile(dir / "quellmark.settings"), before) << bad.targetLUFS << " " << bad.clampDB;
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
    count = 0;
    for (std::string stored, canonical; std::getline(tolerant, stored) && std::getline(tolerant, canonical); ++count) {
        const auto decoded = decodeSettings(stored);
        ASSERT_TRUE(decoded.has_value()) << stored;
        EXPECT_EQ(encodeSettings(*decoded), canonical);
    }
    EXPECT_EQ(count, 4);
}

}  // namespace
}  // namespace quellmark
