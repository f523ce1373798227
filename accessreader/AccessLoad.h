// Reading an Access database (Jet 3, Jet 4 or ACE) into SQLite, through libmdb. Only the
// reader program links this: libmdb is not robust against damaged files, so it never runs
// inside the wizard or corvena-index.
#pragma once

#include <string>

struct sqlite3;

// Reads every user table of the Access file AFileName, every column and row, into a new
// in-memory SQLite database.
// Text and memo become TEXT COLLATE NOCASE in UTF-8, integers and yes/no (0/1) INTEGER,
// floating point, currency and numeric REAL, dates REAL holding the stored OLE Automation day
// value, binary and OLE BLOB; every FilePath column gets an index.
// Throws TDatabaseError("Cannot open database \"FILE\": REASON") when the file cannot be read
// whole, naming what is damaged or unsupported.
sqlite3* LoadAccessFile(const std::string& AFileName);
