// Names of the entries the guest wrote: long names checked against their short entry, decoded
// back to UTF-8, and judged fit for the host.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dos/dirfd.h>
#include <fcntl.h>
#include <proto/exec.h>

#include "writeback/writeback.h"

namespace {

// 255 characters and a terminator fit in 20 parts; a longer run is not a valid name.
constexpr int LFN_MAX_PARTS = 20;

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
        filename.bare = false;
        if (run.take(entry, filename.units) && utf16ToUtf8(filename.units, filename.name))
            return &entry;
        filename.units.clear();
        filename.name = shownShortName(entry);
        // A flag for an extension the name does not have says nothing (a rename may carry the
        // old entry's flags over).
        const UBYTE sayCase = CASE_LOWER_BASE | (entry.extension[0] == ' ' ? 0 : CASE_LOWER_EXT);
        filename.bare = (entry.reserved[0] & sayCase) == 0;
        return &entry;
    }
    return nullptr;
}

bool sameNameIgnoringCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

std::string listedSpelling(int dirFd, const std::string &name) {
    struct stat st;
    if (dirFd < 0 || DosStatAt(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::string();
    DIR *listing = DosOpenDirAt(dirFd, ".");
    if (!listing)
        return std::string();
    std::string other;
    bool listed = false;
    errno = 0;
    while (const struct dirent *e = DosReadDir(listing)) {
        if (name == e->d_name) {
            listed = true;
            break;
        }
        if (other.empty() && sameNameIgnoringCase(name, e->d_name))
            other = e->d_name;
    }
    // A listing cut short tells nothing.
    const bool whole = listed || errno == 0;
    DosCloseDir(listing);
    return listed || !whole ? std::string() : other;
}

bool sameStoredName(const EntryName &a, const EntryName &b) {
    // A bare short entry cannot say case: the name it spells is the same whatever its case.
    if (b.bare && sameNameIgnoringCase(a.name, b.name))
        return true;
    if (!a.units.empty() && !b.units.empty())
        return a.units == b.units;
    // A guest may store a name that fits 8.3 without a long name (with the case flags): the
    // name it reads, case flags applied, is what counts.
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
