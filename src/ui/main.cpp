#include <QApplication>
#include <QIcon>
#include <memory>

#include "engine/analysis_engine.h"
#include "settings/defaults_store.h"
#include "ui/engine_port.h"
#include "ui/main_window.h"
#include "ui/qt_main_thread.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quellmark"));
    QApplication::setDesktopFileName(QStringLiteral("quellmark"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quellmark")));

    // The hand-off outlives the window: a run holds it (through the engine)
    // until its last step has run on this thread.
    auto mainThread = std::make_shared<quellmark::QtMainThread>();
    auto engine = quellmark::AnalysisEngine::create(mainThread);
    quellmark::MainWindow window(quellmark::makeEnginePort(engine), quellmark::AppSettings::load());
    window.rememberIn(quellmark::DefaultsStore::standard());
    window.show();
    return app.exec();
}
