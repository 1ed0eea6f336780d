#pragma once

#include <QTest>

namespace castora::test {

// Points HOME and the XDG folders at a fresh temporary folder, before anything reads them
// (QSettings and QStandardPaths cache their locations on first use).
void isolateUserFolders();

// The whole contents of a file, empty when it cannot be read; a new file of `bytes`.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);
// The permission bits of a file or folder, -1 when there is none.
int modeOf(const QString &path);

// The columns of a data table on one line: columns<QString, bool>("fault", "refused") adds a
// QString column "fault" and a bool column "refused".
template <typename... T, typename... Name> void columns(Name... names) {
    static_assert(sizeof...(T) == sizeof...(Name), "one name for each column");
    (QTest::addColumn<T>(names), ...);
}

// One data row on one line: row("name", a, b) is QTest::newRow("name") << a << b. A string
// literal goes into a QString column.
template <typename... T> void row(const char *name, T... values) {
    (QTest::newRow(name) << ... << values);
}

} // namespace castora::test

// QTEST_GUILESS_MAIN / QTEST_MAIN with isolated user folders; `first` runs before the
// application object exists, while the process has one thread.
#define CASTORA_TEST_MAIN_IMPL(TestObject, AppType, first)                                         \
    int main(int argc, char **argv) {                                                              \
        castora::test::isolateUserFolders();                                                       \
        first;                                                                                     \
        AppType app(argc, argv);                                                                   \
        app.setApplicationName(QStringLiteral("Castora"));                                         \
        app.setOrganizationName(QStringLiteral("Castora"));                                        \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define CASTORA_TEST_MAIN(TestObject) CASTORA_TEST_MAIN_IMPL(TestObject, QCoreApplication, )
#define CASTORA_GUI_TEST_MAIN(TestObject) CASTORA_TEST_MAIN_IMPL(TestObject, QGuiApplication, )
