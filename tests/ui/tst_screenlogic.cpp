// The screens' display rules (components/ScreenLogic.js), called as the documents call them,
// and the rule that text from the backend or the chat is shown as plain text.
#include "Startup.h"
#include "TestMain.h"

#include <QDirIterator>
#include <QFile>
#include <QJSValue>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QSet>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// A QML document twice, character for character: `code` without comments, and `shape` also
// without the contents of string literals (so that neither braces nor names in them count).
struct Document {
    QString code, shape;

    explicit Document(const QString &text)
        : code(text)
        , shape(text) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            qsizetype end = -1; // where a comment ends (exclusive)
            if (c == '/' && text.mid(i, 2) == u"//"_s) {
                end = text.indexOf('\n', i);
            } else if (c == '/' && text.mid(i, 2) == u"/*"_s) {
                end = text.indexOf(u"*/"_s, i);
                end = end < 0 ? end : end + 2;
            }
            if (c == '/' && (text.mid(i, 2) == u"//"_s || text.mid(i, 2) == u"/*"_s)) {
                end = end < 0 ? text.size() : end;
                for (; i < end; ++i)
                    code[i] = shape[i] = text.at(i) == '\n' ? '\n' : ' ';
                --i;
            } else if (c == '"' || c == '\'' || c == '`') {
                for (++i; i < text.size() && text.at(i) != c; ++i) {
                    if (text.at(i) == '\\')
                        shape[i++] = '_';
                    shape[i] = '_';
                }
            }
        }
    }
};

struct TextItem {
    QString type, id, name, text, format; // name: the objectName, or else the id
};

// The text items of a document (Text, Label, TextEdit, RemoteText and inline components based
// on them) with their "id", "objectName", "text" and "textFormat" bindings.
QList<TextItem> textItems(const Document &document) {
    const QString &shape = document.shape;
    QSet<QString> textTypes{u"Text"_s, u"Label"_s, u"TextEdit"_s, u"RemoteText"_s};
    static const QRegularExpression inlineComponent(uR"(\bcomponent\s+(\w+)\s*:\s*(\w+))"_s);
    for (auto it = inlineComponent.globalMatch(shape); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (textTypes.contains(m.captured(2)))
            textTypes.insert(m.captured(1));
    }
    static const QRegularExpression object(uR"(\b([A-Z]\w*)\s*(?:on\s+[\w.]+\s*)?\{)"_s);
    // A binding of the object: a line at the object's own level that starts with "name:".
    // Its value goes on over the lines that continue an expression. Values are read without
    // their strings, except objectName's.
    static const QRegularExpression binding(uR"(\G\s*([\w.]+)\s*:)"_s);
    QList<TextItem> items;
    for (auto it = object.globalMatch(shape); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (!textTypes.contains(m.captured(1)))
            continue;
        TextItem item{m.captured(1), {}, {}, {}, {}};
        QString *field = nullptr;
        qsizetype start = 0;
        const auto close = [&](qsizetype end) {
            if (field)
                *field = (field == &item.name ? document.code : shape)
                             .mid(start, end - start)
                             .simplified();
            field = nullptr;
        };
        int depth = 0;
        for (qsizetype i = m.capturedEnd(); i < shape.size() && depth >= 0; ++i) {
            const QChar c = shape.at(i);
            if (depth == 0 && (i == m.capturedEnd() || shape.at(i - 1) == '\n')) {
                const QRegularExpressionMatch b = binding.match(shape, i);
                qsizetype first = i;
                while (first < shape.size() && shape.at(first).isSpace())
                    ++first;
                if (b.hasMatch() ||
                    !QStringView(u"?:+-*/&|.,)\"'")
                         .contains(first < shape.size() ? shape.at(first) : QChar()))
                    close(i); // a new binding or declaration; otherwise the value goes on
                if (b.hasMatch()) {
                    const QString name = b.captured(1);
                    field = name == u"text"_s         ? &item.text
                            : name == u"textFormat"_s ? &item.format
                            : name == u"id"_s         ? &item.id
                            : name == u"objectName"_s ? &item.name
                                                      : nullptr;
                    start = b.capturedEnd();
                }
            }
            depth += QStringView(u"{([").contains(c) ? 1 : QStringView(u"})]").contains(c) ? -1 : 0;
            if (depth < 0 || (depth == 0 && c == '}'))
                close(i);
        }
        item.name = item.name.isEmpty() ? item.id : item.name.mid(1, item.name.size() - 2);
        items.append(item);
    }
    return items;
}

