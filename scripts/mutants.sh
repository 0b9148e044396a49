#!/bin/bash
# Proves that the test suite bites: applies small hand-written faults to src/,
# one at a time, builds the test programs that should notice in a build folder
# of its own, runs them, puts the source back, and prints for each fault
# whether some test failed and which.
#
#   scripts/mutants.sh [BUILD_DIR] [NAME...]
#
# BUILD_DIR defaults to build-mutants; NAMEs pick mutants (all by default).
# A mutant whose text is no longer found exactly once in its file is reported
# as "not applicable": the code under it changed and the mutant needs
# rewriting. Run by hand, never from `make test`; it takes a while.
set -u
cd "$(dirname "$0")/.."
build=${1:-build-mutants}
[ $# -gt 0 ] && shift
log_dir=$(mktemp -d)
backup="$log_dir/original"
mutated=

# The mutated file gets its exact bytes back, with a new modification time so
# that no build folder keeps an object compiled from the fault.
restore() {
    if [ -n "$mutated" ]; then
        cat "$backup" > "$mutated"
        mutated=
    fi
}
trap 'restore; rm -rf "$log_dir"' EXIT
trap 'echo "interrupted; source restored" >&2; exit 130' INT TERM

# Each mutant: name, file, the exact text, its replacement, the test programs to run.
read -r -d '' catalogue <<'PY'
import sys
MUTANTS = [
    ("utf8-sign-after-plus", "src/base/text.cpp",
     "if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;",
     "if (text.empty() || text.front() == '+') return std::nullopt;", "test_base"),
    ("trim-misses-ideographic-space", "src/base/text.cpp",
     "c == 0x205F || c == 0x3000;", "c == 0x205F;", "test_base"),
    ("settings-negative-clamp", "src/settings/app_settings.cpp",
     "*clampValue < 0) return std::nullopt;", "*clampValue < -1) return std::nullopt;", "test_settings"),
    ("settings-folder-not-private", "src/settings/defaults_store.cpp",
     "::mkdir(folder.c_str(), 0700)", "::mkdir(folder.c_str(), 0755)", "test_settings"),
    ("settings-fifo-read", "src/settings/defaults_store.cpp",
     "!S_ISREG(st.st_mode) || st.st_size > kMaxValueBytes", "st.st_size > kMaxValueBytes", "test_settings"),
    ("csv-carriage-return-unquoted", "src/output/analyze_result.cpp",
     "c == '\\n' || c == '\\r') return true;", "c == '\\n') return true;", "test_output"),
    ("writer-no-fsync-before-rename", "src/output/csv_writer.cpp",
     "    if (!syncFile(csv)) {", "    if (false) {", "test_output"),
    ("writer-lock-not-taken", "src/output/csv_writer.cpp",
     "const int lockResult = retryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); });",
     "const int lockResult = 0;", "test_output"),
    ("writer-journal-entry-before-row", "src/output/csv_writer.cpp",
     "    if (auto appended = appendLines(lines); !appended) return appended;\n"
     "    for (const RowToWrite& row : rows) {\n"
     "        if (row.entry && row.row->status == RowStatus::ok) recordEntry(row.row->relative_path, *row.entry);\n"
     "    }\n",
     "    for (const RowToWrite& row : rows) {\n"
     "        if (row.entry && row.row->status == RowStatus::ok) recordEntry(row.row->relative_path, *row.entry);\n"
     "    }\n"
     "    if (auto appended = appendLines(lines); !appended) return appended;\n",
     "test_output"),
    ("writer-partial-row-kept", "src/output/csv_writer.cpp",
     "        retryOnEintr([&] { return ::ftruncate(m_csv.get(), m_csvSize); });\n", "", "test_output"),
    ("writer-old-meta-beside-new-csv", "src/output/csv_writer.cpp",
     "    ::unlink(m_metaURL.c_str());\n", "", "test_output"),
    ("carry-over-ignores-size", "src/output/meta_entry.cpp",
     "return *stamp == current;", "return stamp->mtimeNs == current.mtimeNs;", "test_output test_engine"),
    ("carry-over-status-compared-wrongly", "src/output/meta_entry.cpp",
     "if (row.status != RowStatus::ok) return false;", "if (row.status == RowStatus::decodeFailed) return false;",
     "test_output test_engine"),
    ("resume-takes-live-writers-rows", "src/output/resume_state.cpp",
     "if (retryOnEintr([&] { return ::flock(csv->get(), LOCK_SH | LOCK_NB); }) != 0) return resumed;", "",
     "test_output test_faults"),
    ("silence-trailing-from-first-start", "src/media/silence_edges.cpp",
     "const double lastStart = times.starts.last;", "const double lastStart = times.starts.first;", "test_media"),
    ("runner-no-sigkill-escalation", "src/media/process_runner.cpp",
     "            m_child.signalGroup(SIGKILL);\n            m_isKilled = true;", "            m_isKilled = true;",
     "test_media"),
    ("loudness-placeholder-taken", "src/media/loudness_report.cpp",
     "if (*lufs <= kNoLoudnessLUFS) return;", "if (*lufs < kNoLoudnessLUFS) return;", "test_media test_engine"),
    ("runner-quiet-limit-from-launch", "src/media/process_runner.cpp",
     "        if (bytesRead > 0) limit.noteOutput(Clock::now());\n", "", "test_media"),
    ("runner-stdout-unbounded", "src/media/process_runner.cpp",
     "if (run.stdoutBytes.size() + bytes.size() <= kMaxStdoutBytes) {", "if (true) {", "test_media"),
    ("report-long-line-kept-whole", "src/media/report_lines.cpp",
     "    text = text.substr(0, kMaxLineBytes);\n", "", "test_media"),
    ("loudness-ceiling-ignores-duration", "src/media/loudness.cpp",
     "limits.ceilingMarginSeconds + durationSec", "limits.ceilingMarginSeconds", "test_media"),
    ("loudness-disagreeing-summaries-taken", "src/media/loudness_report.cpp",
     "if (m_agreedLUFS && *m_agreedLUFS != *lufs) m_summariesDisagree = true;", "", "test_media"),
    ("gain-rounds-half-to-even", "src/engine/analyze_file.cpp",
     "std::round(x * 10) / 10", "std::nearbyint(x * 10) / 10", "test_engine"),
    ("gain-clamp-off-by-one", "src/engine/analyze_file.cpp",
     "if (clampDB < gain) gain = clampDB;", "if (clampDB + 1 < gain) gain = clampDB;", "test_engine"),
    ("gain-for-nan-loudness", "src/engine/analyze_file.cpp",
     "    if (std::isnan(measuredLUFS)) return 0;\n", "", "test_engine"),
    ("gain-agreement-slack", "src/engine/analyze_file.cpp",
     "kGainAgreementDb = 0.1 + 1e-6;", "kGainAgreementDb = 0.1 - 1e-6;", "test_engine"),
    ("relative-path-keeps-separator", "src/engine/analyze_file.cpp",
     "    if (path.starts_with('/')) path.remove_prefix(1);\n", "", "test_engine"),
    ("new-file-started-after-cancel", "src/engine/analyze_file.cpp",
     "    if (stop.stop_requested()) return fail(CancellationError{});\n    if (passedCancellationPoint)",
     "    if (passedCancellationPoint)", "test_engine test_cli"),
    ("error-count-status-compared-wrongly", "src/engine/analysis_engine.cpp",
     "if (entry.row->status != RowStatus::ok) fields.errorCount += 1;",
     "if (entry.row->status == RowStatus::decodeFailed) fields.errorCount += 1;", "test_engine test_cli"),
    ("one-file-task-too-many", "src/engine/batch_run.cpp",
     "runOnThreads(std::min(limit, m_files.size()),", "runOnThreads(std::min(limit + 1, m_files.size()),",
     "test_engine"),
    ("partial-csv-replaces-previous", "src/engine/batch_run.cpp",
     "endWithError(error, writeFailed && m_hadPreviousCSV);", "endWithError(error, false);", "test_faults"),
    ("cancel-drops-unstarted-carry-overs", "src/engine/batch_run.cpp",
     "if (!writeFailed && m_settings.incremental) {", "if (false) {", "test_engine"),
    ("shared-name-carried-over", "src/engine/analyze_file.cpp",
     "if (++seen[text] == 2) shared.insert(std::move(text));", "if (++seen[text] == 3) shared.insert(std::move(text));",
     "test_engine"),
    ("adoption-ignores-stamp", "src/engine/subfolder_results.cpp",
     "if (entry && accept(*entry)) return", "if (entry) return", "test_engine"),
    ("scan-lists-hidden-files", "src/engine/folder_scan.cpp",
     "if (name.empty() || name.front() == '.') continue;", "if (name == \".\" || name == \"..\") continue;",
     "test_engine"),
    ("cli-second-signal-leaves-tools", "src/cli/batch_run.cpp",
     "                killRunningProcessGroups();\n", "", "test_cli"),
    ("cli-negative-clamp", "src/cli/cli_options.cpp",
     "if (*value < 0) return std::unexpected(\"--clamp: must not be negative: \" + *raw.clamp);", "", "test_cli"),
    ("cli-cancel-exit-status", "src/cli/console.h",
     "constexpr int kExitCancelled = 130;", "constexpr int kExitCancelled = 1;", "test_cli"),
    ("cli-strict-ignored", "src/cli/batch_run.cpp",
     "return strict && status == kExitFinished && !failures.empty() ? kExitStrictErrors : status;", "return status;",
     "test_cli"),
    ("result-rows-quotes-ignored", "src/output/analyze_result.cpp",
     "                m_insideQuotes = !m_insideQuotes;\n", "", "test_output test_engine"),
    ("view-start-without-folder", "src/ui/view_model.cpp",
     "view.runButtonEnabled = view.runButtonCancels || folder.has_value();", "view.runButtonEnabled = true;",
     "test_ui_viewmodel"),
    ("view-slider-rounds-to-even", "src/ui/view_model.cpp",
     "std::clamp(std::round(value * 2.0),", "std::clamp(std::nearbyint(value * 2.0),", "test_ui_viewmodel"),
    ("table-empty-cells-first", "src/ui/result_table.cpp",
     "if (std::isnan(ka) != std::isnan(kb)) return std::isnan(kb);",
     "if (std::isnan(ka) != std::isnan(kb)) return std::isnan(ka);", "test_ui_viewmodel"),
    ("histogram-counts-failed-rows", "src/ui/loudness_histogram.cpp",
     "if (row.status != RowStatus::ok || !std::isfinite(lufs)) {", "if (!std::isfinite(lufs)) {", "test_ui_viewmodel"),
    ("window-refresh-writes-clamp-back", "src/ui/settings_panel.cpp",
     "        const QSignalBlocker blocker(m_clamp);\n", "", "test_ui"),
]
command = sys.argv[1]
if command == "list":
    for i, (name, path, old, new, tests) in enumerate(MUTANTS):
        print(i, name, path, tests, sep="\t")
else:
    name, path, old, new, tests = MUTANTS[int(sys.argv[2])]
    text = open(path, encoding="utf-8").read()
    if text.count(old) != 1:
        sys.exit(3)
    open(path, "w", encoding="utf-8").write(text.replace(old, new))
PY

targets_of() {
    local program
    for program in $1; do
        case $program in
            test_ui*) echo "$program" ;;
            test_cli | test_faults) echo "$program quellmark-cli" ;;
            *) echo "$program" ;;
        esac
    done
}

