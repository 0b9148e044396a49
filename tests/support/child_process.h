#pragma once

#include <functional>

namespace quellmark::test {

/// Runs `body` in a forked child that exits with its return value, and gives
/// the child's raw wait status. For tests that must crash a process or drop
/// root without harming the test binary itself.
int waitStatusOfChild(const std::function<int()>& body);

}  // namespace quellmark::test
