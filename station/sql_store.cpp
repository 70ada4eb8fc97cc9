// The claim rules, once for both engines: a MAC claimed in the same
// transaction that writes its record, refused by the claims table's primary
// key; settled when the record is finished.
#include "station/store_engines.h"

#include <cstdio>

namespace {

// The record's fields as the tables name them: the export's columns, the
// round and the transcript, in the order of record_values.
std::string record_fields() {
    std::string fields;
    for (const std::string& column : record_columns()) {
        fields += column + ", ";
    }
    return fields + "round, transcript";
}

std::string placeholders(size_t count) {
    std::string text;
    for (size_t i = 1; i <= count; ++i) {
        text += (i > 1 ? ", $" : "$") + std::to_string(i);
    }
    return text;
}

} // namespace

std::optional<Profile> SqlStore::locked_profile(const std::string& station) {
    Rows rows = run("SELECT id, board_data_sha256, otp_sha256, firmware_sha256, otp_address, "
                    "locked FROM profiles WHERE station = $1",
                    {station});
    if (rows.empty()) {
        return std::nullopt;
    }
    const auto& r = rows[0];
    return Profile{r[0], r[1], r[2], r[3], r[4], r[5]};
}

void SqlStore::lock_profile(const std::string& station, const Profile& p) {
    run("INSERT INTO profiles VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (station) "
        "DO UPDATE SET id = $2, board_data_sha256 = $3, otp_sha256 = $4, "
        "firmware_sha256 = $5, otp_address = $6, locked = $7",
        {station, p.id, p.board_data_sha256, p.otp_sha256, p.firmware_sha256, p.otp_address,
         p.locked});
}

std::string SqlStore::claim_and_start(Record& r, const std::string& retry_of) {
    std::string refusal;
    transaction([&] {
        Rows kept = run("SELECT record FROM kept WHERE mac = $1", {r.mac});
        if (!kept.empty() && kept[0][0] != retry_of) {
            refusal = why_kept(r.mac);
            return false;
        }
        run("INSERT INTO macs_used VALUES ($1) ON CONFLICT (mac) DO NOTHING", {r.mac});
        r.attempt =
            std::stoi(run("SELECT count(*) FROM records WHERE mac = $1", {r.mac})[0][0]) + 1;
        insert_record(r);
        // A rework moves a passed claim on to the new record; any other
        // claim is a new row, which the primary key refuses when the MAC is
        // claimed already, on whichever station.
        if (r.rework) {
            run("UPDATE claims SET record = $1, state = 'running' "
                "WHERE mac = $2 AND state = 'passed'",
                {r.id, r.mac});
            if (changed() == 1) {
                return true;
            }
        }
        run("INSERT INTO claims VALUES ($1, $2, 'running') ON CONFLICT (mac) DO NOTHING",
            {r.mac, r.id});
        if (changed() == 0) {
            refusal = why_claimed(r.mac);
            return false;
        }
        if (!kept.empty()) {
            run("UPDATE kept SET record = $1 WHERE mac = $2", {r.id, r.mac});
        }
        return true;
    });
    return refusal;
}

namespace {

unsigned long long mac_number(const std::string& mac) {
    return std::stoull(mac, nullptr, 16);
}

std::string mac_text(unsigned long long number) {
    char text[24];
    std::snprintf(text, sizeof(text), "%012llX", number);
    return text;
}

} // namespace

std::optional<std::string> SqlStore::hand_out(const std::string& first, const std::string& last) {
    std::optional<std::string> mac;
    transaction([&] {
        run("INSERT INTO pools VALUES ($1, $2, $1) ON CONFLICT (first, last) DO NOTHING",
            {first, last});
        // Held to the end of the transaction: two stations never take one MAC.
        std::string next =
            run("SELECT next FROM pools WHERE first = $1 AND last = $2" + for_update(),
                {first, last})[0][0];
        for (unsigned long long n = mac_number(next); n <= mac_number(last); ++n) {
            run("INSERT INTO macs_used VALUES ($1) ON CONFLICT (mac) DO NOTHING", {mac_text(n)});
            if (changed() == 1) {
                mac = mac_text(n);
                run("UPDATE pools SET next = $3 WHERE first = $1 AND last = $2",
                    {first, last, mac_text(n + 1)});
                return true;
            }
        }
        run("UPDATE pools SET next = $3 WHERE first = $1 AND last = $2",
            {first, last, mac_text(mac_number(last) + 1)});
        return true;
    });
    return mac;
}

long long SqlStore::pool_used(const std::string& first, const std::string& last) {
    return std::stoll(
        run("SELECT count(*) FROM macs_used WHERE mac >= $1 AND mac <= $2", {first, last})[0][0]);
}

std::string SqlStore::refusal(const std::string& mac, bool rework) {
    if (!run("SELECT record FROM kept WHERE mac = $1", {mac}).empty()) {
        return why_kept(mac);
    }
    Rows claims = run("SELECT state FROM claims WHERE mac = $1", {mac});
    if (claims.empty() || (rework && claims[0][0] == "passed")) {
        return "";
    }
    return why_claimed(mac);
}

