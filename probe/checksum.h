// The Internet checksum (RFC 1071), summed in the machine's native byte order
// and stored natively, which makes it right on the wire in either order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

constexpr uint16_t internet_checksum(const uint8_t* data, size_t length)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        if constexpr (std::endian::native == std::endian::little)
            sum += uint32_t(data[i]) | uint32_t(data[i + 1]) << 8;
        else
            sum += uint32_t(data[i]) << 8 | uint32_t(data[i + 1]);
    }
    // An odd last byte counts as if a zero byte followed it.
    if (i < length) {
        if constexpr (std::endian::native == std::endian::little)
            sum += uint32_t(data[i]);
        else
            sum += uint32_t(data[i]) << 8;
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

namespace checksum_vectors {

// The value as it lands in memory, read back in network order.
constexpr uint16_t on_wire(uint16_t native)
{
    if constexpr (std::endian::native == std::endian::little)
        return uint16_t(native >> 8 | native << 8);
    else
        return native;
}

// RFC 1071's example: 00 01 f2 03 f4 f5 f6 f7 sums to ddf2, checksum 220d.
constexpr uint8_t rfc1071[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
static_assert(on_wire(internet_checksum(rfc1071, sizeof rfc1071)) == 0x220d);

// An odd byte with its high bit set is added as 0xff00, not sign-extended.
constexpr uint8_t odd_high[] = {0xff};
static_assert(on_wire(internet_checksum(odd_high, 1)) == 0x00ff);

// Carries fold twice: ffff + ffff + 0002 = 0x20000 -> 0x0002 -> checksum fffd.
constexpr uint8_t carries[] = {0xff, 0xff, 0xff, 0xff, 0x00, 0x02};
static_assert(on_wire(internet_checksum(carries, sizeof carries)) == 0xfffd);

// Nothing at all sums to 0.
static_assert(internet_checksum(nullptr, 0) == 0xffff);

// An echo request with id 0x1234, seq 1 and no payload, as on the wire.
constexpr uint8_t echo[] = {0x08, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01};
static_assert(on_wire(internet_checksum(echo, sizeof echo)) == 0xe5ca);

} // namespace checksum_vectors
