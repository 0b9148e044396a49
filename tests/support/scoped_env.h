#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace quellmark::test {

/// Sets (or, given nullptr, clears) an environment variable for one scope and
/// puts the old value back afterwards, so one test's PATH never leaks into the next.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = ::getenv(name)) m_old = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

}  // namespace quellmark::test
