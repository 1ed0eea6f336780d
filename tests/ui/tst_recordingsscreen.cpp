// The recordings screen of the real program against the stand-in backend: the search filter,
// uploads with their spinner or progress circle, the subscription dialog, a recording still
// being written, and the delete dialog.
#include "TestMain.h"
#include "UiProgram.h"
#include "UploadRoutes.h"

#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>

using namespace castora;
using namespace Qt::StringLiterals;
using namespace castora::test;

class TestRecordingsScreen : public castora::test::UiTestCase {
    Q_OBJECT

    QTemporaryDir m_files;

    // Signs in, lists `recordings` (name, date) of `size` bytes each and opens the recordings
    // screen once the channel record has arrived.
    bool openScreen(const QList<QPair<QString, QString>> &recordings, qint64 size = 1000) {
        UiProgram &p = program();
        if (!p.listen() || !p.startSignedIn())
            return false;
        for (const auto &[name, date] : recordings) {
            QFile file(m_files.filePath(name + u".mp3"_s));
            QSqlQuery query;
            query.prepare(u"INSERT INTO recordings (name, path, date_created, upload_status) "
                          "VALUES (?, ?, ?, 0)"_s);
            query.addBindValue(name);
            query.addBindValue(file.fileName());
            query.addBindValue(date);
            if (!file.open(QIODevice::WriteOnly) || !file.resize(size) || !query.exec())
                return false;
        }
        if (!QTest::qWaitFor([&p] { return !p.stream->mountPoint().isEmpty(); }))
            return false;
        p.click(u"recordingsButton"_s);
        return p.showsScreen(u"recordingsScreen"_s, 3);
    }

    // The names the list shows, top to bottom.
    QStringList shownNames() {
        QList<QQuickItem *> names = findItems(program().currentScreen(), u"recordingName"_s);
        std::sort(names.begin(), names.end(), [](QQuickItem *a, QQuickItem *b) {
            return a->mapToScene({}).y() < b->mapToScene({}).y();
        });
        QStringList shown;
        for (QQuickItem *name : names)
            shown.append(textOf(name));
        return shown;
    }

    bool popupOpen(const QString &name) {
        return program().currentScreen()->findChild<QObject *>(name)->property("visible").toBool();
    }

    QQuickItem *inRow(int row, const QString &name) {
        return findItems(program().currentScreen(), name).value(row);
    }

private slots:
    void cleanup() {
        UiTestCase::cleanup();
        QSqlQuery(u"DELETE FROM recordings"_s);
    }

    // The search: by title, case ignored and trimmed, or by date; blanks alone show all. A
    // recording added while a search is active is shown only when it matches.
    void search() {
        QVERIFY(openScreen({{"Morning Show", "2023-11-02 10:00:00"},
                            {"Evening Jazz", "2024-03-15 20:00:00"},
                            {"morning news", "2024-07-01 08:00:00"}}));
        UiProgram &p = program();
        QQuickItem *field = p.onScreen(u"searchField"_s);
        QTRY_COMPARE(shownNames(), (QStringList{"morning news", "Evening Jazz", "Morning Show"}));
        p.type(field, u" MORNING "_s);
        QTRY_COMPARE(shownNames(), (QStringList{"morning news", "Morning Show"}));
        p.recordings->addRecording(u"Morning Call"_s, m_files.filePath("call.mp3"));
        QTRY_COMPARE(shownNames(), (QStringList{"Morning Call", "morning news", "Morning Show"}));
        field->setProperty("text", u"2024"_s);
        QTRY_COMPARE(shownNames(), (QStringList{"morning news", "Evening Jazz"}));
        p.recordings->addRecording(u"Evening Call"_s, m_files.filePath("evening.mp3"));
        QTRY_COMPARE(shownNames(), (QStringList{"morning news", "Evening Jazz"}));
        field->setProperty("text", u"   "_s);
        QTRY_COMPARE(shownNames().size(), 5);
        field->setProperty("text", u"podcast"_s);
        QTRY_COMPARE(shownNames(), QStringList());
    }

    // A row still being written offers no upload until the broadcast closes it; an upload shows
    // a spinner or the chunks' progress, then the row is marked uploaded; without a
    // subscription a dialog says why nothing goes up.
    void upload_data() {
        // progress: what the circle showed, in order
        columns<qint64, bool, bool, QStringList>("size", "subscriber", "recording", "progress");
        row("still being recorded, then up", qint64(1000), true, true, QStringList{});
        row("three chunks: 33, 66, 100 %", qint64(10'000'001), true, false,
            QStringList{"0%", "33%", "66%", "100%"});
        row("no subscription: the dialog", qint64(1000), false, false, QStringList{});
    }

