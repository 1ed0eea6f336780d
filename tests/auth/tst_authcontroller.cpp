#include "TestMain.h"
class Placeholder : public QObject { Q_OBJECT };
CASTORA_TEST_MAIN(Placeholder)
#include "tst_authcontroller.moc"
