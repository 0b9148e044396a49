#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "media/metadata_probe.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

const std::string kUnreadable = "ffprobe の解析に失敗しました";

TEST(ProbeReport, ReadsDurationAndTags) {
    const double nan = std::nan("");
    // A report given as "@name" is the captured file tests/data/name.
    const struct { std::string json; double durationSec; const char* title; const char* artist; } cases[] = {
        {R"({"format":{"duration":"183.240000","tags":{"title":"  Song\n","artist":"Band"}}})", 183.24, "Song", "Band"},
        {R"({"format":{"duration":"N/A"}})", nan, "", ""},
        {R"({"format":{"duration":"-1"}})", nan, "", ""},
        {R"({"format":{"duration":"inf"}})", nan, "", ""},
        {R"({"format":{"duration":183.24}})", nan, "", ""},
        {R"({"format":{"duration":"2.5","tags":"title"}})", 2.5, "", ""},
        {R"({"format":{"tags":{"TITLE":"Loud","ARTIST":"Crowd"}}})", nan, "Loud", "Crowd"},
        // The exact name wins over other cases; among those, the first in report order.
        {R"({"format":{"tags":{"TITLE":"upper","title":"lower"}}})", nan, "lower", ""},
        {R"({"format":{"tags":{"Title":"first","TITLE":"second"}}})", nan, "first", ""},
        {R"({"format":{"tags":{"title":5,"TITLE":null,"tItLe":"string"}}})", nan, "string", ""},
        // Stream tags serve when the format has none, from the first stream only.
        {R"({"streams":[{"tags":{"title":" Ogg ","ARTIST":"Vorbis"}}],"format":{"duration":"1.0"}})", 1.0, "Ogg",
         "Vorbis"},
        {R"({"streams":[{"tags":{"title":"stream","artist":"stream"}}],"format":{"tags":{"TITLE":"format"}}})", nan,
         "format", "stream"},
        {R"({"streams":[{},{"tags":{"title":"second"}}]})", nan, "", ""},
        {R"({"streams":["tags"]})", nan, "", ""},
        {R"({"format":{"tags":{"titles":"x","title ":"y"}}})", nan, "", ""},
        {R"({"format":{"tags":{"title":"\u3000曲名\u3000"}}})", nan, "曲名", ""},
        {"@ffprobe-mp3-format-tags.json", 1.044898, "Song Title", "The Band"},
        {"@ffprobe-ogg-vorbis-stream-tags.json", 1.0, "Ogg Title", "Ogg Artist"},
        {"@ffprobe-flac-uppercase-tags.json", 1.0, "Flac Title", "Flac Artist"},
        {"@ffprobe-tags.json", 11.0, "Test Tone", "Quellmark Lab"},
        {"@ffprobe-stream-tags-ogg.json", 11.0, "Test Tone", "Quellmark Lab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 120));
        const std::string json = c.json.starts_with('@')
                                     ? test::readFile(std::string(QUELLMARK_TEST_DATA_DIR) + "/" + c.json.substr(1))
                                     : c.json;
        const auto result = parseProbeReport(json);
        ASSERT_TRUE(result.has_value()) << result.error().description();
        EXPECT_TRUE(std::isnan(c.durationSec) ? std::isnan(result->durationSec) : result->durationSec == c.durationSec)
            << result->durationSec;
        EXPECT_EQ(result->title + "|" + result->artist, std::string(c.title) + "|" + c.artist);
    }
    for (const char* input : {"", "not json", R"([{"format":{}}])", "null", R"({"format":{}}} trailing)", "\xFF\xFE{}"}) {
        const auto result = parseProbeReport(input);
        EXPECT_TRUE(!result && result.error().description() == kUnreadable) << input;
    }
}

}  // namespace
}  // namespace quellmark