// The text items of `document` that show backend or chat data and are not plain text, as
// "name: type format"; `remote` collects the names of all items that show such data. Such
// data: the properties, roles and component properties below, and whatever a script sets
// (where it comes from cannot be seen here). Plain: RemoteText, textFormat PlainText, or rich
// text made by Logic.emojiRichText, which escapes everything.
QStringList unplainRemoteTexts(const QString &text, QStringList *remote) {
    static const QRegularExpression remoteData(
        uR"(\b(channelName|ChannelSlug|streamTitle|listeners|listenLink|latestVersion|)"
        uR"(releaseNotes|sender|messageText|createdAt|pendingDeleteName|micName|displayText)\b|)"
        uR"(\bmodel\.(name|dateCreated)\b)"_s);
    static const QRegularExpression scriptSet(uR"(\b(\w+)\.text\s*=[^=])"_s);
    const Document document(text);
    QSet<QString> setByScript;
    for (auto it = scriptSet.globalMatch(document.shape); it.hasNext();)
        setByScript.insert(it.next().captured(1));

    QStringList offenders;
    for (const TextItem &item : textItems(document)) {
        if (!remoteData.match(item.text).hasMatch() && !setByScript.contains(item.id))
            continue;
        remote->append(item.name);
        const bool plain = item.format.endsWith(u".PlainText"_s) ||
                           (item.type == u"RemoteText"_s && item.format.isEmpty()) ||
                           (item.format.endsWith(u".RichText"_s) &&
                            item.text.startsWith(u"Logic.emojiRichText("_s));
        if (!plain)
            offenders.append(item.name + u": "_s + item.type + u" "_s + item.format);
    }
    return offenders;
}

} // namespace

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
        QTest::addColumn<QString>("function");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QVariant>("expected");
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

    // Every text item bound to backend or chat data is plain text (RemoteText), in every
    // document of the program, so its markup is never interpreted and an image in it never
    // fetched; the rows before the last show what the check catches.
    void remoteTextIsPlain_data() {
        QTest::addColumn<QString>("document"); // empty: the program's documents
        QTest::addColumn<QStringList>("offenders");
        castora::test::row("markup of a channel name shown",
                           u"Item { Label { id: name\n"
                           u"text: StreamController.channelName "
                           u"} }"_s,
                           QStringList{u"name: Label "_s});
        castora::test::row("a remote text", u"RemoteText { text: header.channelName }"_s,
                           QStringList());
        castora::test::row("text set from a script, rich text unescaped",
                           u"Item {\n function show(m) { toast.text = m }\n"
                           u"component Note: Text {}\n Note { id: toast }\n"
                           u"Text { id: who\n textFormat: Text.RichText\n text: row.sender }\n"
                           u"Text { id: what\n textFormat: Text.RichText\n"
                           u"text: Logic.emojiRichText(row.messageText) } }"_s,
                           QStringList{u"toast: Note "_s, u"who: Text Text.RichText"_s});
        castora::test::row("the program's documents", QString(), QStringList());
    }

    void remoteTextIsPlain() {
        QFETCH(QString, document);
        QFETCH(QStringList, offenders);
        QStringList found, remote;
        if (!document.isEmpty()) {
            found = unplainRemoteTexts(document, &remote);
            QCOMPARE(found.join(u"; "_s), offenders.join(u"; "_s));
            return;
        }
        QDirIterator it(u":/Castora_V2"_s, {u"*.qml"_s}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString text = QString::fromUtf8(castora::test::readFile(it.next()));
            if (it.fileName() == u"RemoteText.qml"_s) // what the check takes for plain text
                QCOMPARE(textItems(Document(text)).value(0).format, u"Text.PlainText"_s);
            for (const QString &offender : unplainRemoteTexts(text, &remote))
                found.append(it.fileName() + u" "_s + offender);
        }
        QCOMPARE(found.join(u"; "_s), offenders.join(u"; "_s));
        // The check saw the texts it is about.
        for (const char *name :
             {"channelNameLabel", "releaseNotesLabel", "senderText", "messageText", "recordingName",
              "label", "deviceText", "deviceEntryText"})
            QVERIFY2(remote.contains(QLatin1String(name)), name);
    }
};

CASTORA_GUI_TEST_MAIN(TestScreenLogic)
#include "tst_screenlogic.moc"
