#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "media/metadata_probe.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

const std::string kUnreadable = "ffprobe の解析に失敗しました";

struct ProbeCase {
    const char* name;
    std::string json;
    double durationSec;  // NaN: expect NaN
    std::string title;
    std::string artist;
};

TEST(ProbeReport, ReadsDurationAndTags) {
    const double nan = std::nan("");
    const ProbeCase cases[] = {
        {"plain report, tags trimmed",
         R"({"format":{"duration":"183.240000","tags":{"title":"  Song\n","artist":"Band"}}})", 183.24, "Song", "Band"},
        {"N/A duration", R"({"format":{"duration":"N/A"}})", nan, "", ""},
        {"negative duration", R"({"format":{"duration":"-1"}})", nan, "", ""},
        {"comma decimal", R"({"format":{"duration":"12,5"}})", nan, "", ""},
        {"infinite duration", R"({"format":{"duration":"inf"}})", nan, "", ""},
        {"duration as a number", R"({"format":{"duration":183.24}})", nan, "", ""},
        {"format not an object", R"({"format":["duration","1.0"]})", nan, "", ""},
        {"tags not an object", R"({"format":{"duration":"2.5","tags":"title"}})", 2.5, "", ""},
        {"upper-case names", R"({"format":{"tags":{"TITLE":"Loud","ARTIST":"Crowd"}}})", nan, "Loud", "Crowd"},
        {"exact name wins over other case", R"({"format":{"tags":{"TITLE":"upper","title":"lower"}}})", nan, "lower",
         ""},
        {"first other-case name in report order", R"({"format":{"tags":{"Title":"first","TITLE":"second"}}})", nan,
         "first", ""},
        {"non-string values passed over", R"({"format":{"tags":{"title":5,"TITLE":null,"tItLe":"string"}}})", nan,
         "string", ""},
        {"stream tags when format has none",
         R"({"streams":[{"tags":{"title":" Ogg ","ARTIST":"Vorbis"}}],"format":{"duration":"1.0"}})", 1.0, "Ogg",
         "Vorbis"},
        {"format tags win over stream tags",
         R"({"streams":[{"tags":{"title":"stream","artist":"stream"}}],"format":{"tags":{"TITLE":"format"}}})", nan,
         "format", "stream"},
        {"only the first stream", R"({"streams":[{},{"tags":{"title":"second"}}]})", nan, "", ""},
        {"streams not an array", R"({"streams":{"tags":{"title":"x"}}})", nan, "", ""},
        {"stream not an object", R"({"streams":["tags"]})", nan, "", ""},
        {"name that only looks alike", R"({"format":{"tags":{"titles":"x","title ":"y"}}})", nan, "", ""},
        {"non-ASCII title", R"({"format":{"tags":{"title":"\u3000曲名\u3000"}}})", nan, "曲名", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = parseProbeReport(c.json);
        ASSERT_TRUE(result.has_value()) << result.error().description();
        if (std::isnan(c.durationSec)) {
            EXPECT_TRUE(std::isnan(result->durationSec)) << result->durationSec;
        } else {
            EXPECT_DOUBLE_EQ(result->durationSec, c.durationSec);
        }
        EXPECT_EQ(result->title, c.title);
        EXPECT_EQ(result->artist, c.artist);
    }
}

TEST(ProbeReport, RejectsWhatIsNotAJsonObject) {
    const char* inputs[] = {"", "   ", "not json", "[]", R"([{"format":{}}])", R"("text")", "42", "null",
                            R"({"format":{"duration":"1.0")", R"({"format":{}}} trailing)", "\xFF\xFE{}"};
    for (const char* input : inputs) {
        SCOPED_TRACE(input);
        const auto result = parseProbeReport(input);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().description(), kUnreadable);
    }
}

struct CapturedProbe {
    const char* file;
    double durationSec;
    std::string title;
    std::string artist;
};

TEST(ProbeReport, ReadsCapturedReports) {
    const CapturedProbe cases[] = {
        {"ffprobe-mp3-format-tags.json", 1.044898, "Song Title", "The Band"},
        {"ffprobe-ogg-vorbis-stream-tags.json", 1.0, "Ogg Title", "Ogg Artist"},
        {"ffprobe-flac-uppercase-tags.json", 1.0, "Flac Title", "Flac Artist"},
        {"ffprobe-tags.json", 11.0, "Test Tone", "Quellmark Lab"},
        {"ffprobe-stream-tags-ogg.json", 11.0, "Test Tone", "Quellmark Lab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string json = test::readFile(std::string(QUELLMARK_TEST_DATA_DIR) + "/" + c.file);
        ASSERT_FALSE(json.empty());
        const auto result = parseProbeReport(json);
        ASSERT_TRUE(result.has_value());
        EXPECT_DOUBLE_EQ(result->durationSec, c.durationSec);
        EXPECT_EQ(result->title, c.title);
        EXPECT_EQ(result->artist, c.artist);

        // Every cut of the report either fails with the parse message or, when
        // the cut happens to leave a complete object, parses; it never crashes.
        for (size_t cut = 0; cut < json.size(); ++cut) {
            const auto partial = parseProbeReport(std::string_view(json).substr(0, cut));
            if (!partial) {
                EXPECT_EQ(partial.error().description(), kUnreadable);
            }
        }
    }
}

}  // namespace
}  // namespace quellmark
