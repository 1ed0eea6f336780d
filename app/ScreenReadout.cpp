#include "ScreenReadout.h"

#include <QQmlApplicationEngine>

#if CASTORA_INSPECTION_BUILT
#include <QDebug>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>

#include <atomic>
#include <memory>
#include <utility>
#endif

namespace castora {

#if CASTORA_INSPECTION_BUILT
namespace {

constexpr qint64 kMaxRequestBytes = 4096; // a request is one short line
constexpr int kMaxProperties = 16;

void collect(QQuickItem *item, const QString &name, QList<QQuickItem *> &found) {
    if (item->objectName() == name)
        found.append(item);
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children)
        collect(child, name, found);
}

QJsonValue toJson(const QVariant &value) {
    if (!value.isValid())
        return QJsonValue::Null;
    const QJsonValue json = QJsonValue::fromVariant(value);
    // Colours, URLs and the like: their text form.
    if (json.isNull() && value.canConvert<QString>())
        return value.toString();
    return json;
}

QJsonObject describe(QQuickItem *item, const QJsonArray &properties) {
    const QPointF topLeft = item->mapToGlobal(QPointF(0, 0));
    QJsonObject values;
    for (const QJsonValue &property : properties) {
        const QString key = property.toString();
        values.insert(key, toJson(item->property(key.toUtf8().constData())));
    }
    return QJsonObject{
        {QStringLiteral("visible"), item->isVisible()},
        {QStringLiteral("enabled"), item->isEnabled()},
        {QStringLiteral("x"), topLeft.x()},
        {QStringLiteral("y"), topLeft.y()},
        {QStringLiteral("width"), item->width()},
        {QStringLiteral("height"), item->height()},
        {QStringLiteral("properties"), values},
    };
}

// Events noted by the program (countForInspection), on the GUI thread.
QHash<QString, qint64> &noted() {
    static QHash<QString, qint64> counts;
    return counts;
}

// Frames swapped by the engine's windows, counted on the render thread.
using FrameCount = std::shared_ptr<std::atomic<qint64>>;

QJsonObject answer(const QQmlApplicationEngine &engine, const FrameCount &frames,
                   const QByteArray &line) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    const QJsonObject request = document.object();
    const QString count = request.value(QStringLiteral("count")).toString();
    if (count == QStringLiteral("frames"))
        return {{QStringLiteral("frames"), frames->load()}};
    if (!count.isEmpty())
        return {{count, noted().value(count)}};
    const QString name = request.value(QStringLiteral("name")).toString();
    const QJsonArray properties = request.value(QStringLiteral("properties")).toArray();
    if (!document.isObject() || name.isEmpty())
        return {{QStringLiteral("error"), QStringLiteral("expected {\"name\": ...}")}};
    if (properties.size() > kMaxProperties)
        return {{QStringLiteral("error"), QStringLiteral("too many properties")}};

    QList<QQuickItem *> found;
    const QList<QObject *> roots = engine.rootObjects();
    for (QObject *root : roots) {
        if (auto *window = qobject_cast<QQuickWindow *>(root))
            collect(window->contentItem(), name, found);
    }
    QJsonArray items;
    for (QQuickItem *item : std::as_const(found))
        items.append(describe(item, properties));
    return {{QStringLiteral("items"), items}};
}

void serve(const QQmlApplicationEngine &engine, const FrameCount &frames, QLocalSocket *socket) {
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [&engine, frames, socket] {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine(kMaxRequestBytes + 1);
            socket->write(QJsonDocument(answer(engine, frames, line.trimmed()))
                              .toJson(QJsonDocument::Compact));
            socket->write("\n");
        }
        if (socket->bytesAvailable() > kMaxRequestBytes)
            socket->abort(); // no line end in sight: not one of ours
    });
}

} // namespace
#endif

void startInspection(QQmlApplicationEngine &engine) {
#if CASTORA_INSPECTION_BUILT
    const QString path = qEnvironmentVariable("CASTORA_INSPECT");
    if (path.isEmpty())
        return;
    auto *server = new QLocalServer(&engine);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(path);
    if (!server->listen(path)) {
        qWarning() << "Inspection channel not available:" << server->errorString();
        delete server;
        return;
    }
    auto frames = std::make_shared<std::atomic<qint64>>(0);
    const QList<QObject *> roots = engine.rootObjects();
    for (QObject *root : roots) {
        if (auto *window = qobject_cast<QQuickWindow *>(root))
            QObject::connect(
                window, &QQuickWindow::frameSwapped, server, [frames] { ++*frames; },
                Qt::DirectConnection);
    }
    QObject::connect(server, &QLocalServer::newConnection, server, [&engine, frames, server] {
        while (QLocalSocket *socket = server->nextPendingConnection())
            serve(engine, frames, socket);
    });
#else
    Q_UNUSED(engine);
#endif
}

void countForInspection(const char *event) {
#if CASTORA_INSPECTION_BUILT
    ++noted()[QString::fromLatin1(event)];
#else
    Q_UNUSED(event);
#endif
}

} // namespace castora
