// The journal file's format: header, entries, checksums, and reading a journal back.
#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include <dos/dirfd.h>

#include "journal/journal.h"

namespace {

constexpr char MAGIC[8] = {'V', 'V', 'F', 'A', 'T', 'J', 'N', 'L'};

std::array<ULONG, 256> makeCrcTable() {
    std::array<ULONG, 256> table{};
    for (ULONG i = 0; i < 256; ++i) {
        ULONG crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 1 ? (crc >> 1) ^ 0x82F63B78 : crc >> 1;
        table[i] = crc;
    }
    return table;
}

const std::array<ULONG, 256> crcTable = makeCrcTable();

ULONG crcBytes(ULONG crc, const UBYTE *data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        crc = crcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The processor's own CRC-32C instruction, eight bytes at a time: the flushing thread then costs
// the guest's machine next to nothing.
__attribute__((target("sse4.2"))) ULONG crcHardware(ULONG crc, const UBYTE *data, size_t size) {
    UQUAD c = crc;
    for (; size >= 8; size -= 8, data += 8) {
        UQUAD word;
        std::memcpy(&word, data, 8);
        c = __builtin_ia32_crc32di(c, word);
    }
    return crcBytes(static_cast<ULONG>(c), data, size);
}
const bool hasHardwareCrc = __builtin_cpu_supports("sse4.2");
#endif

} // namespace

ULONG journalChecksumPortable(const UBYTE *data, size_t size, ULONG crc) {
    return ~crcBytes(~crc, data, size);
}

ULONG journalChecksum(const UBYTE *data, size_t size, ULONG crc) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (hasHardwareCrc)
        return ~crcHardware(~crc, data, size);
#endif
    return ~crcBytes(~crc, data, size);
}

void encodeJournalHeader(const JournalHeader &h, UBYTE out[JOURNAL_HEADER_SIZE]) {
    auto *b = reinterpret_cast<JournalHeaderBytes *>(out);
    std::memset(b, 0, sizeof *b);
    std::memcpy(b->magic, MAGIC, sizeof MAGIC);
    putLE32(b->version, JOURNAL_VERSION);
    putLE32(b->header_size, sizeof *b);
    putLE64(b->started_ns, h.started_ns);
    putLE32(b->pid, h.pid);
    putLE32(b->record_checksum, h.record_checksum);
    putLE64(b->root_mtime_ns, static_cast<UQUAD>(h.root_mtime_ns));
    putLE64(b->record_length, h.record_length);
    putLE32(b->checksum, journalChecksum(out, offsetof(JournalHeaderBytes, checksum)));
}

bool decodeJournalHeader(const UBYTE in[JOURNAL_HEADER_SIZE], JournalHeader &h) {
    const auto *b = reinterpret_cast<const JournalHeaderBytes *>(in);
    if (std::memcmp(b->magic, MAGIC, sizeof MAGIC) != 0 || getLE32(b->version) != JOURNAL_VERSION ||
        getLE32(b->header_size) != sizeof *b ||
        getLE32(b->checksum) != journalChecksum(in, offsetof(JournalHeaderBytes, checksum)))
        return false;
    h.started_ns = getLE64(b->started_ns);
    h.pid = getLE32(b->pid);
    h.record_checksum = getLE32(b->record_checksum);
    h.root_mtime_ns = static_cast<QUAD>(getLE64(b->root_mtime_ns));
    h.record_length = getLE64(b->record_length);
    return true;
}

void encodeJournalEntry(ULONG type, ULONG sector, UQUAD sequence, const UBYTE *data,
                        UBYTE out[JOURNAL_ENTRY_SIZE]) {
    auto *e = reinterpret_cast<JournalEntryBytes *>(out);
    putLE32(e->type, type);
    putLE32(e->sector, sector);
    putLE64(e->sequence, sequence);
    std::memcpy(e->data, data, SECTOR_SIZE);
    std::memset(e->reserved, 0, sizeof e->reserved);
    putLE32(e->checksum, journalChecksum(out, offsetof(JournalEntryBytes, checksum)));
}

