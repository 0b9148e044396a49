#include "support/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace quellmark::test {

int waitStatusOfChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) std::_Exit(body());
    int status = 0;
    if (::waitpid(child, &status, 0) != child) throw std::runtime_error("waitpid failed");
    return status;
}

}  // namespace quellmark::test
