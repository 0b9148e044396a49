#include "settings/app_settings.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#include "settings/defaults_store.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

const AppSettings kDefaults{};

AppSettings loadFromBytes(const TempDir& dir, std::string_view bytes) {
    writeFile(dir / "quellmark.settings", bytes);
    return AppSettings::load(DefaultsStore(dir.path()));
}

TEST(AppSettings, SavedBytesAreExactAndLoadBack) {
    TempDir dir;
    EXPECT_EQ(encodeSettings(AppSettings::load(DefaultsStore(dir / "never-created"))),
              R"({"targetLUFS":-18.0,"clampDB":12.0,"incremental":true,"audioExtensions":)"
              R"(["aac","aif","aiff","alac","flac","m4a","mp3","mp4","oga","ogg","opus","wav","wv"]})");
    DefaultsStore store(dir.path());
    AppSettings settings;
    settings.targetLUFS = -23.5;
    settings.clampDB = 0.25;
    settings.parallelism = 4;
    settings.incremental = false;
    settings.ffmpegPath = "/home/ユーザー/\"ff\"\\mpeg";
    settings.audioExtensions = {"mp3", "", "FLAC"};
    settings.save(store);
    EXPECT_EQ(readFile(dir / "quellmark.settings"),
              R"({"targetLUFS":-23.5,"clampDB":0.25,"parallelism":4,"incremental":false,)"
              R"("ffmpegPath":"/home/ユーザー/\"ff\"\\mpeg","audioExtensions":["","FLAC","mp3"]})");
    EXPECT_EQ(AppSettings::load(store), settings);

    settings.parallelism.reset();
    settings.ffmpegPath.reset();
    settings.audioExtensions.clear();
    settings.save(store);
    EXPECT_EQ(readFile(dir / "quellmark.settings"),
              R"({"targetLUFS":-23.5,"clampDB":0.25,"incremental":false,"audioExtensions":[]})");
    EXPECT_EQ(AppSettings::load(store), settings);
}

TEST(AppSettings, UnstorableValuesLeaveThePreviousBytes) {
    TempDir dir;
    DefaultsStore store(dir.path());
    AppSettings previous;
    previous.targetLUFS = -20;
    previous.save(store);
    const std::string before = readFile(dir / "quellmark.settings");

    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [target, clamp, path] : {std::tuple{std::nan(""), 12.0, "/usr/bin/ffmpeg"},
                                              std::tuple{-18.0, inf, "/usr/bin/ffmpeg"},
                                              std::tuple{-18.0, 12.0, "/m\xE9" "dia/ffmpeg"}}) {
        AppSettings bad;
        bad.targetLUFS = target;
        bad.clampDB = clamp;
        bad.ffmpegPath = path;
        bad.save(store);
        EXPECT_EQ(readFile(dir / "quellmark.settings"), before) << target << " " << clamp << " " << path;
    }
}

TEST(AppSettings, DamagedValuesGiveTheCompleteDefaults) {
    // One damaged file per line: each wrong type, missing key or range breaks the whole file.
    std::istringstream cases(readFile(QUELLMARK_TEST_DATA_DIR "/settings-damaged.txt"));
    TempDir dir;
    EXPECT_EQ(loadFromBytes(dir, ""), kDefaults);
    int count = 0;
    for (std::string bytes; std::getline(cases, bytes); ++count) EXPECT_EQ(loadFromBytes(dir, bytes), kDefaults) << bytes;
    EXPECT_EQ(count, 20);
}

TEST(AppSettings, EveryCutOfAStoredValueGivesTheDefaults) {
    AppSettings settings;
    settings.parallelism = 2;
    settings.ffmpegPath = "/usr/bin/ffmpeg";
    settings.clampDB = 6;
    const std::string bytes = encodeSettings(settings).value();
    ASSERT_EQ(decodeSettings(bytes), settings);
    for (size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_EQ(decodeSettings(bytes.substr(0, length)), std::nullopt) << length;
    }
}

// Pairs of lines: each accepted form, and the canonical bytes it is stored again as.
TEST(AppSettings, TolerantForms) {
    std::istringstream lines(readFile(QUELLMARK_TEST_DATA_DIR "/settings-tolerant.txt"));
    int count = 0;
    for (std::string stored, canonical; std::getline(lines, stored) && std::getline(lines, canonical); ++count) {
        const auto decoded = decodeSettings(stored);
        ASSERT_TRUE(decoded.has_value()) << stored;
        EXPECT_EQ(encodeSettings(*decoded), canonical);
    }
    EXPECT_EQ(count, 4);
}

}  // namespace
}  // namespace quellmark
