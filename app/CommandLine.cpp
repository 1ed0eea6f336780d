#include "CommandLine.h"

#include "DesktopService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusReply>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace castora {

namespace {

void complain(const QString &message) {
    std::fprintf(stderr, "castora: %s\n", qPrintable(message));
}

// The status as printed: strings that are empty (off air, no channel) are null.
QJsonObject statusJson(const QVariantMap &status) {
    QJsonObject json;
    for (auto it = status.cbegin(); it != status.cend(); ++it) {
        const bool none = it->typeId() == QMetaType::QString && it->toString().isEmpty();
        json.insert(it.key(), none ? QJsonValue() : QJsonValue::fromVariant(*it));
    }
    return json;
}

int failure(const QDBusError &error) {
    if (error.name() == desktop::refusedError()) {
        complain(error.message());
        return kCommandRefused;
    }
    // Without auto-start the bus says NameHasNoOwner (QDBusError has no type for it).
    if (error.type() == QDBusError::ServiceUnknown ||
        error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        complain(QStringLiteral("Castora is not running."));
        return kCommandNotRunning;
    }
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout)
        complain(QStringLiteral("Castora did not answer in time."));
    else
        complain(error.message());
    return kCommandNoAnswer;
}

} // namespace

bool runsWithoutWindow(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"-h", "-?", "--help", "--help-all", "-v", "--version", "--start",
                                   "--stop", "--status"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
    }
    return false;
}

Command parseCommandLine(const QCoreApplication &app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Castora: go on air from your microphone on your channel's Icecast "
                       "stream, record every broadcast and upload the recordings.\n\nWith "
                       "--start, --stop or --status it drives the Castora already running in "
                       "this session, as its Start/Stop button does, and exits with 0 when "
                       "done, 2 when no Castora runs, 3 when refused, 4 without an answer."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("start"),
         QStringLiteral("Start the broadcast in the running program; waits until it is on air "
                        "or refused.")},
        {QStringLiteral("stop"),
         QStringLiteral("Stop the broadcast in the running program; waits until it has "
                        "stopped.")},
        {QStringLiteral("status"),
         QStringLiteral("Print the running program's broadcast state as JSON.")},
    });
    parser.process(app);
    const QStringList extra = parser.positionalArguments();
    if (!extra.isEmpty()) {
        complain(
            QStringLiteral("unexpected argument '%1' (see castora --help)").arg(extra.first()));
        std::exit(kCommandUsage);
    }
    Command command = Command::Run;
    int given = 0;
    for (const auto &[name, candidate] : {std::pair{"start", Command::Start},
                                          {"stop", Command::Stop},
                                          {"status", Command::Status}}) {
        if (parser.isSet(QLatin1String(name))) {
            command = candidate;
            ++given;
        }
    }
    if (given > 1) {
        complain(QStringLiteral("one of --start, --stop and --status at a time"));
        std::exit(kCommandUsage);
    }
    return command;
}

int sendCommand(Command command) {
    if (command == Command::Run)
        return kCommandUsage;
    QDBusConnection bus = desktop::connectSessionBus();
    if (!bus.isConnected()) {
        complain(QStringLiteral("Castora is not running (there is no session bus)."));
        return kCommandNotRunning;
    }
    const QString method = command == Command::Start  ? QStringLiteral("Start")
                           : command == Command::Stop ? QStringLiteral("Stop")
                                                      : QStringLiteral("Status");
    QDBusMessage call = QDBusMessage::createMethodCall(desktop::busName(), desktop::objectPath(),
                                                       desktop::controlInterface(), method);
    call.setAutoStartService(false); // never start the program from a script
    const QDBusMessage answer = bus.call(call, QDBus::Block, desktop::kCallWaitMs);
    if (command == Command::Status) {
        const QDBusReply<QVariantMap> reply = answer;
        if (!reply.isValid())
            return failure(reply.error());
        std::printf(
            "%s\n",
            QJsonDocument(statusJson(reply.value())).toJson(QJsonDocument::Compact).constData());
        return kCommandDone;
    }
    const QDBusReply<QString> reply = answer;
    if (!reply.isValid())
        return failure(reply.error());
    std::printf("%s\n", qPrintable(reply.value()));
    return kCommandDone;
}

} // namespace castora
