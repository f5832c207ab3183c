// Writes the seeds of the image reader target with the project's own image
// writer into a pool directory: make_seeds_image_reader DIR (fuzz/seeds/
// image_reader). Each image is a few KiB: sparse data, zero runs, a short
// tail, small blocks whose runs cross units, a volume of unknown size.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/client_io.h"
#include "host/image_block_writer.h"

namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;
constexpr uint32_t SECTOR = 512;
constexpr uint32_t BLOCK = 262144;  // as backups write
constexpr uint32_t CHECKSUM_CRC32C = 1;
constexpr uint32_t NO_COMPRESSION = 0;
const unsigned char SET[16] = {0xd3, 0xcf, 0xb2, 0xfb, 0xed, 0x1f, 0x43, 0x54,
                               0xa3, 0x43, 0xfa, 0x57, 0x89, 0x9b, 0x6f, 0xb5};
const char DISK[] = "6b6b0000-0000-4000-8000-000000000301";

struct Piece {
    uint64_t offset;
    uint64_t length;
    bool zero;
};

struct Seed {
    const char* name;
    uint32_t block;
    uint64_t volume_size;  // 0: not known
    const char* disk;      // null: version 1
    std::vector<Piece> pieces;
};

bool write_seed(Client_IO& io, const Seed& s) {
    io.remove(s.name);
    Image_Block_Writer writer(io);
    if (!io.open(s.name, Client_IO::MODE_WRITE) ||
        !writer.init(SECTOR, s.block, CHECKSUM_CRC32C, NO_COMPRESSION) ||
        !writer.write_superblock(SET, SET, s.volume_size, s.disk ? s.disk : ""))
        return false;
    for (const Piece& p : s.pieces) {
        std::string data(p.length, '\0');
        if (!p.zero)
            for (uint64_t i = 0; i < p.length; ++i)
                data[i] = static_cast<char>('a' + (p.offset + i) % 23);
        if (!writer.write_data(p.offset, data.data(), data.size()))
            return false;
    }
    return writer.finish();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const Seed seeds[] = {
        {"sparse",
         BLOCK,
         MIB,
         DISK,
         {{0, 1500, false},
          {64 * KIB, 8 * KIB, true},
          {300000, 700, false},
          {MIB - 512, 512, false}}},
        {"unknown_size_version_1",
         BLOCK,
         0,
         nullptr,
         {{4 * MIB, 1000, false}, {5 * MIB, 4 * KIB, true}}},
        {"small_blocks",
         4096,
         64 * KIB,
         DISK,
         {{1000, 6000, false}, {16 * KIB, 4 * KIB, true}, {64 * KIB - 100, 100, false}}},
        {"no_records", BLOCK, 64 * KIB, DISK, {}},
        {"zero_page_far_out", BLOCK, 0, DISK, {{MIB * MIB, 4 * KIB, true}}},
    };
    Client_IO io;
    const std::string dir = std::filesystem::absolute(argv[1]).string();
    if (!io.connect(dir, Client_IO_Base::Options())) {
        std::fprintf(stderr, "%s: %s\n", dir.c_str(), io.error_text().c_str());
        return 1;
    }
    for (const Seed& s : seeds) {
        if (!write_seed(io, s)) {
            std::fprintf(stderr, "%s: %s\n", s.name, io.error_text().c_str());
            return 1;
        }
    }
    return 0;
}
