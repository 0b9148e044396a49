// quellmark-cli with the real ffmpeg and ffprobe over a folder built to break
// it: shell syntax, option-like, line-feed, comma, quote and non-UTF-8 names,
// files that are not audio, an unreadable file and folder, a symbolic-link
// loop, a FIFO and a hidden file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "media/process_runner.h"
#include "output/analyze_result.h"
#include "support/temp_dir.h"

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

/// Renders a lavfi source (a tone) into `target`, whose name gives the format; its bytes.
std::string makeAudio(const fs::path& target, const std::string& source) {
    fs::create_directories(target.parent_path());
    const std::string command =
        "/usr/bin/ffmpeg -nostdin -loglevel error -y -f lavfi -i '" + source + "' '" + target.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return readFile(target);
}

TEST(HostileFolder, EveryListedFileGetsItsRowAndNothingRunsAShell) {
    if (!fs::exists("/usr/bin/ffmpeg") || !fs::exists("/usr/bin/ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const fs::path music = dir / "music";
    const std::string wav = makeAudio(dir / "tone.wav", "sine=frequency=440:sample_rate=44100:duration=1");
    const std::string flac = makeAudio(dir / "tone.flac", "sine=frequency=440:sample_rate=44100:duration=1");

    // File name → content and the status its row must have ("" = any status, "-" = no row).
    const struct { std::string name, content, status; } files[] = {
        {"$(touch pwned).wav", wav, "ok"},
        {"-rf.flac", flac, "ok"},
        {"line\nfeed.wav", wav, "ok"},
        {"comma, \"quoted\" 'single'.wav", wav, "ok"},
        {"caf\xE9.wav", wav, "-"},  // listed under its repaired name below
        {"empty.mp3", "", "error:decode_failed"},
        {"random.flac", std::string("\x93\x01\xFF\x00\x42garbage\x7F\x80", 14) + std::string(4000, '\xA5'),
         "error:decode_failed"},
        {"truncated.flac", flac.substr(0, 3000), ""},
        {"unreadable.wav", wav, "error:decode_failed"},
        {"locked/inside.wav", wav, "-"},
        {".hidden.wav", wav, "-"},
    };
    for (const auto& file : files) writeFile(music / file.name, file.content);
    ::chmod((music / "unreadable.wav").c_str(), 0);
    ::chmod((music / "locked").c_str(), 0);
    fs::create_symlink("loop.mp3", music / "loop.mp3");
    fs::create_directory_symlink("..", music / "up");
    ASSERT_EQ(::mkfifo((music / "fifo.mp3").c_str(), 0644), 0);
    fs::create_directories(dir / "work");
    fs::create_directories(dir / "config");
    std::vector<std::string> command = {"--chdir", (dir / "work").string(),
                                        "XDG_CONFIG_HOME=" + (dir / "config").string(), "LC_ALL=C.UTF-8"};
    std::string program = QUELLMARK_CLI_PATH;
    if (::geteuid() == 0) {
        // Root reads files whatever their permission bits: the run goes to the
        // user nobody, who must own the folders and reach a copy of the program
        // (the build may lie below a folder that user cannot enter).
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
        for (const char* owned : {"music", "work", "config"}) {
            ASSERT_EQ(std::system(("chown -R -h 65534:65534 '" + (dir / owned).string() + "'").c_str()), 0);
        }
        fs::copy_file(program, dir / "quellmark-cli");
        program = (dir / "quellmark-cli").string();
        command.insert(command.end(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    command.insert(command.end(), {program, "--ffmpeg", "/usr/bin/ffmpeg", "--jobs", "2", music.string()});
    const auto outcome = runProcessCollectingStatus("/usr/bin/env", command, 120);
    ASSERT_TRUE(outcome && outcome->status == 0) << (outcome ? outcome->lastStderrLine : outcome.error().description());

    std::map<std::string, std::string> expected{{"caf\xEF\xBF\xBD.wav", "ok"}}, listed;
    for (const auto& file : files) {
        if (file.status != "-") expected[file.name] = file.status;
    }
    for (const auto& [path, row] : parsePreviousRows(readFile(music / "volume_gains.csv"))) {
        listed[path] = expected.contains(path) && expected[path].empty() ? "" : statusText(row.status);
    }
    EXPECT_EQ(listed, expected);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path(), fs::directory_options::skip_permission_denied)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("pwned")) << entry.path();
    }
}

}  // namespace
}  // namespace quellmark::test
