// Crc32 answers the standard CRC-32 for any length and any start address.
#include "detect/crc32.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <vector>

namespace {

// The definition, a bit at a time: the reference the word-wise routine must
// agree with.
uint32_t BitwiseCrc32(const unsigned char *bytes, size_t count)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

std::vector<unsigned char> PseudoRandomBytes(size_t count, uint32_t seed)
{
    std::vector<unsigned char> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>(seed >> 16);
    }
    return bytes;
}

TEST(Crc32Test, KnownValues)
{
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("a", 1), 0xE8B7BE43u);
    EXPECT_EQ(Crc32("", 0), 0u);
    EXPECT_EQ(Crc32(nullptr, 0), 0u);

    // A whole fingerprint window of zeros and of 0xFF bytes: every table
    // entry the word loop touches for those bytes is right.
    std::vector<unsigned char> window(0x3000, 0x00);
    EXPECT_EQ(Crc32(window.data(), 0x3000), BitwiseCrc32(window.data(), window.size()));
    memset(window.data(), 0xFF, window.size());
    EXPECT_EQ(Crc32(window.data(), 0x3000), BitwiseCrc32(window.data(), window.size()));
}

TEST(Crc32Test, AgreesWithTheBitwiseDefinitionForEveryLengthAndStartAddress)
{
    // Lengths 0..80 cover every remainder after the sixteen-byte steps, with
    // none, one and several steps, and the lengths around a fingerprint
    // window; start offsets 0..15 cover every misalignment of the word loads.
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 80; ++length)
        lengths.push_back(length);
    for (size_t length : {4095u, 4096u, 0x3000u - 4, 0x3000u - 1, 0x3000u, 0x3000u + 1, 0x3000u + 17})
        lengths.push_back(length);
    std::vector<unsigned char> bytes = PseudoRandomBytes(0x3000 + 64, 7);
    for (size_t start = 0; start < 16; ++start) {
        for (size_t length : lengths) {
            ASSERT_EQ(Crc32(bytes.data() + start, static_cast<uint32_t>(length)),
                      BitwiseCrc32(bytes.data() + start, length))
                << "start " << start << ", length " << length;
        }
    }
}

}  // namespace
