// File stamps and the unchanged test. The meta file and journal codecs of the
// same header live in meta_file.cpp.
#include "output/meta_entry.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace quellmark {

double stampSeconds(std::int64_t tvSec, std::int64_t tvNsec) {
    return static_cast<double>(tvSec) + static_cast<double>(tvNsec) / 1e9;
}

std::uint64_t mtimeNsFromSeconds(double seconds) {
    // Written as a negated comparison so that NaN falls through to 0 as well.
    if (!(seconds >= 0)) return 0;
    const double nanoseconds = seconds * 1e9;
    // From the year 2554 on the product no longer fits; converting it would be
    // undefined behaviour. Such a time is treated like one that cannot be read
    // (0), the same value a time before 1970 gets, so the file still compares
    // equal to itself across runs. Infinity lands here too.
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (nanoseconds >= kTwoTo64) return 0;
    return static_cast<std::uint64_t>(nanoseconds);
}

MetaEntry fileStamp(const std::filesystem::path& path) { return fileStamp(path.native()); }

namespace {

MetaEntry stampOf(const struct stat& st) {
    // Always through the double seconds: earlier runs stored exactly this
    // value, and integer nanoseconds would differ for many real stamps.
    const double seconds = stampSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    return MetaEntry{static_cast<std::int64_t>(st.st_size), mtimeNsFromSeconds(seconds)};
}

}  // namespace

MetaEntry fileStamp(const std::string& path) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return MetaEntry{-1, 0};
    return stampOf(st);
}

MetaEntry fileStampAt(int folderFd, const char* name) {
    struct stat st{};
    if (::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return MetaEntry{-1, 0};
    return stampOf(st);
}

bool isUnchanged(const AnalyzeResult& row, const std::optional<MetaEntry>& stamp, const MetaEntry& current) {
    if (row.status != RowStatus::ok) return false;
    // A row from a CSV without the silence columns lacks data the new CSV needs.
    if (!row.hasSilenceMeasurement) return false;
    // An unreadable file (size -1) is never taken as unchanged, even when a
    // hand-edited meta file happens to hold the same -1.
    if (!stamp || current.size < 0) return false;
    return *stamp == current;
}

}  // namespace quellmark
