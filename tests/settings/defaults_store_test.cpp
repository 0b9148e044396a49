#include "settings/defaults_store.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings/app_settings.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace {

namespace fs = std::filesystem;

// Writes replace the value in one step, in a folder of mode 0700; reads take
// regular files under plain names only, so a FIFO planted there cannot block.
TEST(DefaultsStore, WritesAtomicallyIntoAPrivateFolderAndReadsOnlyPlainFiles) {
    test::TempDir dir;
    DefaultsStore store(dir / "a/quellmark");
    for (const char* value : {"first, longer value", "2"}) ASSERT_TRUE(store.setData("value", value));
    EXPECT_EQ(store.data("value"), "2");
    EXPECT_EQ(std::distance(fs::directory_iterator(store.folder()), {}), 1);  // no temporary left behind
    struct stat st{};
    EXPECT_TRUE(::stat(store.folder().c_str(), &st) == 0 && (st.st_mode & 0777) == 0700) << std::oct << st.st_mode;

    test::writeFile(store.folder() / "folder/value", "x");
    ASSERT_EQ(::mkfifo((store.folder() / "fifo").c_str(), 0600), 0);
    for (const char* key : {"missing", "folder", "fifo", "", "..", "folder/value"}) EXPECT_EQ(store.data(key), std::nullopt) << key;
    EXPECT_TRUE(!store.setData("../escape", "x") && !fs::exists(dir / "a/escape"));
    EXPECT_FALSE(DefaultsStore("relative/folder").setData("value", "x"));
}

}  // namespace
}  // namespace quellmark
