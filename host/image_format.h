// The pool image file, as written by qorm::Image_Writer and read by
// Image_Block_Reader. All numbers little-endian.
//
//   superblock   512 bytes (layout in image_format.cpp), its own CRC-32C last
//   records      32-byte header {kind, data CRC, offset, length, sequence,
//                header CRC}, then `length` bytes for a data record
//   end record   kind END: offset = record count, length = data bytes,
//                data CRC = CRC-32C of every record header before it
//
// A data record holds at most block_size bytes; a zero record stands for
// `length` zero bytes and holds none. Records are in ascending, disjoint
// offset order. Nothing follows the end record. A file of 0 bytes is the
// image of a disk with nothing to copy.
#ifndef HOST_IMAGE_FORMAT_H
#define HOST_IMAGE_FORMAT_H

#include <cstdint>
#include <string>

namespace qorm {

struct Image_Superblock {
    uint32_t version = 0;
    uint32_t sector_size = 0;
    uint32_t block_size = 0;
    uint32_t checksum = 0;     // 1: CRC-32C, the only kind
    uint32_t compression = 0;  // 0: stored as is, the only kind
    unsigned char uuid1[16] = {};
    unsigned char uuid2[16] = {};
    uint64_t volume_size = 0;  // 0: not known to the writer
    int64_t created = 0;       // seconds since the epoch
};

}  // namespace qorm

namespace image_format {

enum : uint32_t {
    VERSION = 1,
    SUPERBLOCK_SIZE = 512,
    RECORD_SIZE = 32,
    CHECKSUM_CRC32C = 1,
    COMPRESSION_NONE = 0,
    // Record kinds.
    KIND_DATA = 1,
    KIND_ZERO = 2,
    KIND_END = 3,
};

// Largest block a reader will buffer.
constexpr uint32_t MAX_BLOCK_SIZE = 64u << 20;

struct Record {
    uint32_t kind = 0;
    uint32_t data_crc = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint32_t sequence = 0;  // record number, low 32 bits
};

// False with the reason when the settings are not ones this format stores.
bool check_geometry(uint32_t sector_size, uint32_t block_size, uint32_t checksum,
                    uint32_t compression, std::string* error);

void encode_superblock(const qorm::Image_Superblock& sb, unsigned char out[SUPERBLOCK_SIZE]);
// Checks magic, CRC, version and geometry.
bool decode_superblock(const unsigned char in[SUPERBLOCK_SIZE], qorm::Image_Superblock& sb,
                       std::string* error);

void encode_record(const Record& rec, unsigned char out[RECORD_SIZE]);
// Checks the header CRC and the kind.
bool decode_record(const unsigned char in[RECORD_SIZE], Record& rec, std::string* error);

}  // namespace image_format

#endif