JournalRead readJournal(int fd, JournalContents &out, JournalKeep keep) {
    struct stat st;
    if (DosFstat(fd, &st) != 0) {
        out.damage = std::string("it cannot be examined (") + errorWords(errno) + ")";
        return JournalRead::Damaged;
    }
    out.file_length = static_cast<UQUAD>(st.st_size);
    UBYTE head[JOURNAL_HEADER_SIZE];
    const ssize_t got = DosPReadAll(fd, head, sizeof head, 0);
    if (got < 0) {
        out.damage = std::string("it cannot be read (") + errorWords(errno) + ")";
        return JournalRead::Damaged;
    }
    // The magic, or as much of it as a journal cut short while it was being made holds.
    if (std::memcmp(head, MAGIC, std::min(sizeof MAGIC, static_cast<size_t>(got))) != 0)
        return JournalRead::NotAJournal;
    if (static_cast<size_t>(got) < sizeof head) {
        out.damage = "it was cut short before its header was whole";
        out.unfinished = true;
        return JournalRead::Damaged;
    }
    if (!decodeJournalHeader(head, out.header)) {
        out.damage = "its header is damaged";
        return JournalRead::Damaged;
    }
    const UQUAD recordEnd = sizeof head + out.header.record_length;
    if (out.header.record_length > out.file_length || recordEnd > out.file_length) {
        out.damage = "its record of the disk is cut short";
        out.unfinished = true;
        return JournalRead::Damaged;
    }
    out.record.resize(static_cast<size_t>(out.header.record_length));
    if (DosPReadAll(fd, out.record.data(), out.record.size(), sizeof head) !=
            static_cast<ssize_t>(out.record.size()) ||
        journalChecksum(out.record.data(), out.record.size()) != out.header.record_checksum) {
        out.damage = "its record of the disk is damaged";
        return JournalRead::Damaged;
    }
    out.last_started_ns = out.header.started_ns;
    out.last_pid = out.header.pid;
    // With LastWrites, where each sector's entry is: a rewrite replaces its bytes in place.
    std::unordered_map<ULONG, size_t> bySector;
    std::vector<UBYTE> piece; // of a step, until its last piece
    out.good_length = visitJournalEntries(
        fd, recordEnd, out.file_length, out.damage, [&](const JournalEntryBytes &e) {
            const ULONG type = getLE32(e.type);
            const UQUAD sequence = getLE64(e.sequence);
            out.next_sequence = sequence + 1;
            out.finished = type == JOURNAL_DONE;
            out.ended = out.ended || type == JOURNAL_ENDED;
            if (type == JOURNAL_STEP) {
                const size_t n = std::min<size_t>(getLE16(e.data), JOURNAL_STEP_PIECE);
                piece.insert(piece.end(), e.data + 4, e.data + 4 + n);
                if (!e.data[2]) {
                    out.steps.push_back(std::move(piece));
                    piece.clear();
                }
                return;
            }
            if (type == JOURNAL_RESUMED || type == JOURNAL_UNDONE) {
                out.steps.clear(); // settled: undone before the journal went on
                piece.clear();
            }
            if (type == JOURNAL_RESUMED) {
                ++out.resumed;
                out.last_started_ns = getLE64(e.data);
                out.last_pid = getLE32(e.data + 8);
                return;
            }
            if (type != JOURNAL_SECTOR)
                return;
            ++out.writes;
            const ULONG sector = getLE32(e.sector);
            size_t slot = out.entries.size();
            if (keep == JournalKeep::LastWrites)
                slot = bySector.try_emplace(sector, slot).first->second;
            if (slot < out.entries.size()) {
                out.entries[slot].sequence = sequence;
                std::memcpy(out.data.data() + out.entries[slot].offset, e.data, SECTOR_SIZE);
            } else {
                out.entries.push_back({type, sector, out.data.size(), sequence});
                out.data.insert(out.data.end(), e.data, e.data + SECTOR_SIZE);
            }
        });
    // The last writes in the order they were made, so that a replay ends as the guest's did.
    if (keep == JournalKeep::LastWrites)
        std::sort(out.entries.begin(), out.entries.end(),
                  [](const JournalContents::Entry &a, const JournalContents::Entry &b) {
                      return a.sequence < b.sequence;
                  });
    return JournalRead::Ok;
}

UQUAD visitJournalEntries(int fd, UQUAD at, UQUAD fileLength, std::string &damage,
                          const std::function<void(const JournalEntryBytes &)> &visit) {
    // Read in large pieces.
    std::vector<UBYTE> chunk(JOURNAL_ENTRY_SIZE * 1024);
    UQUAD sequence = 0;
    while (at < fileLength) {
        const ssize_t n = DosPReadAll(fd, chunk.data(), chunk.size(), static_cast<off_t>(at));
        if (n < 0) {
            damage = std::string("it cannot be read past byte ") + std::to_string(at) + " (" +
                     errorWords(errno) + ")";
            return at;
        }
        if (n == 0)
            return at;
        size_t used = 0;
        for (; used + JOURNAL_ENTRY_SIZE <= static_cast<size_t>(n); used += JOURNAL_ENTRY_SIZE) {
            const UBYTE *raw = chunk.data() + used;
            const auto *e = reinterpret_cast<const JournalEntryBytes *>(raw);
            const ULONG type = getLE32(e->type);
            if (getLE32(e->checksum) !=
                    journalChecksum(raw, offsetof(JournalEntryBytes, checksum)) ||
                getLE64(e->sequence) != sequence || type < JOURNAL_SECTOR ||
                type > JOURNAL_UNDONE) {
                damage = "a damaged entry at byte " + std::to_string(at + used);
                return at + used;
            }
            ++sequence;
            visit(*e);
        }
        if (used == 0) {
            damage = "a torn entry at byte " + std::to_string(at);
            return at;
        }
        at += used;
    }
    return at;
}
