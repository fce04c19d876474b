// Glue shared by plug-ins: localized texts and tool-type lines for the host.
#ifndef ADDONIX_HAIKU_H
#define ADDONIX_HAIKU_H

#include <addonix/lib_header.h>
#include <exec/rawfmt.h>

// The text of string id: the platform catalog's translation when it has a non-empty one, else
// the built-in English text; an unknown id gives an empty text. Valid while the plug-in is
// loaded; never null.
CONST_STRPTR GetString(LONG id);

// "key=value", or "key" alone when value is null, in memory from the host's pool (never freed
// singly). Null when the pool has no room.
STRPTR MakeToolType(APTR pool, CONST_STRPTR key, CONST_STRPTR value);
// "key=number" in signed decimal, from the pool; null when the pool has no room.
STRPTR MakeToolTypeNum(APTR pool, CONST_STRPTR key, LONG number);

// Formats as the platform's printf. RAWFMTFUNC_COUNT: buffer is a LONG that receives the length
// of the text (terminator excluded). Any other mode: buffer receives the text and its terminator
// and must be large enough. Returns buffer.
APTR NewRawDoFmt(CONST_STRPTR format, ULONG mode, APTR buffer, ...)
    __attribute__((format(printf, 1, 4)));

#endif
