// The chat singletons as the UI reaches them under "com.StreamController" 1.0.
#include "ChatController.h"
#include "ChatProtocol.h"
#include "MessageModel.h"
#include "QmlRegistration.h"
#include "Startup.h"
#include "TestMain.h"

#include <QQmlComponent>
#include <QQmlEngine>

#include <memory>

using namespace castora;

class TestChatQml : public QObject {
    Q_OBJECT

private slots:
    void singletonsFromQml() {
        ChatController chat(ServiceConfig::local(1));
        ChatProtocol protocol(QStringLiteral("ws://127.0.0.1:8086/chat"));
        qmlapi::provide(&chat);
        qmlapi::provide(&protocol);
        QQmlEngine engine;
        prepareEngine(engine);
        QQmlComponent component(&engine);
        // What the broadcast screen's socket handlers and the chat panel's send button do.
        component.setData(R"(
            import QtQml
            import com.StreamController
            QtObject {
                property url address: ChatProtocol.roomAddress("my show", "3|a+b")
                property string frame: ChatProtocol.outgoingFrame("my-show", "hi", 1)
                property int delay: ChatProtocol.reconnectDelay(2)
                function receive(text) {
                    const frame = ChatProtocol.parseFrame(text)
                    if (frame.hasMessage)
                        ChatController.addMessage(2, frame.name, frame.message)
                }
            })",
                          QUrl());
        std::unique_ptr<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        QCOMPARE(root->property("address").toUrl().toEncoded(),
                 QByteArray("ws://127.0.0.1:8086/chat?room=my%20show&token=3%7Ca%2Bb"));
        QCOMPARE(
            root->property("frame").toString(),
            QStringLiteral(R"({"name":"my-show","room":"my-show","type":"join","message":"hi"})"));
        QCOMPARE(root->property("delay").toInt(), 4000);

        QTest::ignoreMessage(QtInfoMsg, "Chat message: \"hello\"");
        QMetaObject::invokeMethod(
            root.get(), "receive",
            Q_ARG(QVariant, QStringLiteral(R"({"name":"ann","message":"hello"})")));
        QMetaObject::invokeMethod(root.get(), "receive",
                                  Q_ARG(QVariant, QStringLiteral(R"({"name":"ann"})")));
        QCOMPARE(chat.rowCount(), 1); // the provided instance, reached from QML
        const MessageModel *message = chat.message(0);
        QCOMPARE(message->id(), 2);
        QCOMPARE(message->sender(), QStringLiteral("ann"));
        QCOMPARE(message->createdAt(), QStringLiteral("now"));
    }
};

CASTORA_GUI_TEST_MAIN(TestChatQml)
#include "tst_chatqml.moc"
