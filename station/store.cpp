// Picking the store's engine from its location.
#include "station/store.h"

#include "station/store_engines.h"

bool is_connection_text(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
           location.find('=') != std::string::npos;
}

std::unique_ptr<Store> open_store(const std::string& location, Schema schema) {
    return is_connection_text(location) ? open_pg_store(location, schema)
                                        : open_sqlite_store(location, schema);
}
