// The simulated ZBS library bound through the module's binding, as the data
// movers use it, with a volume store under a fresh HOST_ROOT.
#ifndef TESTS_SIM_ZBS_FIXTURE_H
#define TESTS_SIM_ZBS_FIXTURE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smartx/zbs/zbs_wrapper.h"
#include "support/temp_root.h"
#include "world/zbs_sim.h"

constexpr const char* zbs_address = "127.0.0.1:10201:10206,127.0.0.2:10201:10206";

class ZbsSim : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = make_zbs_store(root_.path());
        library_ = install_zbs_sim(ZBS_SIM_PATH, "5.5.1");
        ASSERT_EQ(1, smartx::zbs_init("5.5.1"));
        sim_ = std::make_unique<Zbs_Sim_Control>(library_);
        sim_->reset();
        char* err = nullptr;
        zbs_ = smartx::zbs_create_external_with_timeout(zbs_address, 3000, &err);
        ASSERT_NE(nullptr, zbs_) << (err ? err : "");
    }
    void TearDown() override {
        if (sim_)
            sim_->reset();
        sim_.reset();
        smartx::zbs_finalize();
        ::unsetenv("ZBS_SIM_STORE");
    }

    std::string volume(const std::string& id, uint64_t size) {
        return make_zbs_volume(store_, id, size);
    }

    int read(const std::string& id, std::string& out, uint32_t length, uint64_t offset) {
        out.assign(length, '\xee');
        return smartx::zbs_read(zbs_, id.c_str(), &out[0], length, offset);
    }
    int write(const std::string& id, std::string data, uint64_t offset) {
        return smartx::zbs_write(zbs_, id.c_str(), &data[0], static_cast<uint32_t>(data.size()),
                                 offset);
    }

    // The ranges of a diff, iterated as the data movers do.
    static std::vector<zbs_diff_range> ranges(zbs_diff_t diff, uint64_t block_size) {
        std::vector<zbs_diff_range> out;
        for (zbs_diff_iter_t it = smartx::zbs_diff_iter_begin(diff, block_size);
             it != smartx::zbs_diff_iter_end(diff); it = smartx::zbs_diff_iter_next(it))
            out.push_back(smartx::zbs_diff_iter_deref(it));
        return out;
    }

    Temp_Root root_;
    std::string store_;
    std::string library_;
    std::unique_ptr<Zbs_Sim_Control> sim_;
    zbs_t zbs_ = nullptr;
};

#endif
