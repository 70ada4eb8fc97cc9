// Picking the store's engine from its location.
#include "station/store.h"

#include "station/store_engines.h"

std::string store_schema(const EngineTypes& types) {
    const std::string bytes = types.bytes, big = types.big;
    return R"(
CREATE TABLE IF NOT EXISTS profiles (
    station TEXT PRIMARY KEY, id TEXT NOT NULL, board_data_sha256 TEXT NOT NULL,
    otp_sha256 TEXT NOT NULL, firmware_sha256 TEXT NOT NULL, otp_address TEXT NOT NULL,
    locked TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS records (
    id TEXT PRIMARY KEY, station TEXT NOT NULL, fixture TEXT NOT NULL, port TEXT NOT NULL,
    device TEXT NOT NULL, mac TEXT NOT NULL, profile TEXT NOT NULL,
    board_data_sha256 TEXT NOT NULL, otp_sha256 TEXT NOT NULL, firmware_sha256 TEXT NOT NULL,
    otp_address TEXT NOT NULL, host_version TEXT NOT NULL, attempt INTEGER NOT NULL,
    rework INTEGER NOT NULL, started TEXT NOT NULL, ended TEXT NOT NULL, outcome TEXT NOT NULL,
    stage TEXT NOT NULL, message TEXT NOT NULL, frames )" +
           big + R"( NOT NULL,
    exit_status TEXT NOT NULL, transcript )" +
           bytes + R"( NOT NULL, round TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS records_mac ON records (mac);
CREATE INDEX IF NOT EXISTS records_round ON records (station, round);
-- The MACs claimed: the primary key refuses a duplicate, whichever station asks.
CREATE TABLE IF NOT EXISTS claims (
    mac TEXT PRIMARY KEY, record TEXT NOT NULL REFERENCES records (id),
    state TEXT NOT NULL CHECK (state IN ('running', 'passed')));
-- MACs that a board keeps for ever: the image that carries its MAC was being
-- programmed (an OTP is written once). Only a retry of that record takes it.
CREATE TABLE IF NOT EXISTS kept (mac TEXT PRIMARY KEY, record TEXT NOT NULL);
-- Every MAC ever claimed or handed out: a pool hands out none of them.
CREATE TABLE IF NOT EXISTS macs_used (mac TEXT PRIMARY KEY);
-- Each pool's next MAC to try.
CREATE TABLE IF NOT EXISTS pools (
    first TEXT NOT NULL, last TEXT NOT NULL, next TEXT NOT NULL, PRIMARY KEY (first, last));
-- The used MACs again, as runs of consecutive numbers (first to last): a
-- pool skips a whole run with one look-up.
CREATE TABLE IF NOT EXISTS used_runs (first )" +
           big + R"( PRIMARY KEY, last )" + big + R"( NOT NULL);
-- The store's id, made with it: a spooled record goes to its own store only.
CREATE TABLE IF NOT EXISTS store_info (id TEXT PRIMARY KEY, made TEXT NOT NULL);
-- A number for each station name, made once: the key of its liveness lock.
CREATE TABLE IF NOT EXISTS stations (number )" +
           types.serial_key + R"(, name TEXT NOT NULL UNIQUE);
-- MACs a person freed from the board that held them, with who, when and why.
CREATE TABLE IF NOT EXISTS releases (
    mac TEXT NOT NULL, record TEXT NOT NULL, station TEXT NOT NULL, released TEXT NOT NULL,
    who TEXT NOT NULL, reason TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS releases_mac ON releases (mac);
)";
}

bool is_connection_text(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
           location.find('=') != std::string::npos;
}

std::unique_ptr<Store> open_store(const std::string& location, Schema schema) {
    return is_connection_text(location) ? open_pg_store(location, schema)
                                        : open_sqlite_store(location);
}
