// libFuzzer target: the record a journal keeps of the disk, as a planted or damaged journal may
// hold it. Each input patches the record of a real disk (layout fields by name, any other byte
// by offset); a record that is taken must give a disk that can be serialized again and read at
// the sectors the layout names, in time proportional to the disk (scripts/fuzz.sh bounds each
// input with -timeout).
//
// Input: byte 0 chooses the disk (FAT12, FAT16, FAT32); then patches, each a byte b and its
// operands: b < 0x80 sets layout field b % 17 to the next four bytes (little-endian, cut to the
// field's width); b >= 0x80 sets the byte at the next two bytes' offset (modulo the record's
// length) to the byte after them.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "vvfat.h"
#include "vvfat/journal/journal.h"

namespace {

namespace fs = std::filesystem;

// Offset and width of each layout field at the head of a record, in record order.
constexpr size_t kFields[][2] = {{0, 2},  {2, 2},  {4, 2},  {6, 4},  {10, 4}, {14, 4},
                                 {18, 4}, {22, 1}, {23, 4}, {27, 4}, {31, 4}, {35, 4},
                                 {39, 1}, {40, 4}, {44, 4}, {48, 2}, {50, 2}};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];
constexpr VVFAT_Configuration kConfigs[] = {{4, 16, 63, 12}, {64, 16, 63, 16}, {200, 16, 63, 32}};

std::string root;
std::vector<std::vector<UBYTE>> records;

void buildTree() {
    char tmpl[] = "/tmp/tessel-fuzz-record-XXXXXX";
    if (!mkdtemp(tmpl))
        std::abort();
    root = tmpl;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(root, ec);
    });
    fs::create_directories(root + "/docs/deep");
    const std::pair<const char *, size_t> files[] = {
        {"readme.txt", 2000}, {"docs/notes.txt", 9000}, {"docs/deep/a.bin", 70000}, {"e", 0}};
    for (const auto &[name, size] : files) {
        std::ofstream out(root + "/" + name, std::ios::binary);
        for (size_t i = 0; i < size; ++i)
            out.put(static_cast<char>(i * 31 + size));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::getenv("TESSEL_FUZZ_VERBOSE") && !std::freopen("/dev/null", "w", stdout))
        return 1;
    buildTree();
    for (const VVFAT_Configuration &cfg : kConfigs) {
        VVFAT *v = VVFAT_Create(root.c_str(), &cfg);
        if (!v)
            std::abort();
        records.push_back(serializeRecord(v));
        VVFAT_Destroy(v);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    std::vector<UBYTE> record = records[data[0] % records.size()];
    for (size_t at = 1; at < size;) {
        const UBYTE op = data[at++];
        if (op < 0x80) {
            if (at + 4 > size)
                break;
            const size_t *f = kFields[op % kFieldCount];
            for (size_t i = 0; i < f[1]; ++i)
                record[f[0] + i] = data[at + i];
            at += 4;
        } else {
            if (at + 3 > size)
                break;
            record[(data[at] | data[at + 1] << 8) % record.size()] = data[at + 2];
            at += 3;
        }
    }
    auto v = new VVFAT{};
    v->current_fd = -1;
    v->current_cluster = 0xFFFFFFFF;
    v->dir_fd_limit = MOUNTED_DIR_FDS;
    v->root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    v->root_path = root;
    if (restoreRecord(v, record)) {
        // What recovery does with a record it took: compare it, then read the disk it gives.
        if (serializeRecord(v).empty())
            std::abort();
        const ULONG sectors[] = {0,
                                 v->offset_to_bootsector,
                                 v->offset_to_fat,
                                 v->offset_to_fat + v->sectors_per_fat,
                                 v->offset_to_root_dir,
                                 v->offset_to_data,
                                 v->offset_to_data + v->sectors_per_cluster * 3,
                                 v->sector_count - 1};
        UBYTE sector[SECTOR_SIZE];
        for (ULONG s : sectors)
            if (s < v->sector_count)
                VVFAT_ReadData(v, sector, static_cast<UQUAD>(s) * SECTOR_SIZE, SECTOR_SIZE);
    }
    VVFAT_Destroy(v);
    return 0;
}
