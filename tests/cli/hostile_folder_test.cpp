// quellmark-cli with the real ffmpeg over a folder built to break it: shell
// syntax, option-like, line-feed, comma, quote and non-UTF-8 names, files that
// are not audio, an unreadable file and folder, a symbolic-link loop and a FIFO.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "output/analyze_result.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

std::string tone(const fs::path& target) {
    const std::string command = "/usr/bin/ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                "'sine=frequency=440:sample_rate=44100:duration=1' '" + target.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return readFile(target);
}

TEST(HostileFolder, EveryListedFileGetsItsRowAndNothingRunsAShell) {
    if (!fs::exists("/usr/bin/ffmpeg") || !fs::exists("/usr/bin/ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const fs::path music = dir / "music";
    const fs::path work = dir / "work";
    fs::create_directories(music / "locked");
    fs::create_directories(work);
    const std::string wav = tone(dir / "tone.wav");
    const std::string flac = tone(dir / "tone.flac");

    // File name → content and the status its row must have ("" = any status, "-" = no row).
    const struct {
        std::string name, content, status;
    } files[] = {
        {"$(touch pwned).wav", wav, "ok"},
        {"-rf.flac", flac, "ok"},
        {"line\nfeed.wav", wav, "ok"},
        {"comma, \"quoted\" 'single'.wav", wav, "ok"},
        {"caf\xE9.wav", wav, "-"},  // listed under its repaired name below
        {"empty.mp3", "", "error:decode_failed"},
        {"random.flac", std::string("\x93\x01\xFF\x00\x42garbage\x7F\x80", 14) + std::string(4000, '\xA5'),
         "error:decode_failed"},
        {"truncated.flac", flac.substr(0, 3000), ""},
        {"text.wav", "this is not audio\n", "error:decode_failed"},
        {"unreadable.wav", wav, "error:decode_failed"},
        {"locked/inside.wav", wav, "-"},
    };
    for (const auto& file : files) writeFile(music / file.name, file.content);
    ::chmod((music / "unreadable.wav").c_str(), 0);
    ::chmod((music / "locked").c_str(), 0);
    fs::create_symlink("loop.mp3", music / "loop.mp3");
    fs::create_directory_symlink("..", music / "up");
    ASSERT_EQ(::mkfifo((music / "fifo.mp3").c_str(), 0644), 0);
    if (::geteuid() == 0) {  // the run goes to the user nobody, who must own the folders
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        for (const fs::path& owned : {music, work, dir / "config"}) {
            fs::create_directories(owned);
            ASSERT_EQ(std::system(("chown -R -h 65534:65534 '" + owned.string() + "'").c_str()), 0);
        }
    }

    const CliOutcome outcome =
        runCli({"--ffmpeg", "/usr/bin/ffmpeg", "--jobs", "2", music.string()},
               {{"XDG_CONFIG_HOME", (dir / "config").string()}, {"LC_ALL", "C.UTF-8"}}, work, ErrorSink::nobody);
    if (outcome.exitStatus == kCannotDropRoot) GTEST_SKIP() << "cannot become the user nobody here";
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;

    const PreviousRows rows = parsePreviousRows(readFile(music / "volume_gains.csv"));
    std::set<std::string> listed, expected{"caf\xEF\xBF\xBD.wav"};
    for (const auto& [path, row] : rows) listed.insert(path);
    for (const auto& file : files) {
        if (file.status != "-") expected.insert(file.name);
        if (!file.status.empty() && file.status != "-" && rows.contains(file.name)) {
            EXPECT_EQ(rows.at(file.name).status, file.status) << file.name;
        }
    }
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(rows.at("caf\xEF\xBF\xBD.wav").status, "ok");
    for (const auto& entry : fs::recursive_directory_iterator(dir.path(), fs::directory_options::skip_permission_denied)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("pwned")) << entry.path();
    }
    EXPECT_FALSE(fs::exists("pwned"));
}

}  // namespace
}  // namespace quellmark::test
