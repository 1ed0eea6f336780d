#pragma once

#include <QSqlDatabase>
#include <QString>

namespace castora {

// The program's handle on the recordings database (Qt's default SQL connection). Everything
// else looks the connection up by its default name.
extern QSqlDatabase db;

// Folder of "app.db": the application data location, or ~/.castora when the platform has none.
QString recordingsDataDirectory();

// Opens (creating when needed) <data folder>/app.db as the default connection, creates the
// `recordings` table and adds the `upload_status` column to files made before it existed.
// True when the database is open. Called once at start-up; a later call closes the previous
// connection and opens the file again, as a fresh start would.
bool initDatabase();

} // namespace castora
