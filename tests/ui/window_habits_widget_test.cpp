// The window's everyday behaviour around a run: where it finds ffmpeg, what
// it shows while a cancel is under way and after a run without ffmpeg, and
// the folders it is given by a drop or remembers from the last session.
#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "ui/elided_label.h"
#include "window_fixture.h"

namespace quellmark {
namespace {

class WindowHabitsTest : public test::WindowFixture {
protected:
    bool drop(const std::filesystem::path& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path.string()))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window.get(), &dropped);
        return true;
    }
};

// With no path set, the footer shows what the automatic search finds.
TEST_F(WindowHabitsTest, FooterSearchesForFfmpegWhenNoPathIsSet) {
    const test::ScopedEnv path("PATH", QUELLMARK_TEST_TOOLS_DIR ":/usr/bin:/bin");
    openWindow(AppSettings{});
    const QString status = child<ElidedLabel>("ffmpegStatus")->fullText();
    EXPECT_TRUE(status.startsWith(QStringLiteral("ffmpeg: /"))) << status.toStdString();
}

TEST_F(WindowHabitsTest, CancellingShowsItIsUnderWayUntilTheRunEnds) {
    m_window->setFolder(m_music.path());
    publish(State::running);
    auto* button = child<QPushButton>("runButton");
    button->click();
    m_window->refresh();
    EXPECT_EQ(m_engine->cancels, 1);
    EXPECT_EQ(button->text(), QStringLiteral("キャンセル中…"));
    EXPECT_FALSE(button->isEnabled());
    EXPECT_TRUE(child("cancelBusy")->isVisible());
    child<QAction>("cancelAction")->trigger();
    EXPECT_EQ(m_engine->cancels, 1) << "one request is enough";

    publish(State::cancelled);
    EXPECT_EQ(button->text(), QStringLiteral("解析開始"));
    EXPECT_TRUE(button->isEnabled());
    EXPECT_FALSE(child("cancelBusy")->isVisible());
}

TEST_F(WindowHabitsTest, ARunThatFoundNoFfmpegEndsWithAWarning) {
    auto log = std::make_shared<ResultLog>(-18.0, 12.0);
    for (const char* path : {"a.mp3", "b.mp3"})
        log->append(test::entryOf({path, path, path, "", NAN, NAN, NAN, 0, RowStatus::ffmpegNotFound, 0, 0, true}));
    // A row carried over from the last run was not analysed now: it proves nothing.
    log->append(test::entryOf({"c.mp3", "c.mp3", "c", "", 3, -20, -1, 2, RowStatus::ok, 0, 0, true}, "", RowOrigin::carried));
    m_window->setFolder(m_music.path());
    publish(State::finished, log);
    EXPECT_TRUE(child("completion")->isVisible() && child("runWarning")->isVisible());
    log->append(test::entryOf({"d.mp3", "d.mp3", "d", "", 3, -20, -1, 2, RowStatus::ok, 0, 0, true}));
    publish(State::finished, log);
    EXPECT_FALSE(child("runWarning")->isVisible()) << "one file was measured";
}

TEST_F(WindowHabitsTest, ADroppedFolderIsChosenAndRememberedForTheNextStart) {
    m_window->rememberIn(DefaultsStore::standard());
    test::writeFile(m_music / "Album/01.flac", "x");
    EXPECT_TRUE(drop(m_music / "Album/01.flac"));
    EXPECT_EQ(m_window->folder(), m_music / "Album");
    EXPECT_TRUE(drop(m_music.path()));
    EXPECT_EQ(m_window->folder(), m_music.path());
    EXPECT_FALSE(drop(m_music / "missing"));
    publish(State::running);
    EXPECT_FALSE(drop(m_music / "Album"));
    EXPECT_EQ(m_window->folder(), m_music.path());
    publish(State::finished);
    m_window->resize(700, 640);
    m_window->close();

    MainWindow next(std::make_unique<test::FakeEngine>(m_engine), AppSettings{});
    next.rememberIn(DefaultsStore::standard());
    EXPECT_EQ(next.folder(), m_music.path());
    EXPECT_EQ(next.size(), QSize(700, 640));
    EXPECT_TRUE(m_engine->starts.empty()) << "offered, not run";
}

}  // namespace
}  // namespace quellmark
