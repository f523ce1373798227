// Connection strings of a local song database on a PostgreSQL server, accepted wherever a local
// database is named (Local in Configure.ini, --local):
//   a libpq URI          postgresql://user@host:port/database?sslmode=require (or postgres://)
//   libpq's key/value    host=db.example dbname=ktv user=corvena sslmode=verify-full
//   the host's own style Provider=PostgreSQL;Host=db.example;Port=5432;Database=ktv;User ID=corvena
// Read here without libpq, so that every program (the plug-in included) tells a server from a
// file; PgEngine.h connects.
//
// Passwords come only from libpq's own sources (PGPASSWORD, ~/.pgpass, a service file named by
// PGSERVICE or service=): a string that holds one is refused, and no message ever quotes a
// connection string, only what PgDisplayName makes of it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TPgConnectInfo {
    // Keywords and values for PQconnectdbParams, in order. With Expand, the one value is a URI
    // or key/value text that libpq reads itself (expand_dbname).
    std::vector<std::pair<std::string, std::string>> Params;
    bool Expand = false;
    // What the string names (empty: left to libpq's defaults), for messages.
    std::string Hosts;
    std::string Ports;
    std::string Database;
    std::string Service;
    // Why the string cannot be used ("" when it can): a password in it, a key unknown to the
    // host's style, a malformed URI or key/value text. Never quotes the string.
    std::string Problem;
};

// True for a URI of scheme postgresql or postgres, a host-style string whose Provider is
// PostgreSQL, or text made only of libpq keyword=value pairs; false for a file name or a Jet
// connection string.
bool IsPgConnectionString(std::string_view AText);

// Reads a string IsPgConnectionString accepts.
TPgConnectInfo ParsePgConnectionString(std::string_view AText);

// postgresql://HOSTS:PORT/DATABASE: the server and the database, with no user, password or
// option (a service file's name as ?service=NAME); a part left to libpq's defaults is left out,
// as a URI would leave it.
std::string PgDisplayName(std::string_view AHosts, std::string_view APorts, std::string_view ADatabase,
                          std::string_view AService = {});
std::string PgDisplayName(const TPgConnectInfo& AInfo);