binary_of() {
    case $1 in
        test_ui*) echo "$build/tests/ui/$1" ;;
        *) echo "$build/tests/$1" ;;
    esac
}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log_dir/configure.log" 2>&1 ||
    { cat "$log_dir/configure.log"; exit 1; }

results=()
while IFS=$'\t' read -r index name file tests; do
    if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qxF "$name"; then continue; fi
    cp "$file" "$backup"
    mutated=$file
    python3 -c "$catalogue" apply "$index"
    case $? in
        0) ;;
        3) restore; results+=("$name|$file|not applicable|"); continue ;;
        *) restore; results+=("$name|$file|error applying|"); continue ;;
    esac
    echo "== $name ($file)" >&2
    # shellcheck disable=SC2046
    if ! cmake --build "$build" -j2 --target $(targets_of "$tests") >"$log_dir/build.log" 2>&1; then
        restore
        results+=("$name|$file|does not build|see the compiler")
        continue
    fi
    caught=no
    catching=
    for program in $tests; do
        output="$log_dir/$program.out"
        QT_QPA_PLATFORM=offscreen timeout 600 "$(binary_of "$program")" --gtest_brief=1 >"$output" 2>&1
        status=$?
        [ $status -eq 0 ] && continue
        caught=yes
        failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_./]*\).*/\1/p' "$output" | sort -u | tr '\n' ' ')
        [ $status -eq 124 ] && failed="$failed(timed out) "
        catching="$catching$program: ${failed:-exit $status} "
    done
    restore
    results+=("$name|$file|$caught|$catching")
done < <(python3 -c "$catalogue" list)

printf '\n%-36s %-34s %-7s %s\n' "mutant" "file" "caught" "catching tests"
for line in "${results[@]}"; do
    IFS='|' read -r name file caught catching <<<"$line"
    printf '%-36s %-34s %-7s %s\n' "$name" "$file" "$caught" "$catching"
done
