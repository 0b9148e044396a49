// FIFOs planted under the names of the result files: nothing may block on them.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "output/csv_writer.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;

TEST(SpecialFiles, ResultFilesThatAreFifosReadAsMissing) {
    TempDir dir;
    for (const char* name : {"volume_gains.csv", "volume_gains.csv.meta.json"}) {
        ASSERT_EQ(::mkfifo((dir / name).c_str(), 0644), 0);
    }
    EXPECT_TRUE(loadPreviousRows(dir / "volume_gains.csv").empty());
    EXPECT_TRUE(loadPreviousMeta(dir / "volume_gains.csv.meta.json").empty());
}

TEST(SpecialFiles, WriterReplacesFifosInsteadOfBlockingOnThem) {
    const struct {
        const char* name;
        bool plantedAfterBegin;
    } cases[] = {
        {"volume_gains.csv.tmp", false},
        {"volume_gains.csv.meta.journal", true},
        {"volume_gains.csv.meta.json.tmp", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        CSVWriter writer(dir / "volume_gains.csv");
        const auto plant = [&] { ASSERT_EQ(::mkfifo((dir / c.name).c_str(), 0644), 0); };
        if (!c.plantedAfterBegin) plant();
        ASSERT_TRUE(writer.begin());
        if (c.plantedAfterBegin) plant();
        for (int i = 0; i < 64; ++i) {
            const std::string path = "f" + std::to_string(i);
            ASSERT_TRUE(writer.write({path, path, "", "", 1, -20, -1, 2, "ok", 0, 0, true}, MetaEntry{1, 1}));
        }
        ASSERT_TRUE(writer.finish());
        EXPECT_EQ(loadPreviousRows(dir / "volume_gains.csv").size(), 64u);
        EXPECT_EQ(loadPreviousMeta(dir / "volume_gains.csv.meta.json").size(), 64u);
        EXPECT_FALSE(fs::exists(dir / "volume_gains.csv.meta.journal"));
    }
}

}  // namespace
}  // namespace quellmark
