// Makes the local schema on a PostgreSQL server (tools and tests only: the wizard and
// corvena-index never create or alter tables).
#pragma once

#include <string>

// Creates the local song database's tables (ServerSchemaText) in the database AConnectionString
// names, all or none: tables already there are never replaced. The database must hold UTF-8.
// Returns the database as messages name it (postgresql://HOST:PORT/DATABASE). Throws
// std::runtime_error naming the server and the database (never a password) on failure.
std::string CreateServerDatabase(const std::string& AConnectionString);
