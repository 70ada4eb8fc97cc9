// What `init` and `lock` say of how the store's server replicates, and the
// warning a failover that may lose claims deserves.
#include "station/store/store.h"

#include <gtest/gtest.h>

namespace {

TEST(Replication, SaidAndWarnedByWhatTheServerShows) {
    const struct {
        const char* what;
        Replication replication;
        const char* said;
        const char* risk; // what the warning holds; empty: none
    } cases[] = {
        {"no standby",
         {{}, "on"},
         "replication: no standby (the server is the store's only copy)",
         ""},
        {"a synchronous one",
         {{{"standby1", "sync"}}, "on"},
         "replication: standby1 (synchronous); synchronous_commit on",
         ""},
        {"by quorum, beside an asynchronous one",
         {{{"a", "quorum"}, {"b", "async"}}, "remote_apply"},
         "replication: a (synchronous), b (asynchronous); synchronous_commit remote_apply",
         ""},
        {"asynchronous only",
         {{{"standby1", "async"}, {"standby2", "potential"}}, "on"},
         "replication: standby1 (asynchronous), standby2 (asynchronous); synchronous_commit on",
         "a failover to an asynchronous standby may lose the store's last claims"},
        {"synchronous, but commits do not wait for it",
         {{{"standby1", "sync"}}, "local"},
         "replication: standby1 (synchronous); synchronous_commit local",
         "a failover to a standby, with synchronous_commit local, may lose"},
        {"hidden from the role",
         {{{"", ""}}, "on"},
         "replication: a standby (its kind hidden from this role: grant it pg_read_all_stats); "
         "synchronous_commit on",
         ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(replication_said(c.replication), c.said) << c.what;
        std::string risk = replication_risk(c.replication);
        if (*c.risk == '\0') {
            EXPECT_EQ(risk, "") << c.what;
        } else {
            EXPECT_NE(risk.find(c.risk), std::string::npos) << c.what << ": " << risk;
            EXPECT_NE(risk.find("synchronous_standby_names"), std::string::npos) << c.what;
        }
    }
}

} // namespace
