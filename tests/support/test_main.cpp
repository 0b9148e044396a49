// Test entry point. Adopts the environment's locale the way Qt does at start,
// so running a test binary under LC_ALL=de_DE.UTF-8 checks that no byte of the
// CSV, the meta file or the settings depends on the process locale.
#include <clocale>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
