// Short (8.3) and long names of the directory entries built.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "disk/disk.h"

namespace {

// The longest long name FAT allows.
constexpr size_t MAX_LONG_NAME = 255;

constexpr std::string_view SHORT_NAME_FORBIDDEN = "+.,;=[]/*:<>|\\\"?";

UBYTE normaliseShortByte(UBYTE c) {
    if (c <= 0x20 || c > 0x7E ||
        SHORT_NAME_FORBIDDEN.find(static_cast<char>(c)) != std::string_view::npos)
        return '^';
    if (c >= 'a' && c <= 'z')
        return static_cast<UBYTE>(c - 'a' + 'A');
    return c;
}

// The 11 bytes of the short name before it is made unique.
std::string initialShortName(std::string_view name) {
    std::string s(SHORT_NAME_SIZE, ' ');
    // A leading dot does not start an extension.
    size_t dot = name.rfind('.');
    if (dot == 0)
        dot = std::string_view::npos;
    const size_t baseLength =
        std::min<size_t>(dot != std::string_view::npos ? dot : name.size(), 8);
    name.copy(s.data(), baseLength);
    if (dot != std::string_view::npos)
        name.substr(dot + 1, 3).copy(s.data() + 8, 3);

    // Trailing spaces of the extension and of the base are padding and stay as they are.
    int i = 10;
    while (i > 0 && s[i] == ' ')
        --i;
    for (; i >= 0; --i) {
        if (i == 7)
            while (i > 0 && s[i] == ' ')
                --i;
        s[i] = static_cast<char>(normaliseShortByte(static_cast<UBYTE>(s[i])));
    }
    return s;
}

// The next candidate of the numeric tail: "AB" gives "AB~~~~~0", then "AB~~~~~1", ...
void nextTail(std::string &s) {
    if (s[7] == ' ')
        for (int i = 6; i >= 1 && s[i] == ' '; --i)
            s[i] = '~';
    int i = 7;
    while (i > 0 && s[i] == '9') {
        s[i] = '0';
        --i;
    }
    if (i > 0)
        s[i] = (s[i] >= '0' && s[i] <= '8') ? static_cast<char>(s[i] + 1) : '0';
}

// Decodes one UTF-8 sequence at `p`; 0 when it is not a valid, shortest-form scalar value.
size_t decodeUtf8(const UBYTE *p, size_t left, char32_t *out) {
    const UBYTE c = p[0];
    size_t length;
    char32_t value;
    char32_t minimum;
    if (c < 0x80) {
        *out = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        length = 2, value = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, value = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, value = c & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (p[k] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *out = value;
    return length;
}

} // namespace

std::u16string longNameUnits(CONST_STRPTR fileName) {
    const auto bytes = reinterpret_cast<const UBYTE *>(fileName);
    const size_t length = std::strlen(fileName);
    std::u16string units;
    units.reserve(length);
    for (size_t i = 0; i < length;) {
        char32_t c = 0;
        const size_t used = decodeUtf8(bytes + i, length - i, &c);
        if (used == 0) {
            // Not UTF-8: every byte becomes one unit, as a Latin-1 character.
            units.assign(bytes, bytes + length);
            return units;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
        i += used;
    }
    return units;
}

bool utf16ToUtf8(const std::u16string &units, std::string &out) {
    out.clear();
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

bool isUtf8(CONST_STRPTR fileName) {
    const auto bytes = reinterpret_cast<const UBYTE *>(fileName);
    const size_t length = std::strlen(fileName);
    for (size_t i = 0; i < length;) {
        char32_t c = 0;
        const size_t used = decodeUtf8(bytes + i, length - i, &c);
        if (used == 0)
            return false;
        i += used;
    }
    return true;
}

std::string shownShortName(const DirEntry &e) {
    const auto part = [](const UBYTE *bytes, size_t count, size_t keep, bool lower) {
        std::string s(reinterpret_cast<const char *>(bytes), count);
        while (s.size() > keep && s.back() == ' ')
            s.pop_back();
        if (lower)
            for (char &c : s)
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    std::string base = part(e.name, sizeof e.name, 1, e.reserved[0] & CASE_LOWER_BASE);
    if (static_cast<UBYTE>(base[0]) == NAME_KANJI_E5)
        base[0] = static_cast<char>(NAME_DELETED);
    if (e.extension[0] == ' ')
        return base;
    return base + "." + part(e.extension, sizeof e.extension, 0, e.reserved[0] & CASE_LOWER_EXT);
}

bool shownByShortName(const std::string &fileName, const std::string &shortName, UBYTE *flags) {
    DirEntry e{};
    setEntryShortName(e, makeShortName(shortName));
    const std::string shown = shownShortName(e);
    if (shown.size() != fileName.size())
        return false;
    const size_t dot = shown.find('.');
    bool lower[2] = {false, false}, upper[2] = {false, false};
    for (size_t i = 0; i < fileName.size(); ++i) {
        const char c = fileName[i];
        const bool isLower = c >= 'a' && c <= 'z';
        if ((isLower ? static_cast<char>(c - 'a' + 'A') : c) != shown[i])
            return false;
        const int part = i > dot ? 1 : 0;
        lower[part] = lower[part] || isLower;
        upper[part] = upper[part] || (c >= 'A' && c <= 'Z');
    }
    // Byte 12 says lower case per part: a part in mixed case needs a long name.
    if ((lower[0] && upper[0]) || (lower[1] && upper[1]))
        return false;
    *flags = static_cast<UBYTE>((lower[0] ? CASE_LOWER_BASE : 0) | (lower[1] ? CASE_LOWER_EXT : 0));
    return true;
}

namespace {

// As FAT compares long names: ASCII and Latin-1 letters without regard to case.
std::u16string foldedName(std::u16string units) {
    for (char16_t &c : units)
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c = static_cast<char16_t>(c - 0x20);
    return units;
}

// The long name for a host name whose long name another entry of the directory already shows:
// its printable escape, then "stem (n).ext" forms of it, at most 255 characters.
std::u16string distinctLongName(CONST_STRPTR fileName, std::u16string units,
                                const ShortNameSet &names) {
    if (!names.shown.count(foldedName(units)))
        return units;
    const std::string escaped = printableName(fileName);
    size_t dot = escaped.rfind('.');
    if (dot == 0 || dot == std::string::npos || escaped.size() - dot > 16)
        dot = escaped.size();
    for (unsigned n = 0;; ++n) {
        const std::string suffix = n ? " (" + std::to_string(n) + ")" : "";
        const std::string ext = escaped.substr(dot);
        std::string stem = escaped.substr(0, dot);
        stem.resize(std::min(stem.size(), MAX_LONG_NAME - suffix.size() - ext.size()));
        const std::string candidate = stem + suffix + ext;
        units.assign(candidate.begin(), candidate.end());
        if (!names.shown.count(foldedName(units)))
            return units;
    }
}

} // namespace

ShownName showName(CONST_STRPTR fileName, const ShortNameSet &names, const std::string *own) {
    ShownName shown;
    shown.units = longNameUnits(fileName);
    const std::string initial = initialShortName(fileName);
    shown.short_name = own ? *own : initial;
    // A name that is its own short name needs no long name: 8.3-only guests delete and rename
    // such files without leaving long-name entries behind that keep a directory from being
    // removed.
    if (fileName[0] && (own || !names.used.count(initial)) &&
        shownByShortName(fileName, shown.short_name, &shown.case_flags))
        return shown;
    shown.case_flags = 0;
    if (fileName[0])
        shown.long_name = distinctLongName(fileName, shown.units, names);
    return shown;
}

void markShownName(CONST_STRPTR fileName, ShortNameSet *names) {
    names->shown.insert(foldedName(longNameUnits(fileName)));
}

ULONG nameEntryCount(const ShownName &shown) {
    return static_cast<ULONG>((shown.long_name.size() + LFN_UNITS - 1) / LFN_UNITS) + 1;
}

DirEntry *createLongFileName(VVFAT *v, CONST_STRPTR fileName) {
    return appendLongName(v, longNameUnits(fileName));
}

DirEntry *appendLongName(VVFAT *v, std::u16string units) {
    const size_t count = (units.size() + LFN_UNITS - 1) / LFN_UNITS;
    // A name that fills its last part exactly has no terminator.
    if (units.size() % LFN_UNITS != 0) {
        units.push_back(LFN_TERMINATOR);
        units.resize(count * LFN_UNITS, LFN_PADDING);
    }
    const ULONG first = v->directory.next;
    for (size_t k = 0; k < count; ++k) {
        DirEntry *entry = arrayGetNext(v->directory);
        if (!entry)
            return nullptr;
        auto bytes = reinterpret_cast<UBYTE *>(entry);
        const size_t sequence = count - k;
        bytes[LFN_SEQUENCE] = static_cast<UBYTE>(sequence | (k == 0 ? LFN_LAST : 0));
        entry->attributes = ATTR_LONG_NAME;
        for (int u = 0; u < LFN_UNITS; ++u)
            putLE16(bytes + LFN_UNIT_OFFSETS[u], units[(sequence - 1) * LFN_UNITS + u]);
    }
    return count ? arrayGet(v->directory, first) : nullptr;
}

DirEntry *createShortAndLongName(VVFAT *v, CONST_STRPTR fileName, ShortNameSet *names,
                                 const std::string *own, bool *spelt) {
    return createShortAndLongName(v, fileName, names, showName(fileName, *names, own), own, spelt);
}

DirEntry *createShortAndLongName(VVFAT *v, CONST_STRPTR fileName, ShortNameSet *names,
                                 ShownName shown, const std::string *own, bool *spelt) {
    std::string &shortName = shown.short_name;
    if (!own && names->used.count(shortName)) {
        // Tails handed out earlier for this initial name are all taken: go on from the last.
        const std::string initial = shortName;
        if (auto it = names->tails.find(initial); it != names->tails.end())
            shortName = it->second;
        while (names->used.count(shortName))
            nextTail(shortName);
        names->tails[initial] = shortName;
    }

    const ULONG longIndex = v->directory.next;
    if (!shown.long_name.empty() && !appendLongName(v, shown.long_name))
        return nullptr;
    DirEntry *entry = arrayGetNext(v->directory);
    if (!entry)
        return nullptr;
    setEntryShortName(*entry, makeShortName(shortName));
    entry->reserved[0] = shown.case_flags;
    const UBYTE sum = fatCheckSum(entry);
    for (ULONG i = longIndex; i + 1 < v->directory.next; ++i)
        reinterpret_cast<UBYTE *>(arrayGet(v->directory, i))[LFN_CHECKSUM] = sum;
    names->used.insert(std::move(shortName));
    const std::u16string &units = shown.units;
    if (spelt)
        *spelt = isUtf8(fileName) && (shown.long_name.empty() || shown.long_name == units);
    names->shown.insert(foldedName(shown.long_name.empty() ? units : shown.long_name));
    return arrayGet(v->directory, v->directory.next - 1);
}

DirEntry *createDotName(VVFAT *v, CONST_STRPTR fileName) {
    DirEntry *entry = arrayGetNext(v->directory);
    if (!entry)
        return nullptr;
    setEntryShortName(*entry, makeShortName(fileName));
    entry->attributes = ATTR_DIRECTORY;
    return entry;
}
