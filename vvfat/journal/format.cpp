// The journal file's format: header, entries, checksums, and reading a journal back.
#include <algorithm>
#include <array>
#include <cstring>

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

JournalRead readJournal(int fd, JournalContents &out) {
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
    out.good_length = recordEnd;

    // The entries, read in large pieces.
    std::vector<UBYTE> chunk(JOURNAL_ENTRY_SIZE * 1024);
    UQUAD at = recordEnd;
    UQUAD sequence = 0;
    while (at < out.file_length) {
        const ssize_t n = DosPReadAll(fd, chunk.data(), chunk.size(), static_cast<off_t>(at));
        if (n < 0) {
            out.damage = std::string("it cannot be read past byte ") + std::to_string(at) + " (" +
                         errorWords(errno) + ")";
            return JournalRead::Ok;
        }
        if (n == 0)
            break;
        size_t used = 0;
        for (; used + JOURNAL_ENTRY_SIZE <= static_cast<size_t>(n); used += JOURNAL_ENTRY_SIZE) {
            const UBYTE *raw = chunk.data() + used;
            const auto *e = reinterpret_cast<const JournalEntryBytes *>(raw);
            const ULONG type = getLE32(e->type);
            if (getLE32(e->checksum) !=
                    journalChecksum(raw, offsetof(JournalEntryBytes, checksum)) ||
                getLE64(e->sequence) != sequence ||
                (type != JOURNAL_SECTOR && type != JOURNAL_RESUMED)) {
                out.damage = "a damaged entry at byte " + std::to_string(at + used);
                return JournalRead::Ok;
            }
            out.next_sequence = ++sequence;
            if (type == JOURNAL_RESUMED) {
                ++out.resumed;
                out.last_started_ns = getLE64(e->data);
                out.last_pid = getLE32(e->data + 8);
            } else {
                out.entries.push_back({type, getLE32(e->sector), out.data.size()});
                out.data.insert(out.data.end(), e->data, e->data + SECTOR_SIZE);
            }
            out.good_length = at + used + JOURNAL_ENTRY_SIZE;
        }
        if (used == 0) {
            out.damage = "a torn entry at byte " + std::to_string(at);
            return JournalRead::Ok;
        }
        at += used;
    }
    return JournalRead::Ok;
}
