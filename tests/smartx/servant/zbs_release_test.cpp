// Whatever becomes of a backup request, the ZBS handle and every diff it
// made are released before the request unloads the library. Once the
// module has unloaded it, nothing it holds can be released any more, so a
// handle or diff still open in the library after the request was open at
// the unload.
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "smartx/servant/fixture.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace backup_test {
namespace {

class ZbsRelease : public BackupWorld {
protected:
    enum Fault { NONE, READS, QUERIES, CANCEL, VM_QUERY };

    void arm(Fault fault) {
        switch (fault) {
            case NONE:
                break;
            case READS:
                world_->zbs().fail_reads(1000);
                break;
            case QUERIES:
                world_->zbs().fail_queries(1000);
                break;
            case CANCEL:
                world_->activity()->state = JOB_STATE_CANCELING;
                break;
            case VM_QUERY:
                world_->tower().fail_path("get-vms", 500, "simulated outage");
                break;
        }
    }

    // Calls of the sim log that made a diff.
    size_t diffs_made() const {
        std::ifstream in(call_log_);
        size_t n = 0;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("written_area\t", 0) == 0 || line.rfind("volume_diff\t", 0) == 0)
                ++n;
        return n;
    }

    std::string call_log_ = root_.path() + "/zbs-calls.log";
};

TEST_F(ZbsRelease, HandleAndDiffsGoBeforeTheLibraryOnEveryPath) {
    struct Row {
        const char* name;
        bool allocated_blocks;  // the written-area planner makes diffs
        bool incremental;       // on top of a full backup (a volume diff)
        Fault fault;
        int code;  // -1: a JSON-RPC error
    };
    const Row rows[] = {
        {"FullFromWrittenAreas", true, false, NONE, 0},
        {"FullFromExtents", false, false, NONE, 0},
        {"IncrementalFromVolumeDiffs", true, true, NONE, 0},
        {"ReadsFail", true, false, READS, 1},
        {"QueriesFail", true, false, QUERIES, 1},
        {"Cancelled", true, false, CANCEL, 1},
        {"VmQueryFailsAfterTheHandle", true, false, VM_QUERY, -1},
    };
    fill_disks();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        world_->activity()->state = JOB_STATE_RUNNING;
        smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
        p.control.allocated_blocks = row.allocated_blocks;
        if (row.incremental) {
            ASSERT_EQ(backup(p).code(), 0);
            write_disk(0, 0, "changed");
            p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
        }
        world_->zbs().reset();
        std::remove(call_log_.c_str());
        ASSERT_EQ(world_->zbs().set_log(call_log_.c_str()), 0);
        arm(row.fault);

        const Servant_Reply reply = backup(p);
        world_->zbs().reset();
        world_->tower().reset_switches();
        if (row.code >= 0)
            EXPECT_EQ(reply.code(), row.code);
        else
            EXPECT_TRUE(reply.error);
        EXPECT_EQ(smartx::zbs_read, nullptr) << "the request left the library loaded";
        EXPECT_EQ(world_->zbs().live_handles(), 0u);
        EXPECT_EQ(world_->zbs().live_diffs(), 0u);
        if (row.allocated_blocks && row.code == 0) {
            EXPECT_GT(diffs_made(), 0u);
        }
    }
}

}  // namespace
}  // namespace backup_test
