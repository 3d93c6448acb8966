#include "detect/crc32.h"

namespace {

// Sixteen lookup tables (16 KiB), built by the compiler. Table 0 is the
// standard one: the register after one byte that leaves `index` in the low
// byte is (register >> 8) ^ table[0][index]. Table k gives the same for a byte
// that still has k zero bytes to pass through, so sixteen bytes can be folded
// into the register in one step: each byte is looked up in the table of its
// distance from the end of the step, and the sixteen answers XORed.
constexpr int kSlices = 16;

struct Crc32Tables {
    uint32_t entry[kSlices][256];
};

constexpr Crc32Tables MakeCrc32Tables()
{
    Crc32Tables tables{};
    for (uint32_t index = 0; index < 256; ++index) {
        uint32_t value = index;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1u) != 0 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        tables.entry[0][index] = value;
    }
    for (uint32_t index = 0; index < 256; ++index) {
        for (int k = 1; k < kSlices; ++k) {
            uint32_t previous = tables.entry[k - 1][index];
            tables.entry[k][index] = (previous >> 8) ^ tables.entry[0][previous & 0xFFu];
        }
    }
    return tables;
}

constexpr Crc32Tables kCrc32Tables = MakeCrc32Tables();

static_assert(kCrc32Tables.entry[0][1] == 0x77073096u, "standard table, entry 1");
static_assert(kCrc32Tables.entry[0][255] == 0x2D02EF8Du, "standard table, entry 255");

// Four bytes as a little-endian word, whatever the host's byte order and the
// pointer's alignment; compilers make this one load on x86.
inline uint32_t LoadLittleEndian32(const unsigned char *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

uint32_t Crc32(const void *data, uint32_t count)
{
    if (count == 0)
        return 0;
    const uint32_t(&t)[kSlices][256] = kCrc32Tables.entry;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint32_t crc = 0xFFFFFFFFu;

    for (; count >= 16; count -= 16, bytes += 16) {
        uint32_t w0 = LoadLittleEndian32(bytes) ^ crc;
        uint32_t w1 = LoadLittleEndian32(bytes + 4);
        uint32_t w2 = LoadLittleEndian32(bytes + 8);
        uint32_t w3 = LoadLittleEndian32(bytes + 12);
        crc = t[15][w0 & 0xFFu] ^ t[14][(w0 >> 8) & 0xFFu] ^ t[13][(w0 >> 16) & 0xFFu] ^ t[12][w0 >> 24] ^
              t[11][w1 & 0xFFu] ^ t[10][(w1 >> 8) & 0xFFu] ^ t[9][(w1 >> 16) & 0xFFu] ^ t[8][w1 >> 24] ^
              t[7][w2 & 0xFFu] ^ t[6][(w2 >> 8) & 0xFFu] ^ t[5][(w2 >> 16) & 0xFFu] ^ t[4][w2 >> 24] ^
              t[3][w3 & 0xFFu] ^ t[2][(w3 >> 8) & 0xFFu] ^ t[1][(w3 >> 16) & 0xFFu] ^ t[0][w3 >> 24];
    }
    for (; count > 0; --count, ++bytes)
        crc = (crc >> 8) ^ t[0][(crc ^ *bytes) & 0xFFu];

    return crc ^ 0xFFFFFFFFu;
}
