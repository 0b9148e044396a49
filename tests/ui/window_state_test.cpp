#include "ui/window_state.h"

#include <gtest/gtest.h>

namespace quellmark {
namespace {

TEST(WindowState, RoundTripsAndSurvivesDamage) {
    const WindowState state{std::filesystem::path("/home/u/Musik/Café \"live\""), "AdnQywADAAA="};
    const std::string bytes = encodeWindowState(state);
    EXPECT_EQ(decodeWindowState(bytes), state);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_EQ(decodeWindowState(bytes.substr(0, cut)), WindowState{});
    // A folder JSON cannot hold unaltered is not remembered; the rest is.
    EXPECT_EQ(decodeWindowState(encodeWindowState({std::filesystem::path("/m/Caf\xE9"), "g"})), (WindowState{{}, "g"}));
    for (const char* damaged : {R"({"folder":7,"geometry":""})", R"({"folder":"","geometry":""})", R"({"folder":"/m"})", "[]"})
        EXPECT_EQ(decodeWindowState(damaged), WindowState{}) << damaged;
}

}  // namespace
}  // namespace quellmark
