#pragma once

#include <QSqlDatabase>
#include <QString>

namespace castora {

// The program's handle on the recordings database (Qt's default SQL connection). Everything
// else looks the connection up by its default name.
extern QSqlDatabase db;

// Folder of "app.db": the application data location, or ~/.castora when the platform has none.
QString recordingsDataDirectory();

// How the start-up found the database.
struct DatabaseStart {
    bool open = false;
    // The file that could not be used, kept under this name (with its time stamp) for a look
    // later; empty when the database was fine.
    QString movedAside;
    // Recordings found in the recordings folder and listed again in the new database.
    int relisted = 0;
    // What the user is told once; empty when all went well.
    QString notice;
};

// Opens (creating when needed) <data folder>/app.db as the default connection, creates the
// `recordings` table and adds the `upload_status` column to files made before it existed. The
// file is the user's alone (0600, in a 0700 folder). A file that does not open or fails its
// checks (not a database, damaged pages, a table that cannot be read or created) is moved
// aside and a new database started, in which the MP3 files of `recordingsFolder` are listed
// again (name and time from the file name, not uploaded). A database locked by another
// program is left alone. A later call closes the previous connection and opens the file
// again, as a fresh start would.
//
// `listAgain`: the MP3 files of `recordingsFolder` that no row lists are listed also when the
// file was fine (the database was found gone, and made anew).
DatabaseStart openDatabase(const QString &recordingsFolder, bool listAgain = false);

// openDatabase() without a recordings folder to list again; true when the database is open.
bool initDatabase();

} // namespace castora
