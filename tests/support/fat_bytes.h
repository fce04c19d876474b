// Little-endian fields, names in UTF-16 and long-name checksums, as the tests' FAT writers read
// and write them.
#ifndef TESSEL_TESTS_SUPPORT_FAT_BYTES_H
#define TESSEL_TESTS_SUPPORT_FAT_BYTES_H

#include <cstdint>
#include <string>

namespace testsupport {

inline uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t le32(const uint8_t *p) {
    return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16;
}
inline void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// UTF-8 to UTF-16; bytes that are not UTF-8 give one unit each, as the disk shows such names.
inline std::u16string toUtf16(const std::string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const int len = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        if (len == 0 || i + len > s.size()) {
            out += char16_t(c);
            ++i;
            continue;
        }
        uint32_t cp = len == 1 ? c : c & (0x3F >> (len - 1));
        for (int k = 1; k < len; ++k)
            cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        i += len;
    }
    return out;
}

inline std::string toUtf8(const std::u16string &units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size())
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | cp >> 18);
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// Equal but for the case of ASCII letters.
inline bool sameIgnoringCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

// The checksum of an 8.3 name that its long-name entries carry.
inline uint8_t lfnChecksum(const uint8_t *name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

// Positions of the 13 name units within a long-name entry.
constexpr int kLongNameUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

} // namespace testsupport

#endif
