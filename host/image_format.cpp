#include "host/image_format.h"

#include <cstring>

#include "host/crc32c.h"
#include "host/uuid.h"

namespace image_format {

namespace {

// The 0x1a and CR LF catch files that went through a text-mode copy.
const unsigned char MAGIC[8] = {'T', 'V', 'I', 'M', 'G', '\r', '\n', 0x1a};

// Superblock layout.
enum : size_t {
    SB_MAGIC = 0,
    SB_VERSION = 8,
    SB_SIZE = 12,
    SB_SECTOR = 16,
    SB_BLOCK = 20,
    SB_CHECKSUM = 24,
    SB_COMPRESSION = 28,
    SB_UUID1 = 32,
    SB_UUID2 = 48,
    SB_VOLUME_SIZE = 64,
    SB_CREATED = 72,
    SB_DISK_ID_LENGTH = 80,  // version 2: u32, then the id's bytes
    SB_DISK_ID = 84,
    SB_CRC = SUPERBLOCK_SIZE - 4,
};

// Record header layout.
enum : size_t {
    R_KIND = 0,
    R_DATA_CRC = 4,
    R_OFFSET = 8,
    R_LENGTH = 16,
    R_SEQUENCE = 24,
    R_CRC = 28
};

void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint32_t get32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}
uint64_t get64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void set_error(std::string* error, const std::string& text) {
    if (error != nullptr)
        *error = text;
}

static_assert(SB_DISK_ID + MAX_DISK_ID <= SB_CRC, "the disk id fits the superblock");

}  // namespace

bool check_geometry(uint32_t sector_size, uint32_t block_size, uint32_t checksum,
                    uint32_t compression, std::string* error) {
    if (sector_size < 512 || sector_size > 65536 || (sector_size & (sector_size - 1)) != 0) {
        set_error(error, "sector size must be a power of two from 512 to 65536");
        return false;
    }
    if (block_size == 0 || block_size % sector_size != 0 || block_size > MAX_BLOCK_SIZE) {
        set_error(error, "block size must be a multiple of the sector size, at most 64 MiB");
        return false;
    }
    if (checksum != CHECKSUM_CRC32C) {
        set_error(error, "unsupported checksum kind (only 1, CRC-32C)");
        return false;
    }
    if (compression != COMPRESSION_NONE) {
        set_error(error, "unsupported image compression (only 0, none)");
        return false;
    }
    return true;
}

void encode_superblock(const qorm::Image_Superblock& sb, unsigned char out[SUPERBLOCK_SIZE]) {
    std::memset(out, 0, SUPERBLOCK_SIZE);
    std::memcpy(out + SB_MAGIC, MAGIC, sizeof MAGIC);
    put32(out + SB_VERSION, sb.version);
    put32(out + SB_SIZE, SUPERBLOCK_SIZE);
    put32(out + SB_SECTOR, sb.sector_size);
    put32(out + SB_BLOCK, sb.block_size);
    put32(out + SB_CHECKSUM, sb.checksum);
    put32(out + SB_COMPRESSION, sb.compression);
    std::memcpy(out + SB_UUID1, sb.uuid1, 16);
    std::memcpy(out + SB_UUID2, sb.uuid2, 16);
    put64(out + SB_VOLUME_SIZE, sb.volume_size);
    put64(out + SB_CREATED, static_cast<uint64_t>(sb.created));
    if (sb.version >= VERSION) {
        const size_t n = sb.disk_id.size() < MAX_DISK_ID ? sb.disk_id.size() : MAX_DISK_ID;
        put32(out + SB_DISK_ID_LENGTH, static_cast<uint32_t>(n));
        std::memcpy(out + SB_DISK_ID, sb.disk_id.data(), n);
    }
    put32(out + SB_CRC, crc32c(0, out, SB_CRC));
}

