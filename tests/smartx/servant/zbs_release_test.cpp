// Whatever becomes of a backup request, the ZBS handle and every diff it
// made are released before the request unloads the library. Once the
// module has unloaded it, nothing it holds can be released any more, so a
// handle or diff still open in the library after the request was open at
// the unload.
#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "smartx/servant/backup_world.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace backup_test {
namespace {

class ZbsRelease : public Backup_World {
protected:
    enum Fault { NONE, READS, QUERIES, CANCEL, VM_QUERY };

    void arm(Fault fault) {
        switch (fault) {
            case NONE:
                break;
            case READS:
                zbs_->fail_reads(1000);
                break;
            case QUERIES:
                zbs_->fail_queries(1000);
                break;
            case CANCEL:
                activity_->state = JOB_STATE_CANCELING;
                break;
            case VM_QUERY:
                tower_->fail_path("get-vms", 500, "simulated outage");
                break;
        }
    }

    uint32_t live(const char* control) const {
        void* lib = ::dlopen(library_.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (lib == nullptr)
            return 1000;  // the test holds the library: this cannot happen
        auto count = reinterpret_cast<uint32_t (*)()>(::dlsym(lib, control));
        const uint32_t n = count != nullptr ? count() : 1000;
        ::dlclose(lib);
        return n;
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
    auto handler = make_handler();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        activity_->state = JOB_STATE_RUNNING;
        smartx::Backup_Param p = param(JOB_DEFINITION_SUBTYPE_FULL);
        p.control.allocated_blocks = row.allocated_blocks;
        if (row.incremental) {
            ASSERT_EQ(backup(*handler, p).code(), 0);
            next_second();
            write_disk(0, 0, "changed");
            p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
        }
        zbs_->reset();
        std::remove(call_log_.c_str());
        ASSERT_EQ(zbs_->set_log(call_log_.c_str()), 0);
        arm(row.fault);

        const Reply reply = backup(*handler, p);
        zbs_->reset();
        tower_->reset_switches();
        if (row.code >= 0)
            EXPECT_EQ(reply.code(), row.code);
        else
            EXPECT_TRUE(reply.error);
        EXPECT_EQ(smartx::zbs_read, nullptr) << "the request left the library loaded";
        EXPECT_EQ(live("zbs_sim_live_handles"), 0u);
        EXPECT_EQ(live("zbs_sim_live_diffs"), 0u);
        if (row.allocated_blocks && row.code == 0) {
            EXPECT_GT(diffs_made(), 0u);
        }
        next_second();
    }
}

}  // namespace
}  // namespace backup_test
