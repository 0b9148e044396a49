#include "ui/window_menu.h"

#include <QAction>
#include <QMenu>
#include <QSignalBlocker>

namespace quellmark {

namespace {

QAction* makeAction(QMenu* menu, const QString& text, const char* name, const QList<QKeySequence>& keys = {}) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::fromLatin1(name));
    action->setShortcuts(keys);
    return action;
}

}  // namespace

WindowMenu::WindowMenu(QWidget* parent) : QMenuBar(parent) {
    setObjectName(QStringLiteral("menuBar"));
    QMenu* file = addMenu(QStringLiteral("ファイル(&F)"));
    chooseFolder = makeAction(file, QStringLiteral("フォルダを選択…"), "chooseFolderAction", {QKeySequence::Open});
    file->addSeparator();
    start = makeAction(file, QStringLiteral("解析開始"), "startAction",
                       {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    cancel = makeAction(file, QStringLiteral("キャンセル"), "cancelAction", {QKeySequence(Qt::Key_Escape)});
    file->addSeparator();
    revealCsv = makeAction(file, QStringLiteral("CSVをファイルマネージャで表示"), "revealCsvAction",
                           {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)});
    file->addSeparator();
    quit = makeAction(file, QStringLiteral("終了"), "quitAction", {QKeySequence(Qt::CTRL | Qt::Key_Q)});

    QMenu* results = addMenu(QStringLiteral("結果(&R)"));
    revealFile = makeAction(results, QStringLiteral("選択したファイルをファイルマネージャで表示"), "revealRowAction",
                            {QKeySequence(Qt::CTRL | Qt::Key_R)});
    copyPath = makeAction(results, QStringLiteral("パスをコピー"), "copyPathAction",
                          {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)});
    copyReason = makeAction(results, QStringLiteral("理由をコピー"), "copyReasonAction",
                            {QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_C)});
    results->addSeparator();
    failedOnly = makeAction(results, QStringLiteral("エラーのみ表示"), "failedOnlyAction", {QKeySequence(Qt::CTRL | Qt::Key_E)});
    failedOnly->setCheckable(true);

    QMenu* help = addMenu(QStringLiteral("ヘルプ(&H)"));
    about = makeAction(help, QStringLiteral("Quellmarkについて…"), "aboutAction");
}

QList<QAction*> WindowMenu::allActions() const {
    return {chooseFolder, start, cancel, revealCsv, quit, revealFile, copyPath, copyReason, failedOnly, about};
}

void WindowMenu::apply(const ViewModel& view) {
    chooseFolder->setEnabled(view.chooseFolderEnabled);
    start->setEnabled(view.startEnabled);
    cancel->setEnabled(view.cancelEnabled);
    revealCsv->setEnabled(view.csvToReveal.has_value());
    revealFile->setEnabled(view.revealRowEnabled);
    copyPath->setEnabled(view.copyPathEnabled);
    copyReason->setEnabled(view.copyReasonEnabled);
    failedOnly->setEnabled(view.failedOnlyEnabled);
    const QSignalBlocker blocker(failedOnly);
    failedOnly->setChecked(view.failedOnlyChecked);
}

QString aboutText() {
    return QStringLiteral("<p><b>Quellmark</b> バージョン ") + QStringLiteral(QUELLMARK_VERSION) +
           QStringLiteral(
               "</p><p>フォルダ内の音声ファイルのラウドネスを一括解析し、CSVに補正値を出力します。</p>"
               "<p>使用しているソフトウェアとそのライセンス:</p><ul>"
               "<li>Qt 6 — GNU LGPL v3</li>"
               "<li>PCRE2 — BSD ライセンス（3 条項）</li>"
               "<li>utf8proc — MIT ライセンス</li>"
               "<li>nlohmann/json — MIT ライセンス</li>"
               "<li>FFmpeg（ffmpeg と ffprobe を別のプログラムとして実行します。同梱はしていません）— "
               "GNU LGPL v2.1 以降、ビルドにより GNU GPL</li>"
               "</ul><p>© 2026 Quellmark</p>");
}

}  // namespace quellmark
