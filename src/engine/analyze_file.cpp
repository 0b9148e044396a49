#include "engine/analyze_file.h"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "base/text.h"
#include "media/loudness.h"
#include "media/metadata_probe.h"
#include "media/tool_locator.h"
#include "output/csv_writer.h"

namespace quellmark {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Gains and loudness values sit on a 0.1 dB grid, so two of them "differ by
// more than 0.1" only when they are at least two steps apart; the slack keeps
// binary noise (1.1 - 1.0 > 0.1 in doubles) from rewriting agreeing rows.
constexpr double kGainAgreementDb = 0.1 + 1e-6;

std::string fileNameText(const std::filesystem::path& file) {
    return repairUtf8(file.filename().native());
}

// The file name without its extension: std::filesystem's rule, where a
// leading dot does not start an extension ("a.tar.gz" → "a.tar", ".x" → ".x").
std::string titleFromFileName(const std::filesystem::path& file) {
    return repairUtf8(file.filename().stem().native());
}

double clampGain(double gain, double clampDB) {
    if (gain <= -clampDB) gain = -clampDB;
    if (clampDB < gain) gain = clampDB;
    return gain;
}

ResultEntry failedEntry(const std::filesystem::path& file, const std::string& relativePath, const Error& error) {
    const JobError* job = error.jobError();
    const bool notFound = job && job->kind == JobError::Kind::binaryNotFound;
    auto failed = std::make_shared<AnalyzeResult>();
    AnalyzeResult& row = *failed;
    row.relative_path = relativePath;
    row.file_name = fileNameText(file);
    row.title = titleFromFileName(file);
    row.duration_sec = kNaN;
    row.measured_lufs = kNaN;
    row.true_peak_dbfs = kNaN;
    row.gain_db = 0;
    row.status = notFound ? RowStatus::ffmpegNotFound : RowStatus::decodeFailed;
    row.leading_silence_sec = 0;
    row.trailing_silence_sec = 0;
    row.hasSilenceMeasurement = true;
    return ResultEntry{std::move(failed), error.reason(), RowOrigin::measured};
}

ResultEntry measuredEntry(const std::filesystem::path& file, const std::string& relativePath,
                          const AppSettings& settings, const ToolPaths& tools) {
    // A failed probe costs only the tags and the duration; the measurement
    // decides whether the file is readable at all.
    ProbeResult probe{kNaN, {}, {}};
    if (auto probed = probeMetadata(file, tools.ffprobe)) probe = *probed;

    auto measured = measureLoudness(file, tools.ffmpeg, probe.durationSec);
    if (!measured) return failedEntry(file, relativePath, measured.error());
    const LoudnessMeasurement& m = *measured;

    auto measuredRow = std::make_shared<AnalyzeResult>();
    AnalyzeResult& row = *measuredRow;
    row.relative_path = relativePath;
    row.file_name = fileNameText(file);
    row.title = probe.title.empty() ? titleFromFileName(file) : probe.title;
    row.artist = probe.artist;
    row.duration_sec = roundToTenth(effectiveDuration(probe.durationSec, m.decodedSec));
    row.measured_lufs = roundToTenth(m.integratedLUFS);
    row.true_peak_dbfs = roundToTenth(m.truePeakDBFS);
    row.gain_db = gainFor(m.integratedLUFS, settings.targetLUFS, settings.clampDB);
    row.leading_silence_sec = roundToTenth(m.leadingSilenceSec);
    row.trailing_silence_sec = roundToTenth(m.trailingSilenceSec);
    row.status = RowStatus::ok;
    row.hasSilenceMeasurement = true;
    return ResultEntry{std::move(measuredRow), {}, RowOrigin::measured};
}

bool isAmbiguousPath(const std::string& relativePath, const FileTaskContext& context) {
    return context.ambiguousPaths && context.ambiguousPaths->contains(relativePath);
}

Result<void> writeAndCount(ResultEntry entry, const std::optional<MetaEntry>& stamp,
                           const FileTaskContext& context, std::stop_token stop) {
    Result<void> written;
    context.onMainThread([&] {
        written = context.writer->write(*entry.row, stamp, stop);
        if (written) context.addRows(std::span(&entry, 1), true);
    });
    return written;
}

}  // namespace

std::string makeRelativePath(std::string_view file, std::string_view folderPath) {
    std::string_view path = file;
    if (!path.starts_with(folderPath)) return std::string(path.substr(path.rfind('/') + 1));
    path.remove_prefix(folderPath.size());
    if (path.starts_with('/')) path.remove_prefix(1);
    return std::string(path);
}

