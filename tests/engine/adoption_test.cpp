// A run over a folder whose subfolders were measured on their own.
#include <algorithm>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "engine_run_support.h"

namespace quellmark {
namespace {

class AdoptionTest : public ::testing::Test {
protected:
    void SetUp() override { makeArchive(dir.path()); }
    /// A top file and three subfolders, each measured on its own.
    void makeArchive(const fs::path& root) {
        writeFakeAudio(root / "top.mp3", "lufs=-20\n");
        writeFakeAudio(root / "A/x.mp3", "lufs=-30\n");
        writeFakeAudio(root / "A/CD1/t.mp3", "lufs=-16\n");
        writeFakeAudio(root / "B/C/y.flac", "lufs=-21\n");
        for (const char* folder : {"A", "A/CD1", "B/C"}) run(root / folder);
    }
    void run(const fs::path& folder, AppSettings settings = fakeToolSettings(1)) { harness.run(folder, settings); }
    Names measured() {
        Names files = harness.rows(RowOrigin::measured);
        std::ranges::sort(files);
        return files;
    }
    // The top CSV's rows: path, title, gain.
    Names rows() {
        Names lines;
        for (const auto& [path, row] : parsePreviousRows(readFile(dir / "volume_gains.csv"))) {
            lines.push_back(path + " " + row.title + " " + formatNumber(row.gain_db));
        }
        std::ranges::sort(lines);
        return lines;
    }
    // Every file below the subfolders, with its bytes.
    std::map<std::string, std::string> subfolderFiles() {
        std::map<std::string, std::string> files;
        for (const char* folder : {"A", "B"}) {
            for (const auto& entry : fs::recursive_directory_iterator(dir / folder)) {
                if (entry.is_regular_file()) files[entry.path()] = readFile(entry.path());
            }
        }
        return files;
    }
    void replaceInFile(const fs::path& file, const std::string& from, const std::string& to) {
        std::string text = readFile(file);
        text.replace(text.find(from), from.size(), to);
        writeFile(file, text);
    }

    TempDir dir;
    EngineHarness harness;
};

TEST_F(AdoptionTest, UnchangedRowsAreTakenFromTheNearestSubfolderWithThePathBelowTheRunFolder) {
    // Both A and A/CD1 carry t.mp3 over: the nearer one's row is taken.
    replaceInFile(dir / "A/volume_gains.csv", "CD1/t.mp3,t.mp3,t,", "CD1/t.mp3,t.mp3,far,");
    replaceInFile(dir / "A/CD1/volume_gains.csv", "t.mp3,t.mp3,t,", "t.mp3,t.mp3,near,");
    const auto before = subfolderFiles();

    AppSettings settings = fakeToolSettings(1);
    settings.targetLUFS = -14;
    run(dir.path(), settings);
    EXPECT_EQ(measured(), Names{"top.mp3"});
    EXPECT_EQ(rows(), (Names{"A/CD1/t.mp3 near 2", "A/x.mp3 x 12", "B/C/y.flac y 7", "top.mp3 top 6"}));
    const EngineSnapshot done = harness.snapshot();
    EXPECT_EQ(std::tie(done.processedCount, done.errorCount), std::make_tuple(4, 0));
    EXPECT_EQ((*done.results)[0].origin, RowOrigin::adopted);
    EXPECT_EQ(subfolderFiles(), before);

    // The top folder now carries everything by itself.
    run(dir.path(), settings);
    EXPECT_EQ(measured(), Names{});
    EXPECT_EQ((*harness.snapshot().results)[0].origin, RowOrigin::carried);
    EXPECT_EQ(rows(), (Names{"A/CD1/t.mp3 near 2", "A/x.mp3 x 12", "B/C/y.flac y 7", "top.mp3 top 6"}));
}

TEST_F(AdoptionTest, WhatASubfolderCannotVouchForIsMeasured) {
    const struct { const char* what; std::function<void(const fs::path&)> change; bool incremental; Names measured; } cases[] = {
        {"a changed file", [](const fs::path& d) { writeFakeAudio(d / "A/x.mp3", "lufs=-29\n"); }, true,
         {"A/x.mp3", "top.mp3"}},
        {"a damaged meta file", [](const fs::path& d) { writeFile(d / "B/C/volume_gains.csv.meta.json", "{\"y"); },
         true, {"B/C/y.flac", "top.mp3"}},
        {"a missing meta file", [](const fs::path& d) { fs::remove(d / "B/C/volume_gains.csv.meta.json"); }, true,
         {"B/C/y.flac", "top.mp3"}},
        {"a full run", [](const fs::path&) {}, false, {"A/CD1/t.mp3", "A/x.mp3", "B/C/y.flac", "top.mp3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir archive;
        makeArchive(archive.path());
        c.change(archive.path());
        run(archive.path(), fakeToolSettings(1, c.incremental));
        EXPECT_EQ(measured(), c.measured);
        EXPECT_EQ(csvPaths(archive / "volume_gains.csv").size(), 4u);
    }
}

}  // namespace
}  // namespace quellmark
