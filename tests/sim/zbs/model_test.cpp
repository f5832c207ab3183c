// The simulated library against a reference model of volume content.
#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"
#include "support/process.h"

namespace {
constexpr uint64_t page_size = 4096;
constexpr uint64_t extent = uint64_t(1) << 28;

// The volume's bytes, and the 4 KiB pages ever written.
struct Volume_Model {
    explicit Volume_Model(uint64_t size) : bytes(size, '\0'), touched(size / page_size + 1) {}
    void write(uint64_t offset, const std::string& data) {
        bytes.replace(offset, data.size(), data);
        for (uint64_t p = offset / page_size; p * page_size < offset + data.size(); ++p)
            touched[p] = true;
    }

    std::string bytes;
    std::vector<bool> touched;
};

std::set<uint64_t> touched_blocks(const Volume_Model& model, uint64_t block_size) {
    std::set<uint64_t> out;
    for (uint64_t p = 0; p < model.touched.size(); ++p)
        if (model.touched[p])
            out.insert(p * page_size / block_size);
    return out;
}

// Blocks whose content differs between two models.
std::set<uint64_t> changed_blocks(const Volume_Model& a, const Volume_Model& b,
                                  uint64_t block_size) {
    std::set<uint64_t> out;
    for (uint64_t at = 0; at < a.bytes.size(); at += block_size)
        if (a.bytes.compare(at, block_size, b.bytes, at, block_size) != 0)
            out.insert(at / block_size);
    return out;
}

std::string cp_sparse(const std::string& from, const std::string& to) {
    const Command_Result r =
        run_command("cp --sparse=always " + shell_quote(from) + " " + shell_quote(to));
    return r.exit_code == 0 ? std::string() : r.output;
}

class ZbsModel : public ZbsSim {
protected:
    // Random data, zeros, or the bytes already there, at any byte offset.
    void random_writes(const std::string& id, Volume_Model& model, int count) {
        for (int n = 0; n < count; ++n) {
            const uint64_t length = 1 + rng_() % (3 * 65536);
            const uint64_t offset = rng_() % (model.bytes.size() - length);
            std::string data;
            switch (rng_() % 5) {
                case 0:
                    data.assign(length, '\0');
                    break;
                case 1:
                    data = model.bytes.substr(offset, length);
                    break;
                default:
                    for (uint64_t i = 0; i < length; ++i)
                        data += static_cast<char>(rng_());
            }
            ASSERT_EQ(0, write(id, data, offset)) << offset << "+" << length;
            model.write(offset, data);
        }
    }

    void write_both(const std::string& id, Volume_Model& model, uint64_t offset,
                    const std::string& data) {
        ASSERT_EQ(0, write(id, data, offset));
        model.write(offset, data);
    }

    void expect_content(const std::string& id, const Volume_Model& model) {
        std::string data;
        for (uint64_t offset = 0; offset < model.bytes.size(); offset += 262144) {
            const uint64_t length = std::min<uint64_t>(262144, model.bytes.size() - offset);
            ASSERT_EQ(0, read(id, data, static_cast<uint32_t>(length), offset));
            ASSERT_EQ(model.bytes.substr(offset, length), data) << "at " << offset;
        }
    }

    // Every range is one block, aligned, cut only at the end of the volume.
    static std::set<uint64_t> block_numbers(const std::vector<zbs_diff_range>& ranges,
                                            uint64_t volume_size, uint64_t block_size) {
        std::set<uint64_t> out;
        for (const zbs_diff_range& r : ranges) {
            EXPECT_EQ(0u, r.offset % block_size) << r.offset;
            EXPECT_EQ(std::min(block_size, volume_size - r.offset), r.length) << r.offset;
            EXPECT_TRUE(out.insert(r.offset / block_size).second) << "twice: " << r.offset;
        }
        return out;
    }

