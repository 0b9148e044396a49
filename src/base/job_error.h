#pragma once
// The one error type of the core. Every layer returns failures as values of
// `Error`.

#include <expected>
#include <string>
#include <system_error>
#include <variant>

namespace quellmark {

/// Failures that the analysis itself defines, with their user-visible texts.
struct JobError {
    enum class Kind { binaryNotFound, analysisFailed, notInitialized };

    Kind kind = Kind::analysisFailed;
    /// Tool name for binaryNotFound, the message for analysisFailed, empty otherwise.
    std::string payload;
    /// What the tool itself said when it failed (its last line on standard
    /// error), or why it was stopped; empty when there is nothing to add. Not
    /// part of description().
    std::string detail;

    static JobError binaryNotFound(std::string toolName);
    static JobError analysisFailed(std::string message);
    static JobError notInitialized();

    /// The exact Japanese text shown to the user.
    std::string description() const;

    friend bool operator==(const JobError&, const JobError&) = default;
};

/// The cooperative-cancellation outcome; the run treats it apart from all others.
struct CancellationError {
    friend bool operator==(const CancellationError&, const CancellationError&) = default;
};

/// A JobError, an operating-system error, or the cancellation error.
class Error {
public:
    Error(JobError error) : m_value(std::move(error)) {}
    Error(std::error_code code) : m_value(code) {}
    Error(CancellationError error) : m_value(error) {}

    /// The system error of errno value `errnum`.
    static Error fromErrno(int errnum);

    bool isCancellation() const { return std::holds_alternative<CancellationError>(m_value); }
    /// Null unless this is a JobError.
    const JobError* jobError() const { return std::get_if<JobError>(&m_value); }
    /// Null unless this is a system error.
    const std::error_code* systemError() const { return std::get_if<std::error_code>(&m_value); }

    /// What the user sees: the JobError's text, the system's message, or a
    /// fixed text for cancellation.
    std::string description() const;

    /// The description, then ": " and the JobError's detail when there is one,
    /// as one line of valid UTF-8: line breaks and control characters become
    /// spaces, and the detail is cut to 300 characters. For lists of failures.
    std::string reason() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    std::variant<JobError, std::error_code, CancellationError> m_value;
};

template <class T>
using Result = std::expected<T, Error>;

/// Shorthand for returning a failure: `return fail(JobError::notInitialized());`
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

}  // namespace quellmark
