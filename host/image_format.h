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
// offset order, inside the volume when its size is known. Nothing follows
// the end record. A file of 0 bytes is the image of a disk with nothing to
// copy.
//
// Version 2 adds the id of the disk the image was made from; version 1
// images (no disk id) are still read.
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
    std::string disk_id;       // version 2 only: the source disk's id
};

// Whose an image is, as its owner's records say: the set (both superblock
// UUIDs), the disk and the volume's size. The disk is compared where the
// image carries one (version 2), the size where the writer knew it.
struct Image_Identity {
    unsigned char set_uuid[16] = {};
    std::string disk_id;
    uint64_t volume_size = 0;
};

}  // namespace qorm

namespace image_format {

enum : uint32_t {
    VERSION_1 = 1,  // without a disk id
    VERSION = 2,    // written whenever the disk id is known
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
// Longest disk id a superblock holds.
constexpr size_t MAX_DISK_ID = 255;

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

// sb.version 2 stores sb.disk_id (1 to MAX_DISK_ID bytes), version 1 none.
void encode_superblock(const qorm::Image_Superblock& sb, unsigned char out[SUPERBLOCK_SIZE]);
// Checks magic, CRC, version and geometry.
bool decode_superblock(const unsigned char in[SUPERBLOCK_SIZE], qorm::Image_Superblock& sb,
                       std::string* error);

// False with the reason when the image is not the one identity names.
bool check_identity(const qorm::Image_Superblock& sb, const qorm::Image_Identity& identity,
                    std::string* error);

void encode_record(const Record& rec, unsigned char out[RECORD_SIZE]);
// Checks the header CRC and the kind.
bool decode_record(const unsigned char in[RECORD_SIZE], Record& rec, std::string* error);

}  // namespace image_format

#endif
