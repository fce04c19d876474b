// Conversion between host order and the little-endian order of disk structures.
#ifndef HAIKU_HARDWARE_BYTESWAP_H
#define HAIKU_HARDWARE_BYTESWAP_H

#include <bit>
#include <cstdint>

constexpr uint32_t BE_SWAPLONG(uint32_t v) {
    if constexpr (std::endian::native == std::endian::little)
        return v;
    else
        return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

constexpr uint16_t BE_SWAPWORD(uint16_t v) {
    if constexpr (std::endian::native == std::endian::little)
        return v;
    else
        return static_cast<uint16_t>((v >> 8) | (v << 8));
}

#endif
