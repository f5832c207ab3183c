// A commit the backup server stored, or did not, while its answer went
// astray: only a look-up listing the set says it is committed, and nothing a
// set that may be committed needs is removed until, its time to land up, the
// next run settles it from the catalog.
#include <set>

#include "fixture.h"
#include "world/leftovers.h"

namespace backup_test {
namespace {

using Answer = sim::Backup_Server::Commit_Answer;

// What the look-up after the lost answer gets: the catalog's own answer, a
// 503, the VM's rows from before the run (a server that ignored the
// filter), a row whose uuid is a number, or an empty list.
enum class Look_Up { CATALOG, FAILS, OTHER_ROWS, UUID_NOT_TEXT, EMPTY };

// What the run with the lost answer comes to: it succeeds (the set is
// listed), it fails and removes what it made (refused: never stored), or it
// fails and leaves everything to the next run (nothing proves either way).
enum class Outcome { COMMITTED, REMOVED, LEFT };

struct Lost_Answer {
    const char* name;
    bool stored;
    Answer answer;
    Look_Up look_up;
    Outcome outcome;
};

using L = Look_Up;
using O = Outcome;
// clang-format off
const Lost_Answer kLostAnswers[] = {
    {"StoredAnswerCutOff", true, Answer::CUT_OFF, L::CATALOG, O::COMMITTED},
    {"StoredAnswerNotJson", true, Answer::NOT_JSON, L::CATALOG, O::COMMITTED},
    {"StoredAnswerNamesNoSet", true, Answer::NAMES_NO_SET, L::CATALOG, O::COMMITTED},
    {"Stored503PastTheRetries", true, Answer::SERVER_ERROR, L::CATALOG, O::COMMITTED},
    {"NotStoredAnswerCutOff", false, Answer::CUT_OFF, L::CATALOG, O::LEFT},
    {"NotStored503PastTheRetries", false, Answer::SERVER_ERROR, L::CATALOG, O::LEFT},
    {"NotStoredRefused", false, Answer::CLIENT_ERROR, L::CATALOG, O::REMOVED},
    {"StoredLookUpFails", true, Answer::CUT_OFF, L::FAILS, O::LEFT},
    {"NotStoredLookUpFails", false, Answer::CUT_OFF, L::FAILS, O::LEFT},
    {"StoredLookUpListsOtherRows", true, Answer::CUT_OFF, L::OTHER_ROWS, O::LEFT},
    {"StoredLookUpUuidNotText", true, Answer::NOT_JSON, L::UUID_NOT_TEXT, O::LEFT},
    {"StoredLookUpEmpty", true, Answer::NAMES_NO_SET, L::EMPTY, O::LEFT},
};
// clang-format on

class LostCommitAnswers : public BackupWorld, public ::testing::WithParamInterface<Lost_Answer> {
protected:
    std::set<std::string> snapshot_set() const {
        const std::vector<std::string> ids = snapshots();
        return std::set<std::string>(ids.begin(), ids.end());
    }
    std::string snap_of(const Object& row) const { return text_of(Value(row), "snap_id"); }

    // Arms the look-up that follows the next commit.
    void arm_look_up(Look_Up look_up) {
        sim::Backup_Server& server = world_->backupd();
        const std::vector<Object> now = rows();
        switch (look_up) {
            case Look_Up::CATALOG:
                return;
            case Look_Up::FAILS:
                return server.fail_views_after_commit(1, 503);
            case Look_Up::OTHER_ROWS:
                return server.answer_views_after_commit(
                    1, json_spirit::write(Value(Array(now.begin(), now.end()))));
            case Look_Up::UUID_NOT_TEXT:
                return server.answer_views_after_commit(1, R"([{"uuid": 5}])");
            case Look_Up::EMPTY:
                return server.answer_views_after_commit(1, "[]");
        }
    }
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
    arm_look_up(c.look_up);
    const Servant_Reply lost = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
    world_->backupd().fault_commits(0, false, Answer::CUT_OFF);
    world_->backupd().fail_views_after_commit(0, 0);

    EXPECT_EQ(lost.code(), c.outcome == O::COMMITTED ? 0 : 1);
    std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), c.stored ? 2u : 1u);
    if (c.stored) {
        EXPECT_TRUE(restore(chain) == at_lost);
        EXPECT_EQ(world::orphan_pool_files(*world_), std::vector<std::string>());
    }
    // Committed, only the newest set's snapshot stays; left, the base and
    // this run's, with its files; removed, the base and its files alone.
    const std::set<std::string> snaps = snapshot_set();
    EXPECT_EQ(snaps.count(snap_of(full)), c.outcome == O::COMMITTED ? 0u : 1u);
    EXPECT_EQ(snaps.size(), c.outcome == O::LEFT ? 2u : 1u);
    EXPECT_EQ(pool_files() == full_files, c.outcome == O::REMOVED);

    // Once the set can no longer land, the next run settles what was left
    // open and builds on the last set.
    EXPECT_EQ(world::end_commit_grace(vm_.id), c.outcome == O::LEFT ? 1u : 0u);
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