    // Per extent: allocated ('A', a location) or not, and content ('C', a pid)
    // or none; and the pids.
    std::string shape(const std::string& id, std::vector<uint64_t>* pids) {
        zbs_pextent* map = nullptr;
        const int n = smartx::zbs_pextents_get_by_volume_id(zbs_, id.c_str(), &map);
        EXPECT_GE(n, 0);
        std::string out;
        pids->clear();
        for (int i = 0; i < n; ++i) {
            out += std::string(i ? " " : "") + (map[i].location ? "A" : "-") +
                   (map[i].pid ? "C" : "-");
            pids->push_back(map[i].pid);
        }
        return out;
    }

    std::mt19937_64 rng_{20240611};
};
}  // namespace

// The written area is every block ever written; the difference from a
// snapshot copy is every block whose content changed.
TEST_F(ZbsModel, WrittenAreaAndDifferenceFollowTheContent) {
    const uint64_t size = 8 * 1048576 + 5 * page_size;  // the last block is short
    const std::string live = volume("vol-1", size);
    Volume_Model model(size);
    write_both("vol-1", model, 0, std::string(65536, 'z'));
    write_both("vol-1", model, 131072, std::string(65536, 's'));
    random_writes("vol-1", model, 120);
    write_both("vol-1", model, size - 100, std::string(100, 'e'));
    write_both("vol-1", model, 70000, std::string(10, '\0'));  // zeros are written too
    expect_content("vol-1", model);
    zbs_diff_t diff = nullptr;
    ASSERT_EQ(0, smartx::zbs_get_written_area(zbs_, "vol-1", 0, 0, &diff));
    for (uint64_t block_size : {uint64_t(65536), uint64_t(1048576), uint64_t(4096)}) {
        const std::set<uint64_t> got = block_numbers(ranges(diff, block_size), size, block_size);
        EXPECT_EQ(touched_blocks(model, block_size), got) << block_size;
        EXPECT_TRUE(got.count((size - 1) / block_size)) << block_size;
    }

    ASSERT_EQ("", cp_sparse(live, store_ + "/snap-1"));
    const Volume_Model old_model = model;
    write_both("vol-1", model, 0, std::string(65536, '\0'));      // data zeroed: a change
    write_both("vol-1", model, 131072, std::string(65536, 's'));  // same bytes again: none
    random_writes("vol-1", model, 80);
    expect_content("snap-1", old_model);
    expect_content("vol-1", model);
    ASSERT_EQ(0, smartx::zbs_get_volume_diff(zbs_, "snap-1", "vol-1", 0, 0, &diff));
    for (uint64_t block_size : {uint64_t(65536), uint64_t(262144)}) {
        const std::set<uint64_t> expected = changed_blocks(old_model, model, block_size);
        const std::set<uint64_t> got = block_numbers(ranges(diff, block_size), size, block_size);
        EXPECT_EQ(expected, got) << block_size;
        EXPECT_TRUE(got.count(0)) << block_size;
        ASSERT_FALSE(expected.empty());
        ASSERT_LT(expected.size(), (size + block_size - 1) / block_size);
    }

    // A fresh copy holds holes where the live volume holds written zeros:
    // the same content, so no difference.
    ASSERT_EQ("", cp_sparse(live, store_ + "/snap-2"));
    for (const char* old_id : {"snap-2", "vol-1"}) {
        ASSERT_EQ(0, smartx::zbs_get_volume_diff(zbs_, old_id, "vol-1", 0, 0, &diff));
        EXPECT_TRUE(ranges(diff, 65536).empty()) << old_id;
    }
    EXPECT_NE(0, smartx::zbs_get_volume_diff(zbs_, "snap-9", "vol-1", 0, 0, &diff));
}

