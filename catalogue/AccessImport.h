// Reading an Access database (Jet 3, Jet 4 or ACE) into SQLite, through libmdb. Access files
// are only ever read: operators' master catalogues come as Access files, and a copy in memory
// answers the catalogue's statements exactly as an SQLite master would.
#pragma once

#include <string>

struct sqlite3;

// Reads every user table of the Access file AFileName, every column and row, into a new
// private in-memory SQLite database and returns it open (serialised, writes refused). Text
// and memo become TEXT COLLATE NOCASE in UTF-8, integers and yes/no (0/1) INTEGER, floating
// point, currency and numeric REAL, dates REAL holding the stored OLE Automation day value,
// binary and OLE BLOB; every FilePath column gets an index.
// Throws TDatabaseError("Cannot open database \"FILE\": REASON") when the file cannot be read
// whole, naming what is damaged or unsupported.
sqlite3* LoadAccessDatabase(const std::string& AFileName);

// Lets every share-deny-none connection of this program read Access files with the above.
void InstallAccessReader();
