// A commit the backup server stored, or did not, while its answer went
// astray: the catalog says what became of it, and nothing a committed set
// needs is removed, not even when the catalog cannot be asked.
#include <set>

#include "fixture.h"
#include "world/leftovers.h"

namespace backup_test {
namespace {

using Answer = sim::Backup_Server::Commit_Answer;

struct Lost_Answer {
    const char* name;
    bool stored;
    Answer answer;
    bool look_up_fails;
};

// clang-format off
const Lost_Answer kLostAnswers[] = {
    {"StoredAnswerCutOff", true, Answer::CUT_OFF, false},
    {"StoredAnswerNotJson", true, Answer::NOT_JSON, false},
    {"StoredAnswerNamesNoSet", true, Answer::NAMES_NO_SET, false},
    {"Stored503PastTheRetries", true, Answer::SERVER_ERROR, false},
    {"NotStoredAnswerCutOff", false, Answer::CUT_OFF, false},
    {"NotStored503PastTheRetries", false, Answer::SERVER_ERROR, false},
    {"NotStoredRefused", false, Answer::CLIENT_ERROR, false},
    {"StoredLookUpFails", true, Answer::CUT_OFF, true},
    {"NotStoredLookUpFails", false, Answer::CUT_OFF, true},
};
// clang-format on

class LostCommitAnswers : public BackupWorld, public ::testing::WithParamInterface<Lost_Answer> {
protected:
    std::set<std::string> snapshot_set() const {
        const std::vector<std::string> ids = snapshots();
        return std::set<std::string>(ids.begin(), ids.end());
    }
    std::string snap_of(const Object& row) const { return text_of(Value(row), "snap_id"); }
};

// After a full, an incremental whose commit answer is lost; then a clean
// incremental.
TEST_P(LostCommitAnswers, TheCatalogSaysWhatWasCommittedAndNothingItNeedsGoes) {
    const Lost_Answer& c = GetParam();
    fill_disks();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
    const Object full = rows().at(0);
    const std::vector<std::string> full_files = pool_files();

    write_disk(0, BLOCK, pattern(2 * BLOCK, 'q'));
    const std::vector<std::string> at_lost = disk_contents();
    world_->backupd().fault_commits(2, c.stored, c.answer);
    if (c.look_up_fails)
        world_->backupd().fail_views_after_commit(1, 503);
    const Servant_Reply lost = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
    world_->backupd().fault_commits(0, false, Answer::CUT_OFF);
    world_->backupd().fail_views_after_commit(0, 0);

    // Committed when the catalog holds it (and says so), else cleaned up;
    // when it cannot tell, the run fails and removes nothing.
    const bool told = c.stored && !c.look_up_fails;
    EXPECT_EQ(lost.code(), told ? 0 : 1);
    std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), c.stored ? 2u : 1u);
    if (c.stored) {
        EXPECT_TRUE(restore(chain) == at_lost);
        EXPECT_EQ(world::orphan_pool_files(*world_), std::vector<std::string>());
    }
    // Told, only the newest set's snapshot stays; untold, the base and this
    // run's; not committed, the base alone.
    const std::set<std::string> snaps = snapshot_set();
    EXPECT_EQ(snaps.count(snap_of(full)), told ? 0u : 1u);
    EXPECT_EQ(snaps.size(), c.look_up_fails ? 2u : 1u);
    EXPECT_TRUE(c.stored || c.look_up_fails || pool_files() == full_files);

    // The next run settles what was left open and builds on the last set.
    write_disk(2, 0, pattern(BLOCK, 'r'));
    const std::vector<std::string> at_next = disk_contents();
    ASSERT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
    chain = rows();
    ASSERT_EQ(chain.size(), c.stored ? 3u : 2u);
    EXPECT_EQ(chain.back().at("base_sets"), Value(Array{chain[chain.size() - 2].at("uuid")}));
    EXPECT_TRUE(restore(chain) == at_next);
    EXPECT_EQ(snapshot_set(), std::set<std::string>{snap_of(chain.back())});
    EXPECT_EQ(world::orphan_pool_files(*world_), std::vector<std::string>());
    EXPECT_EQ(world::leftover_snapshots(*world_), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Answers, LostCommitAnswers, ::testing::ValuesIn(kLostAnswers),
                         [](const ::testing::TestParamInfo<Lost_Answer>& i) {
                             return i.param.name;
                         });

}  // namespace
}  // namespace backup_test
