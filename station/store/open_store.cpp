// Picking the store's engine from its location.
#include "station/file/file.h"
#include "station/store/engines.h"

std::unique_ptr<Store> open_store(const std::string& location, Schema schema) {
    return is_connection_text(location) ? open_pg_store(location, schema)
                                        : open_sqlite_store(location, schema);
}
