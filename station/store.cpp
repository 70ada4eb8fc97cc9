// Picking the store's engine from its location.
#include "station/store.h"

std::unique_ptr<Store> open_sqlite_store(const std::string& path);
std::unique_ptr<Store> open_pg_store(const std::string& location, bool initialise);

bool is_connection_text(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
           location.find('=') != std::string::npos;
}

std::unique_ptr<Store> open_store(const std::string& location, bool initialise) {
    return is_connection_text(location) ? open_pg_store(location, initialise)
                                        : open_sqlite_store(location);
}
