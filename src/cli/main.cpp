// quellmark-cli: one batch over one folder, with the engine the window uses.

#include <cstdio>
#include <string>
#include <vector>

#include "cli/batch_run.h"
#include "cli/cli_options.h"
#include "cli/console.h"
#include "cli/dry_run.h"
#include "cli/signal_watcher.h"
#include "settings/app_settings.h"
#include "settings/defaults_store.h"

int main(int argc, char** argv) {
    // Before anything can start a thread: every thread inherits this mask.
    quellmark::SignalWatcher::blockSignals();

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto command = quellmark::parseCommandLine(arguments, quellmark::AppSettings::load());
    if (!command) {
        std::fprintf(stderr, "quellmark-cli: %s\n", command.error().c_str());
        return quellmark::kExitUsage;
    }
    switch (command->action) {
    case quellmark::CliCommand::Action::help:
        std::fputs(quellmark::usageText().c_str(), stdout);
        return 0;
    case quellmark::CliCommand::Action::version:
        std::puts("quellmark-cli " QUELLMARK_VERSION);
        return 0;
    case quellmark::CliCommand::Action::run:
        break;
    }
    // A dry run writes nothing at all, the settings included.
    if (command->dryRun) return quellmark::runDryRun(*command);
    if (command->save) {
        auto store = quellmark::DefaultsStore::standard();
        command->settings.save(store);
    }
    return quellmark::runCommandLineBatch(*command);
}