void SqlStore::finish(const Record& r) {
    transaction([&] {
        // Finished once: a record delivered again changes nothing.
        run("UPDATE records SET ended = $1, outcome = $2, stage = $3, message = $4, "
            "frames = $5, exit_status = $6, transcript = $7 "
            "WHERE id = $8 AND outcome IN ('started', 'interrupted')",
            {r.ended, text_of(r.outcome), text_of(r.stage), r.message, std::to_string(r.frames),
             r.exit_status, r.transcript, r.id},
            7);
        if (changed() == 1) {
            settle_claim(r.id, r.mac, r.outcome == Outcome::passed);
            settle_kept(r);
        }
        return true;
    });
}

std::vector<Record> SqlStore::started_records(const std::string& station) {
    return selected("station = $1 AND outcome = 'started'", {station}, true);
}

std::vector<Record> SqlStore::records(const RecordFilter& f) {
    return selected("($1 = '' OR station = $1) AND ($2 = '' OR mac = $2) AND "
                    "($3 = '' OR started >= $3) AND ($4 = '' OR round = $4)",
                    {f.station, f.mac, f.since, f.round}, f.with_transcripts);
}

std::string SqlStore::last_round(const std::string& station) {
    Rows rows = run("SELECT round FROM records WHERE station = $1 ORDER BY started DESC LIMIT 1",
                    {station});
    return rows.empty() ? "" : rows[0][0];
}

void SqlStore::transaction(const std::function<bool()>& work) {
    begin();
    bool commit_it = false;
    try {
        commit_it = work();
    } catch (...) {
        try {
            rollback();
        } catch (const StationError&) {
            // the connection is gone, and the transaction with it
        }
        throw;
    }
    commit_it ? commit() : rollback();
}

void SqlStore::insert_record(const Record& r) {
    std::vector<std::string> values = record_values(r);
    run("INSERT INTO records (" + record_fields() + ") VALUES (" + placeholders(values.size()) +
            ")",
        values, static_cast<int>(values.size()));
}

// A passed board keeps its MAC claimed; one whose claim was freed (it was
// marked interrupted before its true end arrived) claims it again, unless
// another board holds it now. Any other end frees the MAC, or, after a
// failed rework, gives the claim back to the board's last passed record: a
// board that passed once is never taken as new.
void SqlStore::settle_claim(const std::string& record, const std::string& mac, bool passed) {
    if (passed) {
        run("UPDATE claims SET state = 'passed' WHERE record = $1", {record});
        if (changed() == 0) {
            run("INSERT INTO claims VALUES ($1, $2, 'passed') ON CONFLICT (mac) DO NOTHING",
                {mac, record});
        }
        return;
    }
    Rows last = run("SELECT p.id FROM records r JOIN records p ON p.mac = r.mac "
                    "WHERE r.id = $1 AND p.outcome = 'passed' ORDER BY p.started DESC LIMIT 1",
                    {record});
    if (!last.empty()) {
        run("UPDATE claims SET state = 'passed', record = $1 WHERE record = $2",
            {last[0][0], record});
    } else {
        run("DELETE FROM claims WHERE record = $1", {record});
    }
}

// A board that passed needs no keeping (its claim is passed); one that did
// not, but whose MAC-carrying image was being programmed, keeps its MAC, by
// this record.
void SqlStore::settle_kept(const Record& r) {
    if (r.outcome == Outcome::passed) {
        run("DELETE FROM kept WHERE mac = $1", {r.mac});
    } else if (r.mac_kept) {
        run("INSERT INTO kept VALUES ($1, $2) ON CONFLICT (mac) DO UPDATE SET record = $2",
            {r.mac, r.id});
    }
}

std::string SqlStore::why_kept(const std::string& mac) {
    Rows rows = run("SELECT r.station, r.fixture, r.started FROM kept k "
                    "JOIN records r ON r.id = k.record WHERE k.mac = $1",
                    {mac});
    std::string where = rows.empty() ? ""
                                     : " on station " + rows[0][0] + ", fixture " + rows[0][1] +
                                           ", at " + rows[0][2];
    return "MAC " + mac + " is kept by the board that was programmed with it" + where +
           " (station retry programs that board again)";
}

std::string SqlStore::why_claimed(const std::string& mac) {
    Rows rows = run("SELECT c.state, r.station, r.fixture, r.started, r.ended FROM claims c "
                    "JOIN records r ON r.id = c.record WHERE c.mac = $1",
                    {mac});
    if (rows.empty()) {
        return "MAC " + mac + " is claimed";
    }
    const auto& r = rows[0];
    if (r[0] == "passed") {
        return "MAC " + mac + " was programmed on station " + r[1] + ", fixture " + r[2] + ", at " +
               r[4] + " (--rework to program it again)";
    }
    return "MAC " + mac + " is being programmed on station " + r[1] + ", fixture " + r[2] +
           ", since " + r[3];
}

std::vector<Record> SqlStore::selected(const std::string& where,
                                       const std::vector<std::string>& values, bool transcripts) {
    std::string fields = record_fields();
    if (!transcripts) {
        fields.replace(fields.rfind("transcript"), std::string("transcript").size(), "''");
    }
    std::vector<Record> found;
    for (auto& row :
         run("SELECT " + fields + " FROM records WHERE " + where + " ORDER BY started, fixture",
             values)) {
        found.push_back(record_from_values(row));
    }
    return found;
}