bool decode_superblock(const unsigned char in[SUPERBLOCK_SIZE], qorm::Image_Superblock& sb,
                       std::string* error) {
    if (std::memcmp(in + SB_MAGIC, MAGIC, sizeof MAGIC) != 0) {
        set_error(error, "not an image file (bad magic)");
        return false;
    }
    if (get32(in + SB_CRC) != crc32c(0, in, SB_CRC)) {
        set_error(error, "superblock fails its checksum");
        return false;
    }
    const uint32_t version = get32(in + SB_VERSION);
    if ((version != VERSION_1 && version != VERSION) || get32(in + SB_SIZE) != SUPERBLOCK_SIZE) {
        set_error(error, "unsupported image version");
        return false;
    }
    qorm::Image_Superblock read;
    read.version = version;
    read.sector_size = get32(in + SB_SECTOR);
    read.block_size = get32(in + SB_BLOCK);
    read.checksum = get32(in + SB_CHECKSUM);
    read.compression = get32(in + SB_COMPRESSION);
    if (!check_geometry(read.sector_size, read.block_size, read.checksum, read.compression, error))
        return false;
    std::memcpy(read.uuid1, in + SB_UUID1, 16);
    std::memcpy(read.uuid2, in + SB_UUID2, 16);
    read.volume_size = get64(in + SB_VOLUME_SIZE);
    read.created = static_cast<int64_t>(get64(in + SB_CREATED));
    if (version >= VERSION) {
        const uint32_t n = get32(in + SB_DISK_ID_LENGTH);
        if (n == 0 || n > MAX_DISK_ID) {
            set_error(error, "the superblock's disk id has a bad length");
            return false;
        }
        read.disk_id.assign(reinterpret_cast<const char*>(in + SB_DISK_ID), n);
    }
    sb = read;
    return true;
}

bool check_identity(const qorm::Image_Superblock& sb, const qorm::Image_Identity& identity,
                    std::string* error) {
    if (std::memcmp(sb.uuid1, identity.set_uuid, 16) != 0 ||
        std::memcmp(sb.uuid2, identity.set_uuid, 16) != 0) {
        set_error(error, "it belongs to backup set " + uuid_to_string(sb.uuid1) + ", not to " +
                             uuid_to_string(identity.set_uuid));
        return false;
    }
    if (sb.version >= VERSION && sb.disk_id != identity.disk_id) {
        set_error(error, "it is of disk " + sb.disk_id + ", not of disk " + identity.disk_id);
        return false;
    }
    if (sb.volume_size != 0 && sb.volume_size != identity.volume_size) {
        set_error(error, "it is of a volume of " + std::to_string(sb.volume_size) +
                             " bytes, not of " + std::to_string(identity.volume_size));
        return false;
    }
    return true;
}

void encode_record(const Record& rec, unsigned char out[RECORD_SIZE]) {
    put32(out + R_KIND, rec.kind);
    put32(out + R_DATA_CRC, rec.data_crc);
    put64(out + R_OFFSET, rec.offset);
    put64(out + R_LENGTH, rec.length);
    put32(out + R_SEQUENCE, rec.sequence);
    put32(out + R_CRC, crc32c(0, out, R_CRC));
}

bool decode_record(const unsigned char in[RECORD_SIZE], Record& rec, std::string* error) {
    if (get32(in + R_CRC) != crc32c(0, in, R_CRC)) {
        set_error(error, "record header fails its checksum");
        return false;
    }
    Record read;
    read.kind = get32(in + R_KIND);
    if (read.kind != KIND_DATA && read.kind != KIND_ZERO && read.kind != KIND_END) {
        set_error(error, "unknown record kind");
        return false;
    }
    read.data_crc = get32(in + R_DATA_CRC);
    read.offset = get64(in + R_OFFSET);
    read.length = get64(in + R_LENGTH);
    read.sequence = get32(in + R_SEQUENCE);
    rec = read;
    return true;
}

}  // namespace image_format
