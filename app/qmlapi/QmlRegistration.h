#pragma once

// The controllers as the UI sees them: singletons and creatable record types under the import
// URI "com.StreamController" 1.0. The program creates each controller once; the engine is
// handed these instances and never owns them.

#include "AppLinks.h"
#include "AuthController.h"
#include "ChatController.h"
#include "ChatProtocol.h"
#include "ChatSocket.h"
#include "RecordingController.h"
#include "StreamController.h"
#include "UpdateController.h"

#include <QtQml/qqml.h>

class QJSEngine;

namespace castora::qmlapi {

template <typename T> T *&instance() {
    static T *object = nullptr;
    return object;
}

template <typename T> void provide(T *object) {
    instance<T>() = object;
}

// Hands the registered instance to the engine, keeping ownership on the C++ side.
QObject *lend(QObject *object, QJSEngine *engine);

template <typename T> T *lend(QJSEngine *engine) {
    return static_cast<T *>(lend(instance<T>(), engine));
}

} // namespace castora::qmlapi

// The broadcast engine: a list model of the microphones and every broadcast property.
struct StreamControllerForeign {
    Q_GADGET
    QML_FOREIGN(StreamController)
    QML_NAMED_ELEMENT(StreamController)
    QML_SINGLETON
public:
    static StreamController *create(QQmlEngine *, QJSEngine *engine) {
        return castora::qmlapi::lend<StreamController>(engine);
    }
};

// One audio input device; creatable.
struct MicModelForeign {
    Q_GADGET
    QML_FOREIGN(MicModel)
    QML_NAMED_ELEMENT(MicModel)
};

struct AuthControllerForeign {
    Q_GADGET
    QML_FOREIGN(AuthController)
    QML_NAMED_ELEMENT(AuthController)
    QML_SINGLETON
public:
    static AuthController *create(QQmlEngine *, QJSEngine *engine) {
        return castora::qmlapi::lend<AuthController>(engine);
    }
};

struct ChatControllerForeign {
    Q_GADGET
    QML_FOREIGN(ChatController)
    QML_NAMED_ELEMENT(ChatController)
    QML_SINGLETON
public:
    static ChatController *create(QQmlEngine *, QJSEngine *engine) {
        return castora::qmlapi::lend<ChatController>(engine);
    }
};

// Room address, frames and reconnection delay of the broadcast screen's chat socket.
struct ChatProtocolForeign {
    Q_GADGET
    QML_FOREIGN(ChatProtocol)
    QML_NAMED_ELEMENT(ChatProtocol)
    QML_SINGLETON
public:
    static ChatProtocol *create(QQmlEngine *, QJSEngine *engine) {
        return castora::qmlapi::lend<ChatProtocol>(engine);
    }
};

// The broadcast screen's connection to the chat room; creatable.
struct ChatSocketForeign {
    Q_GADGET
    QML_FOREIGN(ChatSocket)
    QML_NAMED_ELEMENT(ChatSocket)
};

struct RecordingControllerForeign {
    Q_GADGET
    QML_FOREIGN(RecordingController)
    QML_NAMED_ELEMENT(RecordingController)
    QML_SINGLETON
public:
    static RecordingController *create(QQmlEngine *, QJSEngine *engine) {
        return castora::qmlapi::lend<RecordingController>(engine);
    }
};

// One row of the recordings list; creatable so that screens can hold one of their own.
struct RecordingModelForeign {
    Q_GADGET
    QML_FOREIGN(RecordingModel)
    QML_NAMED_ELEMENT(RecordingModel)
};

struct UpdateControllerForeign {
    Q_GADGET
    QML_FOREIGN(UpdateController)
    QML_NAMED_ELEMENT(UpdateController)
    QML_SINGLETON
public:
    static UpdateController *create(QQmlEngine *, QJSEngine *engine) {
        return castora::qmlapi::lend<UpdateController>(engine);
    }
};

struct AppLinksForeign {
    Q_GADGET
    QML_FOREIGN(AppLinks)
    QML_NAMED_ELEMENT(AppLinks)
    QML_SINGLETON
public:
    static AppLinks *create(QQmlEngine *, QJSEngine *engine) {
        return castora::qmlapi::lend<AppLinks>(engine);
    }
};
