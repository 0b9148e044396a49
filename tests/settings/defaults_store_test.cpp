#include "settings/defaults_store.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings/app_settings.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = ::getenv(name)) m_old = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name); }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DefaultsStore, StandardFolderFollowsXdgRules) {
    TempDir dir;
    const std::string config = (dir / "config").string();
    const std::string home = (dir / "home").string();
    struct Case {
        const char* xdg;
        fs::path expected;
    };
    const Case cases[] = {
        {config.c_str(), dir / "config" / "quellmark"},
        {nullptr, dir / "home" / ".config" / "quellmark"},
        {"", dir / "home" / ".config" / "quellmark"},
        {"relative/config", dir / "home" / ".config" / "quellmark"},
    };
    ScopedEnv homeEnv("HOME", home.c_str());
    for (const Case& c : cases) {
        ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
        EXPECT_EQ(DefaultsStore::standard().folder(), c.expected) << (c.xdg ? c.xdg : "(unset)");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    AppSettings settings;
    settings.targetLUFS = -16;
    DefaultsStore store = DefaultsStore::standard();
    settings.save(store);
    EXPECT_TRUE(fs::is_regular_file(dir / "config" / "quellmark" / "quellmark.settings"));
    EXPECT_EQ(AppSettings::load(), settings);
}

TEST(DefaultsStore, WritesAtomicallyIntoAPrivateFolder) {
    TempDir dir;
    DefaultsStore store(dir / "a" / "quellmark");
    ASSERT_TRUE(store.setData("quellmark.settings", "first"));
    ASSERT_TRUE(store.setData("quellmark.settings", "second, longer value"));
    ASSERT_TRUE(store.setData("quellmark.settings", "3"));
    EXPECT_EQ(store.data("quellmark.settings"), "3");
    EXPECT_EQ(namesIn(store.folder()), std::vector<std::string>{"quellmark.settings"});

    struct stat st{};
    ASSERT_EQ(::stat(store.folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(DefaultsStore, UnusableEntriesReadAsNothing) {
    TempDir dir;
    DefaultsStore store(dir.path());
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    writeFile(dir / "value", "bytes");
    for (const char* key : {"missing", "folder", "fifo", "", "..", "sub/value"}) {
        EXPECT_EQ(store.data(key), std::nullopt) << key;
    }
    EXPECT_FALSE(store.setData("../escape", "x"));
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escape"));
    EXPECT_FALSE(DefaultsStore("relative/folder").setData("value", "x"));
    EXPECT_EQ(store.data("value"), "bytes");
}

}  // namespace
}  // namespace quellmark
