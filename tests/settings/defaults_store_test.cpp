#include "settings/defaults_store.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings/app_settings.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

TEST(DefaultsStore, StandardFolderFollowsXdgRules) {
    TempDir dir;
    const std::string config = (dir / "config").string();
    const std::string home = (dir / "home").string();
    const std::pair<const char*, fs::path> cases[] = {
        {config.c_str(), dir / "config" / "quellmark"},
        {nullptr, dir / "home" / ".config" / "quellmark"},
        {"", dir / "home" / ".config" / "quellmark"},
        {"relative/config", dir / "home" / ".config" / "quellmark"},
    };
    ScopedEnv homeEnv("HOME", home.c_str());
    for (const auto& [value, expected] : cases) {
        ScopedEnv xdg("XDG_CONFIG_HOME", value);
        EXPECT_EQ(DefaultsStore::standard().folder(), expected) << (value ? value : "(unset)");
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
    EXPECT_EQ(std::distance(fs::directory_iterator(store.folder()), {}), 1);  // no temporary left behind

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
