#include "base/job_error.h"

#include <cstring>

namespace quellmark {

JobError JobError::binaryNotFound(std::string toolName) {
    return {Kind::binaryNotFound, std::move(toolName)};
}

JobError JobError::analysisFailed(std::string message) {
    return {Kind::analysisFailed, std::move(message)};
}

JobError JobError::notInitialized() { return {Kind::notInitialized, {}}; }

std::string JobError::description() const {
    switch (kind) {
        case Kind::binaryNotFound:
            return payload + " が見つかりません。詳細設定でパスを指定してください。";
        case Kind::analysisFailed:
            return payload;
        case Kind::notInitialized:
            return "CSV書き込み先が初期化されていません";
    }
    return payload;
}

Error Error::fromErrno(int errnum) { return Error(std::error_code(errnum, std::system_category())); }

std::string Error::description() const {
    if (const auto* job = jobError()) return job->description();
    if (const auto* code = systemError()) return code->message();
    return "キャンセルされました。";
}

}  // namespace quellmark
