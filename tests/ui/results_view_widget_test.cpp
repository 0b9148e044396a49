// The results view in the window: rows of a run as they arrive, a previous
// volume_gains.csv read when the folder is chosen, and the row actions.
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QScrollBar>
#include <QTableView>

#include "ui/result_cells.h"
#include "window_fixture.h"

namespace quellmark {
namespace {

using test::waitUntil;

class ResultsViewTest : public test::WindowFixture {
protected:
    void SetUp() override {
        m_window->resize(900, 1000);
        m_window->show();
    }
    QTableView* table() const { return child<QTableView>("resultsTable"); }
    QString cell(int row, ResultColumn column) const {
        return table()->model()->index(row, int(column)).data().toString();
    }
    QString topPath() const { return cell(table()->rowAt(0), ResultColumn::path); }
    void append(ResultLog& log, int count, const std::function<double(int)>& gainOf) {
        for (int i = 0; i < count; ++i) {
            const std::string path = "d/" + std::to_string(log.size()) + ".flac";
            log.append(test::entryOf({path, path, "T", "A", 60, -18 - gainOf(i), -1, gainOf(i), RowStatus::ok, 0, 0, true}));
        }
    }
};

TEST_F(ResultsViewTest, RowsArriveDuringARunWithoutMovingWhatIsInView) {
    m_window->setFolder(m_music.path());
    auto log = std::make_shared<ResultLog>(-18.0, 12.0);
    append(*log, 300, [](int i) { return 0.1 * i; });
    publish(State::running, log);
    ASSERT_EQ(table()->model()->rowCount(), 300);
    table()->sortByColumn(int(ResultColumn::gain), Qt::AscendingOrder);
    table()->verticalScrollBar()->setValue(table()->verticalScrollBar()->maximum() / 2);
    table()->selectRow(table()->rowAt(0) + 1);
    const QString top = topPath(), selected = cell(table()->currentIndex().row(), ResultColumn::path);
    ASSERT_NE(table()->rowAt(0), 0);

    // New rows above what is in view: in one place, then between the rows
    // all along the table (one merge).
    append(*log, 40, [](int) { return -5.0; });
    publish(State::running, log);
    EXPECT_EQ(topPath(), top);
    append(*log, 60, [](int i) { return 0.5 * i + 0.05; });
    publish(State::running, log);
    EXPECT_EQ(table()->model()->rowCount(), 400);
    EXPECT_EQ(topPath(), top);
    EXPECT_EQ(cell(table()->currentIndex().row(), ResultColumn::path), selected);
    EXPECT_EQ(child<QLabel>("resultsCount")->text(), QStringLiteral("表示: 400 / 400 件"));
}

TEST_F(ResultsViewTest, PreviousCsvIsShownAsFarAsItParsesAndNeverWritten) {
    const std::string csv =
        "relative_path,file_name,title,artist,duration_sec,measured_lufs,true_peak_dbfs,gain_db,status,"
        "leading_silence_sec,trailing_silence_sec\n"
        "a.mp3,a.mp3,A,,10,-20,-1,2,ok,0,0\n"
        "broken\n"
        "b.flac,b.flac,b,,,,,0,error:decode_failed,0,0\n"
        "c.ogg,c.ogg,C,,10,-2";
    test::writeFile(m_music / "volume_gains.csv", csv);
    m_window->setFolder(m_music.path());
    ASSERT_TRUE(waitUntil([&] {
        m_window->refresh();
        return table()->model()->rowCount() == 2;
    }));
    EXPECT_EQ(cell(1, ResultColumn::status), QStringLiteral("error:decode_failed"));
    EXPECT_EQ(child<QLabel>("resultsNotice")->text(),
              QStringLiteral("前回の結果（volume_gains.csv）を表示しています。読み取れない行 1 件、途中で切れた最後の行を読み飛ばしました。"));
    EXPECT_EQ(test::readFile(m_music / "volume_gains.csv"), csv);

    // The copy and the reveal take the paths below the folder the rows came from.
    table()->selectRow(1);
    m_window->refresh();
    child<QAction>("copyPathAction")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString((m_music / "b.flac").string()));
    EXPECT_FALSE(child<QAction>("copyReasonAction")->isEnabled());

    // A run's rows replace the file's, with their reasons.
    auto log = std::make_shared<ResultLog>(-18.0, 12.0);
    log->append(test::entryOf({"x.mp3", "x.mp3", "x", "", NAN, NAN, NAN, 0, RowStatus::decodeFailed, 0, 0, true},
                              "ffmpeg が終了コード 1 で終了しました: Invalid data"));
    m_window->startRun();
    publish(State::finished, log);
    ASSERT_EQ(table()->model()->rowCount(), 1);
    EXPECT_TRUE(child<QLabel>("resultsNotice")->isHidden());
    table()->selectRow(0);
    m_window->refresh();
    child<QAction>("copyReasonAction")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("ffmpeg が終了コード 1 で終了しました: Invalid data"));
}

}  // namespace
}  // namespace quellmark
