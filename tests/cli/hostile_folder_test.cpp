// quellmark-cli with the real ffmpeg over a folder built to break it: shell
// syntax, option-like, line-feed, comma, quote and non-UTF-8 names, files that
// are not audio, an unreadable file and folder, a symbolic-link loop and a FIFO.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "output/analyze_result.h"
#include "support/temp_dir.h"

extern char** environ;

namespace quellmark::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr int kCannotDropPrivileges = 125;

// Root reads files whatever their permission bits, so the run goes to the
// unprivileged user "nobody" then. Returns the exit status, or -1.
int runCliAs(const std::vector<std::string>& arguments, const fs::path& configHome, const fs::path& workingDirectory,
             std::string& err) {
    const fs::path errFile = workingDirectory / "stderr";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            std::_Exit(kCannotDropPrivileges);
        }
        const int errFd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nullFd = ::open("/dev/null", O_RDWR);
        if (errFd < 0 || nullFd < 0 || ::chdir(workingDirectory.c_str()) != 0) std::_Exit(126);
        ::dup2(nullFd, STDIN_FILENO);
        ::dup2(nullFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        ::setenv("LC_ALL", "C.UTF-8", 1);
        std::vector<std::string> argv{QUELLMARK_CLI_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> pointers;
        for (std::string& text : argv) pointers.push_back(text.data());
        pointers.push_back(nullptr);
        ::execve(pointers[0], pointers.data(), environ);
        std::_Exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    err = readFile(errFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void makeTone(const fs::path& target, const char* format) {
    const std::string command = "/usr/bin/ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                "'sine=frequency=440:sample_rate=44100:duration=1' -f " +
                                std::string(format) + " '" + target.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

bool anyPwned(const fs::path& root) {
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied);
         it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().filename().string().find("pwned") == 0) return true;
    }
    return false;
}

TEST(HostileFolder, EveryListedFileGetsItsRowAndNothingRunsAShell) {
    if (!fs::exists("/usr/bin/ffmpeg") || !fs::exists("/usr/bin/ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const fs::path music = dir / "music";
    const fs::path work = dir / "work";
    fs::create_directories(music / "locked");
    fs::create_directories(work);
    makeTone(dir / "tone.wav", "wav");
    makeTone(dir / "tone.flac", "flac");
    const std::string wav = readFile(dir / "tone.wav");
    const std::string flac = readFile(dir / "tone.flac");

    // File name → content and the status its row must have ("" = any status).
    const struct {
        std::string name;
        std::string content;
        std::string status;
    } files[] = {
        {"$(touch pwned).wav", wav, "ok"},
        {"-rf.flac", flac, "ok"},
        {"line\nfeed.wav", wav, "ok"},
        {"comma, \"quoted\" 'single'.wav", wav, "ok"},
        {"caf\xE9.wav", wav, "ok"},
        {"empty.mp3", "", "error:decode_failed"},
        {"random.flac", std::string("\x93\x01\xFF\x00\x42garbage\x7F\x80", 14) + std::string(4000, '\xA5'),
         "error:decode_failed"},
        {"truncated.flac", flac.substr(0, 3000), ""},
        {"text.wav", "this is not audio\n", "error:decode_failed"},
        {"unreadable.wav", wav, "error:decode_failed"},
        {"locked/inside.wav", wav, ""},
    };
    for (const auto& file : files) writeFile(music / file.name, file.content);
    ::chmod((music / "unreadable.wav").c_str(), 0);
    ::chmod((music / "locked").c_str(), 0);
    fs::create_symlink("loop.mp3", music / "loop.mp3");
    fs::create_directory_symlink("..", music / "up");
    ASSERT_EQ(::mkfifo((music / "fifo.mp3").c_str(), 0644), 0);
    if (::geteuid() == 0) {
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        for (const fs::path& owned : {music, work, dir / "config"}) {
            fs::create_directories(owned);
            ASSERT_EQ(std::system(("chown -R -h 65534:65534 '" + owned.string() + "'").c_str()), 0);
        }
    }

    std::string err;
    const int status = runCliAs({"--ffmpeg", "/usr/bin/ffmpeg", "--jobs", "2", music.string()}, dir / "config", work, err);
    if (status == kCannotDropPrivileges) GTEST_SKIP() << "cannot become the user nobody here";
    ASSERT_EQ(status, 0) << err;

    const PreviousRows rows = parsePreviousRows(readFile(music / "volume_gains.csv"));
    std::set<std::string> listed;
    for (const auto& [path, row] : rows) listed.insert(path);
    const std::set<std::string> expected = {"$(touch pwned).wav", "-rf.flac", "line\nfeed.wav",
                                            "comma, \"quoted\" 'single'.wav", "caf\xEF\xBF\xBD.wav", "empty.mp3",
                                            "random.flac", "truncated.flac", "text.wav", "unreadable.wav"};
    EXPECT_EQ(listed, expected);
    for (const auto& file : files) {
        const auto row = rows.find(file.name);
        if (row == rows.end() || file.status.empty()) continue;
        EXPECT_EQ(row->second.status, file.status) << file.name;
    }
    EXPECT_EQ(rows.at("caf\xEF\xBF\xBD.wav").status, "ok");
    EXPECT_FALSE(anyPwned(dir.path()));
    EXPECT_FALSE(fs::exists("pwned"));
}

}  // namespace
}  // namespace quellmark::test
