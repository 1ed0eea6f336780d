#pragma once

#include <QTest>

namespace castora::test {

// Points HOME and the XDG folders at a fresh temporary folder, before anything reads them
// (QSettings and QStandardPaths cache their locations on first use).
void isolateUserFolders();

} // namespace castora::test

// QTEST_GUILESS_MAIN / QTEST_MAIN with isolated user folders.
#define CASTORA_TEST_MAIN_IMPL(TestObject, AppType)                                                \
    int main(int argc, char **argv) {                                                              \
        castora::test::isolateUserFolders();                                                       \
        AppType app(argc, argv);                                                                   \
        app.setApplicationName(QStringLiteral("Castora"));                                         \
        app.setOrganizationName(QStringLiteral("Castora"));                                        \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define CASTORA_TEST_MAIN(TestObject) CASTORA_TEST_MAIN_IMPL(TestObject, QCoreApplication)
#define CASTORA_GUI_TEST_MAIN(TestObject) CASTORA_TEST_MAIN_IMPL(TestObject, QGuiApplication)
