// Tool-type lines for the host, formatted twice: once to count, once into pool memory.
#include <addonix/haiku.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <proto/exec.h>

APTR NewRawDoFmt(CONST_STRPTR format, ULONG mode, APTR buffer, ...) {
    va_list arguments;
    va_start(arguments, buffer);
    if (mode == RAWFMTFUNC_COUNT) {
        const int length = vsnprintf(nullptr, 0, format, arguments);
        *static_cast<LONG *>(buffer) = length < 0 ? 0 : length;
    } else {
        // The caller sized the buffer with the counting pass.
        vsnprintf(static_cast<char *>(buffer), INT_MAX, format, arguments);
    }
    va_end(arguments);
    return buffer;
}

namespace {

template <typename... Arguments>
STRPTR formatPooled(APTR pool, CONST_STRPTR format, Arguments... arguments) {
    LONG length = 0;
    NewRawDoFmt(format, RAWFMTFUNC_COUNT, &length, arguments...);
    auto text = static_cast<STRPTR>(AllocPooled(pool, ULONG(length) + 1));
    if (text == nullptr)
        return nullptr;
    NewRawDoFmt(format, RAWFMTFUNC_STRING, text, arguments...);
    return text;
}

} // namespace

STRPTR MakeToolType(APTR pool, CONST_STRPTR key, CONST_STRPTR value) {
    if (value == nullptr)
        return formatPooled(pool, "%s", key);
    return formatPooled(pool, "%s=%s", key, value);
}

STRPTR MakeToolTypeNum(APTR pool, CONST_STRPTR key, LONG number) {
    return formatPooled(pool, "%s=%ld", key, long(number));
}
