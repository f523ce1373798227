// Creates empty song databases from the reference schema (tools and tests only: the wizard
// and the plug-in never create or alter tables).
#pragma once

#include <string>

enum class TSchemaKind { Local, Master };

// The DDL text of a schema (SQLite).
const char* SchemaText(TSchemaKind AKind);
// The local schema for a PostgreSQL server (schema/local-postgresql.sql).
const char* ServerSchemaText();

// Creates FILE (which must not exist yet) holding the empty tables of the schema.
// Throws std::runtime_error naming the file on failure.
void CreateDatabase(const std::string& AFileName, TSchemaKind AKind);
