// ASCII case-insensitive comparison.
#ifndef HAIKU_PROTO_UTILITY_H
#define HAIKU_PROTO_UTILITY_H

#include "../exec/types.h"

// Negative, 0 or positive, as strcasecmp.
LONG Stricmp(CONST_STRPTR a, CONST_STRPTR b);
// The same over at most length characters, as strncasecmp.
LONG Strnicmp(CONST_STRPTR a, CONST_STRPTR b, LONG length);

#endif
