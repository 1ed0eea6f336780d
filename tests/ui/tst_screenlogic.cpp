// The screens' display rules (components/ScreenLogic.js), called as the documents call them.
#include "Startup.h"
#include "TestMain.h"

#include <QQmlComponent>
#include <QQmlEngine>

#include <memory>

using namespace Qt::StringLiterals;

class TestScreenLogic : public QObject {
    Q_OBJECT

    QQmlEngine m_engine;
    std::unique_ptr<QObject> m_bridge;

    QVariant call(const QString &function, const QVariantList &arguments) {
        QVariant result;
        QMetaObject::invokeMethod(m_bridge.get(), "call", Q_RETURN_ARG(QVariant, result),
                                  Q_ARG(QVariant, function), Q_ARG(QVariant, arguments));
        return result;
    }

private slots:
    void initTestCase() {
        castora::prepareEngine(m_engine);
        QQmlComponent component(&m_engine);
        component.setData(R"(
            import QtQml
            import "qrc:/Castora_V2/components/ScreenLogic.js" as Logic
            QtObject {
                function call(name, args) { return Logic[name].apply(null, args) }
            })",
                          QUrl(u"qrc:/logic-test.qml"_s));
        m_bridge.reset(component.create());
        QVERIFY2(m_bridge, qPrintable(component.errorString()));
    }

    void rules_data() {
        castora::test::columns<QString, QVariantList, QVariant>("function", "arguments",
                                                                "expected");
        const auto row = [](const char *name, const char *function, QVariantList arguments,
                            QVariant expected) {
            QTest::newRow(name) << QString::fromLatin1(function) << arguments << expected;
        };
        // Channel name (13), device name (20) and title (25) cut-offs.
        row("13 characters whole", "truncated", {"Morning Radio", 13}, "Morning Radio");
        row("14 characters cut", "truncated", {"Morning Radio!", 13}, "Morning Radio...");
        row("an emoji at the cut stays whole", "truncated", {"Good morning🎙 all", 13},
            "Good morning🎙...");
        row("title of 26 cut", "titleLine", {"Twenty-six characters long"},
            "Twenty-six characters lon...");
        row("no title", "titleLine", {""}, "Click on start to go live...");
        row("no channel yet", "channelCaption", {""}, "Loading Channel...");
        row("one listener", "listenerText", {1}, "1 listener");
        row("no listeners", "listenerText", {0}, "0 listeners");
        row("avatar of no name", "avatarLetter", {""}, "?");
        // Remote text in screen-reader phrases is put in once, never substituted into again.
        row("a sender named %2", "format", {"%1 says: %2", QVariantList{"%2", "hi %1"}},
            "%2 says: hi %1");
        row("a long message is said cut", "spokenMessage", {"Ann", QString(400, 'a')},
            "Ann says: " + QString(300, 'a') + "...");
        row("slug in the listen link", "listenLink", {"https://w.example", "a b/c?d#e"},
            "https://w.example/a%20b%2Fc%3Fd%23e");
        row("blank message", "hasText", {" \t "}, false);
        row("message shown, never interpreted", "emojiRichText", {"<b>a & b</b>\n2"},
            "&lt;b&gt;a &amp; b&lt;/b&gt;<br>2");
        row("emoji runs in the colour font", "emojiRichText", {"hi 👋🏽 ❤️ ok"},
            "hi <font face=\"Noto Color Emoji\">👋🏽</font> <font face=\"Noto Color "
            "Emoji\">❤️</font> ok");
        // The on-air clock.
        row("1 h 2 min 3 s", "clockText", {3723}, "01:02:03");
        row("100 hours", "clockText", {360000}, "100:00:00");
        // Level dots: lit from index 75 * (1 - level) on.
        row("half: dots from 38 lit", "firstLitDot", {0.5}, 38);
        row("last dot lit at 4/75", "firstLitDot", {4.0 / 75}, 71);
        row("last dot dark below 4/75", "firstLitDot", {0.05}, 72);
        row("full scale: all lit", "firstLitDot", {1.0}, 0);
        // The loudness next to the meter.
        row("loudness to the whole LU", "loudnessText", {-16.4}, "-16 LUFS");
        row("nothing to measure", "loudnessText", {-qInf()}, "\u2013 LUFS");
        // Folder links.
        row("drive path", "folderUrl", {"C:\\Users\\a\\rec.mp3"}, "file:///C:/Users/a");
        row("folder with # and %", "folderUrl", {"/home/a/Show #5 100%/rec.mp3"},
            "file:///home/a/Show %235 100%25");
    }

    void rules() {
        QFETCH(QString, function);
        QFETCH(QVariantList, arguments);
        QFETCH(QVariant, expected);
        QCOMPARE(call(function, arguments).toString(), expected.toString());
    }
};

CASTORA_GUI_TEST_MAIN(TestScreenLogic)
#include "tst_screenlogic.moc"
