// What the store's engines share: the tables and the order of a record's
// fields. Only the engines and the store's face include this.
#pragma once

#include "station/store.h"

#include <memory>
#include <string>

// The schema's version, which every engine keeps and checks.
constexpr int SCHEMA_VERSION = 1;

// The fields of a record as the stores select them: the export's columns,
// then the round (the transcript follows them in a query that asks for it).
extern const char RECORD_FIELDS[];

// The tables, with `bytes` the engine's type for raw bytes and `big` its type
// for a 64-bit integer.
std::string store_schema(const std::string& bytes, const std::string& big);

std::unique_ptr<Store> open_sqlite_store(const std::string& path);
std::unique_ptr<Store> open_pg_store(const std::string& location, bool initialise);
