// Names of the entries the guest wrote: long names checked against their short entry, decoded
// back to UTF-8, and judged fit for the host.
#include <cstdio>
#include <cstring>

#include <proto/exec.h>

#include "writeback/writeback.h"

namespace {

// 255 characters and a terminator fit in 20 parts; a longer run is not a valid name.
constexpr int LFN_MAX_PARTS = 20;

std::string trimmed(const UBYTE *bytes, size_t count, size_t keep) {
    std::string s(reinterpret_cast<const char *>(bytes), count);
    while (s.size() > keep && s.back() == ' ')
        s.pop_back();
    return s;
}

void lowerAscii(std::string &s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

// The 8.3 name; the lower-case flags of byte 12 apply when the entry has no long name.
std::string shortName(const DirEntry &e) {
    std::string base = trimmed(e.name, sizeof e.name, 1);
    if (static_cast<UBYTE>(base[0]) == NAME_KANJI_E5)
        base[0] = static_cast<char>(NAME_DELETED);
    if (e.reserved[0] & CASE_LOWER_BASE)
        lowerAscii(base);
    if (e.extension[0] == ' ')
        return base;
    std::string ext = trimmed(e.extension, sizeof e.extension, 0);
    if (e.reserved[0] & CASE_LOWER_EXT)
        lowerAscii(ext);
    return base + "." + ext;
}

// A run of long-name entries being collected, last part first.
struct LongNameRun {
    enum State { None, Collecting, Broken } state = None;
    char16_t units[LFN_MAX_PARTS * LFN_UNITS];
    int parts = 0;
    int expected = 0; // ordinal the next part must carry; 0 once part 1 was seen
    UBYTE checksum = 0;

    void reset() { state = None; }
    void add(const UBYTE *bytes) {
        const UBYTE sequence = bytes[LFN_SEQUENCE];
        const int ordinal = sequence & LFN_ORDINAL_MASK;
        if (sequence & LFN_LAST) {
            if (ordinal < 1 || ordinal > LFN_MAX_PARTS ||
                (sequence & ~(LFN_LAST | LFN_ORDINAL_MASK))) {
                state = Broken;
                return;
            }
            state = Collecting;
            parts = expected = ordinal;
            checksum = bytes[LFN_CHECKSUM];
        } else if (state != Collecting || sequence != expected || bytes[LFN_CHECKSUM] != checksum) {
            state = Broken;
            return;
        }
        for (int u = 0; u < LFN_UNITS; ++u)
            units[(ordinal - 1) * LFN_UNITS + u] = getLE16(bytes + LFN_UNIT_OFFSETS[u]);
        --expected;
    }
    // The long name for `entry`, when the run is complete and belongs to it.
    bool take(const DirEntry &entry, std::u16string &out) const {
        if (state != Collecting || expected != 0 || checksum != fatCheckSum(&entry))
            return false;
        const size_t total = static_cast<size_t>(parts) * LFN_UNITS;
        size_t length = 0;
        while (length < total && units[length] != 0)
            ++length;
        out.assign(units, length);
        return length > 0;
    }
};

} // namespace

const DirEntry *readDirEntry(const UBYTE *buffer, const UBYTE *end, EntryName &filename) {
    LongNameRun run;
    filename.name.clear();
    filename.units.clear();
    for (const UBYTE *p = buffer; end - p >= static_cast<ptrdiff_t>(sizeof(DirEntry));
         p += sizeof(DirEntry)) {
        const auto &entry = *reinterpret_cast<const DirEntry *>(p);
        if (p[0] == NAME_END)
            return nullptr;
        if (p[0] == NAME_DELETED) {
            run.reset();
            continue;
        }
        if (isLongName(entry)) {
            run.add(p);
            continue;
        }
        if (p[0] == '.' || isVolumeLabel(entry)) {
            run.reset();
            continue;
        }
        const ShortName stored = entryShortName(entry);
        std::memcpy(filename.short_name, stored.data(), sizeof filename.short_name);
        if (run.take(entry, filename.units) && utf16ToUtf8(filename.units, filename.name))
            return &entry;
        filename.units.clear();
        filename.name = shortName(entry);
        return &entry;
    }
    return nullptr;
}

bool sameStoredName(const EntryName &a, const EntryName &b) {
    if (!a.units.empty() && !b.units.empty())
        return a.units == b.units;
    // A guest may store a name that fits 8.3 without a long name (with the case flags): the
    // name it reads is what counts.
    if (a.units.empty() && b.units.empty() &&
        std::memcmp(a.short_name, b.short_name, sizeof a.short_name) == 0)
        return true;
    return a.name == b.name;
}

STRPTR createTempName(CONST_STRPTR name, ULONG *seed) {
    static const char digits[] = "0123456789ABCDEF";
    const size_t length = std::strlen(name);
    auto temp = static_cast<STRPTR>(AllocVec(static_cast<ULONG>(length + 10), MEMF_ANY));
    if (!temp)
        return nullptr;
    std::memcpy(temp, name, length);
    temp[length] = '_';
    for (int i = 1; i <= 8; ++i)
        temp[length + i] = digits[(*seed >> (32 - 4 * i)) & 0xF];
    temp[length + 9] = '\0';
    ++*seed;
    return temp;
}
