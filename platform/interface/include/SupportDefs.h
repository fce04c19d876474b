// Scalar types of the Haiku API, for the stand-in kits.
#ifndef _SUPPORT_DEFS_H
#define _SUPPORT_DEFS_H

#include <cstdint>

typedef int8_t int8;
typedef uint8_t uint8;
typedef int16_t int16;
typedef uint16_t uint16;
typedef int32_t int32;
typedef uint32_t uint32;
typedef int64_t int64;
typedef uint64_t uint64;
typedef int32 status_t;

enum {
    B_OK = 0,
    B_ERROR = -1,
    B_BAD_VALUE = -2147483647 + 4,
    B_BAD_INDEX = -2147483647 + 5,
    B_NAME_NOT_FOUND = -2147483647 + 10,
};

#endif