// Names that are not UTF-8 can decode to one text ("Caf\xE9" and "Caf\xE8"
// both read "Caf\uFFFD"); such a text cannot key one file's previous state.
// Distinct files have distinct relative bytes, which read as one text only
// through a replacement character (or when a file lies outside the folder's
// text and is keyed by its name alone), so only those few are compared.
std::set<std::string> sharedRelativePaths(const FileList& files, std::string_view folderPath) {
    std::unordered_map<std::string, int> seen;
    std::set<std::string> shared;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string_view file = files[i];
        const std::string relative = makeRelativePath(file, folderPath);
        const bool keyedByName = !file.starts_with(folderPath);
        if (!keyedByName && isValidUtf8(relative) && relative.find("\xEF\xBF\xBD") == std::string::npos) continue;
        std::string text = repairUtf8(relative);
        if (++seen[text] == 2) shared.insert(std::move(text));
    }
    return shared;
}

double roundToTenth(double x) {
    if (!std::isfinite(x)) return x;
    const double rounded = std::round(x * 10) / 10;
    // -0.04 rounds to -0; a "-0" gain in the CSV would read as a correction.
    return rounded == 0 ? 0.0 : rounded;
}

double gainFor(double measuredLUFS, double targetLUFS, double clampDB) {
    if (std::isnan(measuredLUFS)) return 0;
    return roundToTenth(clampGain(targetLUFS - measuredLUFS, clampDB));
}

std::optional<CarriedOver> carriedOverFor(const std::string& relativePath, const MetaEntry& stamp,
                                          const FileTaskContext& context) {
    if (!context.settings.incremental) return std::nullopt;
    // Two files that read as one relative path share one previous row; taking
    // it for either could give one file the other's gain.
    if (stamp.size < 0 || isAmbiguousPath(relativePath, context)) return std::nullopt;
    const auto unchanged = [&stamp](const PreviousResults::Entry& entry) {
        return isUnchanged(entry.row, entry.stamp, stamp);
    };
    std::shared_ptr<PreviousResults> owner;
    PreviousResults::Entry* previous = nullptr;
    RowOrigin origin = RowOrigin::carried;
    if (context.previous) {
        previous = context.previous->find(relativePath);
        if (previous && unchanged(*previous)) {
            owner = context.previous;
        } else {
            previous = nullptr;
        }
    }
    if (!previous && context.subfolders) {
        auto found = context.subfolders->find(relativePath, unchanged);
        if (!found) return std::nullopt;
        owner = std::move(found->owner);
        previous = found->entry;
        // The entry serves this one file: it takes the file's path below the
        // run's folder, and no other look-up may take it any more.
        previous->row.relative_path = relativePath;
        previous->stamp.reset();
        origin = RowOrigin::adopted;
    }
    if (!previous) return std::nullopt;
    // The row may come from a run with another target or clamp: keep every
    // measured value, but never a gain towards a target the user left.
    AnalyzeResult& row = previous->row;
    const double wanted = gainFor(row.measured_lufs, context.settings.targetLUFS, context.settings.clampDB);
    if (std::isnan(row.gain_db) || std::fabs(row.gain_db - wanted) > kGainAgreementDb) row.gain_db = wanted;
    return CarriedOver{std::shared_ptr<const AnalyzeResult>(std::move(owner), &row), origin};
}

Result<void> analyzeFile(const std::filesystem::path& file, const FileTaskContext& context,
                         std::stop_token stop, bool* passedCancellationPoint) {
    if (stop.stop_requested()) return fail(CancellationError{});
    if (passedCancellationPoint) *passedCancellationPoint = true;

    const std::string fileName = fileNameText(file);
    const std::string relativePath = repairUtf8(makeRelativePath(file.native(), context.folderPath));
    const MetaEntry stamp = fileStamp(file);

    // An unchanged file costs one hand-off instead of two: a rerun over a
    // large library is bound by these hops, and nothing runs for the file in
    // between that anyone could watch.
    if (auto carried = carriedOverFor(relativePath, stamp, context)) {
        Result<void> written;
        context.onMainThread([&] {
            context.setCurrentFileName(fileName);
            written = context.writer->write(*carried->row, stamp, stop);
            ResultEntry entry{std::move(carried->row), {}, carried->origin};
            if (written) context.addRows(std::span(&entry, 1), true);
        });
        return written;
    }

    context.onMainThread([&] { context.setCurrentFileName(fileName); });
    ResultEntry entry = measuredEntry(file, relativePath, context.settings, context.tools);
    std::optional<MetaEntry> remembered;
    if (stamp.size >= 0 && entry.row->status == RowStatus::ok && !isAmbiguousPath(relativePath, context)) {
        remembered = stamp;
    }
    return writeAndCount(std::move(entry), remembered, context, stop);
}

}  // namespace quellmark