    void upload() {
        QFETCH(qint64, size);
        QFETCH(bool, subscriber);
        QFETCH(bool, recording);
        QFETCH(QStringList, progress);
        UiProgram &p = program();
        p.server.state().demoChannel().isSubscriber = subscriber;
        QVERIFY(openScreen({{"Big Show", "2024-01-01 10:00:00"}}, size));
        QTRY_COMPARE(p.stream->isSubscriber(), subscriber);
        QTRY_VERIFY(inRow(0, u"uploadButton"_s));
        if (recording) {
            const QString path =
                p.recordings->index(0).data(RecordingController::PathRole).toString();
            p.recordings->recordingStarted(path);
            QTRY_VERIFY(inRow(0, u"recordingInProgress"_s)->isVisible());
            QVERIFY(inRow(0, u"recordingDot"_s)->isVisible());
            QVERIFY(!inRow(0, u"uploadButton"_s)->isVisible());
            p.recordings->recordingFinished(path);
            QTRY_VERIFY(!inRow(0, u"recordingInProgress"_s)->isVisible());
        }

        // What the row shows while the upload runs, read as each step is announced.
        QStringList circle;
        bool spinner = false;
        QString message;
        connect(p.recordings.get(), &RecordingController::uploadCompleted, this,
                [&](int, bool, const QString &text) { message = text; });
        connect(p.recordings.get(), &RecordingController::uploadStarted, this, [&] {
            spinner = inRow(0, u"uploadSpinner"_s)->isVisible();
            circle.append(textOf(inRow(0, u"uploadPercent"_s)));
        });
        connect(p.recordings.get(), &RecordingController::uploadProgress, this,
                [&] { circle.append(textOf(inRow(0, u"uploadPercent"_s))); });
        QTRY_VERIFY(inRow(0, u"uploadButton"_s)->isVisible());
        p.click(inRow(0, u"uploadButton"_s));

        if (!subscriber) {
            QTRY_VERIFY(popupOpen(u"subscriptionDialog"_s));
            p.click(p.item(u"subscriptionOkButton"_s));
            QTRY_VERIFY(!popupOpen(u"subscriptionDialog"_s));
            QVERIFY(p.server.uploads().stored().isEmpty());
            QVERIFY(inRow(0, u"uploadButton"_s)->isVisible());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            p.recordings->index(0).data(RecordingController::UploadStatusRole).toBool(), 30000);
        QCOMPARE(spinner, size < 5'000'000);
        if (!progress.isEmpty())
            QCOMPARE(circle, progress);
        QTRY_COMPARE(
            textOf(p.onScreen(u"recordingsToast"_s)->property("label").value<QQuickItem *>()),
            message.isEmpty() ? u"Upload successful"_s : message);
        // Uploaded: no upload slot and no room for it, the delete button follows the folder.
        QTRY_VERIFY(!inRow(0, u"uploadSlot"_s)->isVisible());
        QTRY_COMPARE(inRow(0, u"deleteButton"_s)->x(), inRow(0, u"folderButton"_s)->x() + 40 + 20);
        QCOMPARE(p.server.uploads().stored().size(), 1);
    }

    void deleteDialog_data() {
        // button: empty: Escape
        columns<QString, QString, bool>("name", "button", "deleted");
        row("Delete", "Old Show", "deleteConfirmButton", true);
        row("Cancel", "Old Show", "deleteCancelButton", false);
        row("Escape", "Old Show", "", false);
        row("no name", "", "deleteConfirmButton", true);
    }

    void deleteDialog() {
        QFETCH(QString, name);
        QFETCH(QString, button);
        QFETCH(bool, deleted);
        QVERIFY(openScreen({{name, "2024-04-04 12:00:00"}, {"Keeper", "2020-01-01 00:00:00"}}));
        UiProgram &p = program();
        QTRY_COMPARE(shownNames().size(), 2);
        p.click(inRow(0, u"deleteButton"_s));
        QQuickItem *dialogName = p.item(u"deleteName"_s);
        QTRY_VERIFY(dialogName && dialogName->isVisible());
        QCOMPARE(textOf(dialogName), u"\"%1\""_s.arg(name.isEmpty() ? "Recording" : name));
        if (button.isEmpty())
            QTest::keyClick(p.window, Qt::Key_Escape);
        else
            p.click(p.item(button));
        QTRY_VERIFY(!popupOpen(u"deleteDialog"_s));
        const QStringList left = deleted ? QStringList{"Keeper"} : QStringList{name, "Keeper"};
        QTRY_COMPARE(shownNames(), left);
        QCOMPARE(p.currentScreen()->property("pendingDeleteId").toInt() == -1, deleted);
    }
};

CASTORA_GUI_TEST_MAIN(TestRecordingsScreen)
#include "tst_recordingsscreen.moc"
