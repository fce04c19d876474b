// Localized texts: the platform catalog first, the built-in block otherwise.
#include <addonix/haiku.h>

#include <Catalog.h> // the Locale Kit's LocaleRoster.h declares BCatalog only
#include <LocaleRoster.h>
#include <mutex>

#include "locale_strings.h"

namespace {

std::once_flag catalogOnce;
BCatalog *catalog = nullptr;

ULONG readBE32(const UBYTE *p) {
    return ULONG(p[0]) << 24 | ULONG(p[1]) << 16 | ULONG(p[2]) << 8 | ULONG(p[3]);
}

CONST_STRPTR builtIn(LONG id) {
    ULONG at = 0;
    // An entry needs its 6-byte head plus its text field inside the block.
    while (at + 6 <= CatCompBlockSize) {
        const UBYTE *entry = CatCompBlock + at;
        const ULONG length = ULONG(entry[4]) << 8 | entry[5];
        if (at + 6 + length > CatCompBlockSize)
            break;
        if (readBE32(entry) == ULONG(id))
            return reinterpret_cast<CONST_STRPTR>(entry + 6);
        at += 6 + length;
    }
    return "";
}

} // namespace

CONST_STRPTR GetString(LONG id) {
    std::call_once(catalogOnce, [] { catalog = BLocaleRoster::Default()->GetCatalog(); });
    if (catalog != nullptr) {
        const char *translated = catalog->GetString(uint32(id));
        if (translated != nullptr && translated[0] != '\0')
            return translated;
    }
    return builtIn(id);
}
