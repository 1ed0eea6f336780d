// The time shown beside a history message, in the user's time zone and in English.
#include "ChatHistory.h"
#include "TestMain.h"

#include <QLocale>

#include <ctime>

class TestChatHistory : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Month names must not follow the system language.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }

    void displayTime_data() {
        QTest::addColumn<QByteArray>("zone"); // POSIX TZ: "CET-1" is one hour ahead of UTC
        QTest::addColumn<QString>("createdAt");
        QTest::addColumn<QString>("shown");
        QTest::newRow("UTC instant, zone one hour ahead")
            << QByteArray("CET-1") << "2024-03-05T15:07:00Z"
            << "Mar 5, 4:07 PM";
        QTest::newRow("milliseconds") << QByteArray("CET-1") << "2024-03-05T15:07:00.250Z"
                                      << "Mar 5, 4:07 PM";
        QTest::newRow("microseconds") << QByteArray("CET-1") << "2024-03-05T15:07:00.000000Z"
                                      << "Mar 5, 4:07 PM";
        QTest::newRow("explicit offset") << QByteArray("CET-1") << "2024-03-05T15:07:00+02:00"
                                         << "Mar 5, 2:07 PM";
        QTest::newRow("past midnight into the new year")
            << QByteArray("CET-1") << "2024-12-31T23:30:00Z"
            << "Jan 1, 12:30 AM";
        QTest::newRow("zone behind UTC, day before") << QByteArray("EST5") << "2024-03-05T03:07:00Z"
                                                     << "Mar 4, 10:07 PM";
        QTest::newRow("noon in UTC") << QByteArray("UTC0") << "2024-07-09T12:05:00Z"
                                     << "Jul 9, 12:05 PM";
        QTest::newRow("not a date") << QByteArray("CET-1") << "yesterday"
                                    << "yesterday";
        QTest::newRow("date out of range") << QByteArray("CET-1") << "2024-13-45T99:00:00Z"
                                           << "2024-13-45T99:00:00Z";
        QTest::newRow("empty") << QByteArray("CET-1") << ""
                               << "";
    }

    void displayTime() {
        QFETCH(QByteArray, zone);
        QFETCH(QString, createdAt);
        QFETCH(QString, shown);
        qputenv("TZ", zone);
        tzset();
        QCOMPARE(castora::chat::displayTime(createdAt), shown);
    }
};

CASTORA_TEST_MAIN(TestChatHistory)
#include "tst_chathistory.moc"