TEST_F(ZbsModel, DifferenceWithAShorterOldVolumeComparesItsTailWithZeros) {
    volume("old", 1048576);
    volume("new", 2 * 1048576);
    ASSERT_EQ(0, write("old", std::string(4096, 'a'), 0));
    ASSERT_EQ(0, write("new", std::string(4096, 'a'), 0));
    ASSERT_EQ(0, write("new", std::string(4096, '\0'), 1048576));  // zeros past the old end: equal
    ASSERT_EQ(0, write("new", std::string(4096, 'b'), 1572864));

    zbs_diff_t diff = nullptr;
    ASSERT_EQ(0, smartx::zbs_get_volume_diff(zbs_, "old", "new", 0, 0, &diff));
    const std::vector<zbs_diff_range> got = ranges(diff, 65536);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(1572864u, got[0].offset);
}

TEST_F(ZbsModel, ExtentMapsFollowAllocationAndContent) {
    const uint64_t size = 3 * extent + 1048576;  // four extents, the last one short
    const std::string live = volume("vol-1", size);
    const std::string data_a(200000, 'a');
    ASSERT_EQ(0, write("vol-1", data_a, 12345));
    ASSERT_EQ(0, write("vol-1", std::string(5000, 'b'), extent - 5000));
    ASSERT_EQ(0, write("vol-1", std::string(70000, 'c'), 2 * extent + 99999));
    ASSERT_EQ(0,
              write("vol-1", std::string(8192, '\0'), 3 * extent + 4096));  // allocated, all zeros

    std::vector<uint64_t> before, copy, after, other;
    EXPECT_EQ("AC -- AC A-", shape("vol-1", &before));

    // The copy loses the allocation of the zeros but keeps every pid.
    ASSERT_EQ("", cp_sparse(live, store_ + "/snap-1"));
    EXPECT_EQ("AC -- AC --", shape("snap-1", &copy));
    EXPECT_EQ(before, copy);

    ASSERT_EQ(0, write("vol-1", data_a, 12345));                            // same bytes
    ASSERT_EQ(0, write("vol-1", std::string(1, 'x'), extent + 7));          // new data
    ASSERT_EQ(0, write("vol-1", std::string(1, 'C'), 2 * extent + 99999));  // one byte changed
    EXPECT_EQ("AC AC AC A-", shape("vol-1", &after));
    EXPECT_EQ(before[0], after[0]);
    EXPECT_NE(before[2], after[2]);

    // The same content at another place in the extent is another content.
    volume("vol-2", extent);
    ASSERT_EQ(0, write("vol-2", data_a, 12345 + 65536));
    ASSERT_EQ(0, write("vol-2", std::string(5000, 'b'), extent - 5000));
    EXPECT_EQ("AC", shape("vol-2", &other));
    EXPECT_NE(before[0], other[0]);

    volume("empty", 0);
    zbs_pextent* map = nullptr;
    EXPECT_EQ(0, smartx::zbs_pextents_get_by_volume_id(zbs_, "empty", &map));
    EXPECT_LT(smartx::zbs_pextents_get_by_volume_id(zbs_, "missing", &map), 0);
}

TEST_F(ZbsModel, IteratorsEndCleanly) {
    volume("vol-1", 1048576);
    zbs_diff_t diff = nullptr;
    ASSERT_EQ(0, smartx::zbs_get_written_area(zbs_, "vol-1", 0, 0, &diff));
    EXPECT_TRUE(ranges(diff, 65536).empty());  // nothing written

    ASSERT_EQ(0, write("vol-1", "x", 5));
    ASSERT_EQ(0, smartx::zbs_get_written_area(zbs_, "vol-1", 0, 0, &diff));
    EXPECT_TRUE(ranges(diff, 0).empty());
    ASSERT_EQ(1u, ranges(diff, 65536).size());
    const zbs_diff_iter_t end = smartx::zbs_diff_iter_end(diff);
    EXPECT_EQ(end, smartx::zbs_diff_iter_next(end));
    const zbs_diff_range none = smartx::zbs_diff_iter_deref(end);
    EXPECT_EQ(0u, none.offset);
    EXPECT_EQ(0u, none.length);

    smartx::zbs_destroy_diff(diff);
    EXPECT_TRUE(ranges(diff, 65536).empty());  // a destroyed diff is refused, not read
}
