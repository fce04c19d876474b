// Scalar types of the classic host interface.
#ifndef HAIKU_EXEC_TYPES_H
#define HAIKU_EXEC_TYPES_H

#include <stdint.h>

typedef uint8_t BOOL;
typedef uint8_t UBYTE;
typedef int8_t BYTE;
typedef uint16_t UWORD;
typedef int16_t WORD;
typedef uint16_t USHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint64_t UQUAD;
typedef int64_t QUAD;
typedef char *STRPTR;
typedef const char *CONST_STRPTR;
typedef void *APTR;
typedef intptr_t IPTR;

// Opaque handle: an open file or a lock, never mixed by a caller.
typedef void *BPTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif
