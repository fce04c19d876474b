// ASCII case-insensitive comparison.
#include <strings.h>

#include <proto/utility.h>

LONG Stricmp(CONST_STRPTR a, CONST_STRPTR b) {
    return strcasecmp(a, b);
}

LONG Strnicmp(CONST_STRPTR a, CONST_STRPTR b, LONG length) {
    return length > 0 ? strncasecmp(a, b, static_cast<size_t>(length)) : 0;
}
