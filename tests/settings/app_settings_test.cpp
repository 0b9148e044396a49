#include "settings/app_settings.h"

#include <cmath>
#include <limits>
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

TEST(AppSettings, NothingStoredGivesTheDefaults) {
    TempDir dir;
    const AppSettings loaded = AppSettings::load(DefaultsStore(dir / "never-created"));
    EXPECT_EQ(encodeSettings(loaded),
              R"({"targetLUFS":-18.0,"clampDB":12.0,"incremental":true,"audioExtensions":)"
              R"(["aac","aif","aiff","alac","flac","m4a","mp3","mp4","oga","ogg","opus","wav","wv"]})");
}

TEST(AppSettings, SavedBytesAreExactAndLoadBack) {
    TempDir dir;
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
                                              std::tuple{-inf, 12.0, "/usr/bin/ffmpeg"},
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
    const std::string_view cases[] = {
        "",
        "garbage",
        "[]",
        "null",
        R"({"clampDB":3,"incremental":false,"audioExtensions":["x"]})",
        R"({"targetLUFS":-9,"incremental":false,"audioExtensions":["x"]})",
        R"({"targetLUFS":-9,"clampDB":3,"audioExtensions":["x"]})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false})",
        R"({"targetLUFS":"-9","clampDB":3,"incremental":false,"audioExtensions":["x"]})",
        R"({"targetLUFS":-9,"clampDB":null,"incremental":false,"audioExtensions":["x"]})",
        R"({"targetLUFS":1e999,"clampDB":3,"incremental":false,"audioExtensions":["x"]})",
        R"({"targetLUFS":-9,"clampDB":-0.5,"incremental":false,"audioExtensions":["x"]})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":0,"audioExtensions":["x"]})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":"x"})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":["x",1]})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":["x"],"parallelism":3.5})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":["x"],"parallelism":"4"})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":["x"],"parallelism":9223372036854775808})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":["x"],"parallelism":9.3e18})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":["x"],"ffmpegPath":7})",
        R"({"targetLUFS":-9,"clampDB":3,"incremental":false,"audioExtensions":["x"]} trailing)",
    };
    TempDir dir;
    for (const std::string_view bytes : cases) EXPECT_EQ(loadFromBytes(dir, bytes), kDefaults) << bytes;
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

// Each accepted form, stored again, gives the canonical bytes on the right.
TEST(AppSettings, TolerantForms) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"({"audioExtensions":["wav","mp3","wav"],"incremental":true,"clampDB":12,"targetLUFS":-23})",
         R"({"targetLUFS":-23.0,"clampDB":12.0,"incremental":true,"audioExtensions":["mp3","wav"]})"},
        {R"({"targetLUFS":-9.5,"clampDB":-0.0,"incremental":true,"audioExtensions":[],)"
         R"("parallelism":null,"ffmpegPath":null,"unknown":{"a":[1]}})",
         R"({"targetLUFS":-9.5,"clampDB":0.0,"incremental":true,"audioExtensions":[]})"},
        {R"({"targetLUFS":-9,"clampDB":3e0,"incremental":true,"audioExtensions":["\u00e9"],"parallelism":3.0})",
         R"({"targetLUFS":-9.0,"clampDB":3.0,"parallelism":3,"incremental":true,"audioExtensions":["é"]})"},
        {R"({"targetLUFS":-9,"clampDB":3,"incremental":true,"audioExtensions":[],)"
         R"("parallelism":-9223372036854775808,"ffmpegPath":""})",
         R"({"targetLUFS":-9.0,"clampDB":3.0,"parallelism":-9223372036854775808,"incremental":true,)"
         R"("ffmpegPath":"","audioExtensions":[]})"},
    };
    for (const auto& [stored, canonical] : cases) {
        const auto decoded = decodeSettings(stored);
        ASSERT_TRUE(decoded.has_value()) << stored;
        EXPECT_EQ(encodeSettings(*decoded), canonical);
    }
}

}  // namespace
}  // namespace quellmark
