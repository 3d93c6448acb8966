// CRC-32 of IEEE 802.3, as the fingerprint table stores it: polynomial
// 0x04C11DB7 processed bit-reversed (0xEDB88320), register preset to
// 0xFFFFFFFF, complemented at the end.
#pragma once

#include <stdint.h>

// The CRC-32 of `count` bytes at `data`; 0 for no bytes (data may then be
// null). Reads whole words where it can, sixteen bytes a step; the answer is
// that of the plain byte-at-a-time method.
uint32_t Crc32(const void *data, uint32_t count);
