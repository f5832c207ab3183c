// CRC-32C (Castagnoli), the checksum of pool image records.
#ifndef HOST_CRC32C_H
#define HOST_CRC32C_H

#include <cstddef>
#include <cstdint>

// Continues crc (0 to start) over data: crc32c(crc32c(0, a), b) is the CRC
// of a followed by b. Uses the SSE4.2 instruction when the CPU has it.
uint32_t crc32c(uint32_t crc, const void* data, size_t length);

// The table-driven form, whatever the CPU; the same results.
uint32_t crc32c_portable(uint32_t crc, const void* data, size_t length);

// True when crc32c runs on the CPU instruction.
bool crc32c_uses_hardware();

#endif
