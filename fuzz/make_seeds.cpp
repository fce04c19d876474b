// Makes the fuzzer's seed inputs: for each disk configuration the fixed tree is mounted and
// dumped, mtools changes the dump as a guest would, and the sectors that changed become one
// input. The tree is built in the in-memory file system, where the fuzzer builds it by default:
// its listings come in name order, so the disk's layout, and with it what a seed's sectors
// mean, is the same on every machine. Usage: make_seeds OUTPUT_DIR
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "fixture.h"
#include "host/disk_image.h"
#include "tests/support/memfs.h"

namespace fs = std::filesystem;

namespace {

int run(const std::string &command) {
    return std::system(("LC_ALL=C.UTF-8 " + command + " >/dev/null 2>&1").c_str());
}

std::string readAll(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct Operation {
    const char *name;
    std::vector<std::string> commands; // %D: the drive, %S: the source directory
};

std::string expand(std::string s, const std::string &drive, const std::string &src) {
    for (size_t at; (at = s.find("%D")) != std::string::npos;)
        s.replace(at, 2, drive);
    for (size_t at; (at = s.find("%S")) != std::string::npos;)
        s.replace(at, 2, src);
    return s;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);
    char tmpl[] = "/tmp/tessel-seeds-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const fs::path base = tmpl;
    const fs::path src = base / "src";
    fs::create_directories(src);
    fuzzfix::writeFile(src / "new.txt", fuzzfix::pattern(1234, 5));
    fuzzfix::writeFile(src / "big.bin", fuzzfix::pattern(40000, 6));
    fuzzfix::writeFile(src / "HELLO.TXT", "changed hello\n");
    fuzzfix::writeFile(src / "Ünïcode näme.txt", "utf-8 name\n");

    const std::vector<Operation> operations = {
        {"create", {"mcopy %D %S/new.txt ::/new.txt", "mcopy %D %S/big.bin ::/sub/big.bin"}},
        {"overwrite",
         {"mcopy -o %D %S/HELLO.TXT ::/HELLO.TXT", "mcopy -o %D %S/big.bin ::/data.bin"}},
        {"rename",
         {"mren %D ::/data.bin ::/renamed.bin", "mren %D ::/sub/inner.txt ::/sub/outer.txt"}},
        {"swap",
         {"mren %D ::/HELLO.TXT ::/t", "mren %D ::/data.bin ::/HELLO.TXT",
          "mren %D ::/t ::/data.bin"}},
        {"delete", {"mdel %D ::/HELLO.TXT", "mdeltree %D ::/sub"}},
        {"delete-links", {"mdeltree %D ::/link", "mdel %D ::/flink"}},
        {"mkdir",
         {"mmd %D ::/newdir", "mmd %D ::/newdir/inner",
          "mcopy %D %S/new.txt ::/newdir/inner/n.txt"}},
        {"attrib", {"mattrib %D +r ::/HELLO.TXT", "mattrib %D +h ::/sub"}},
        {"longname", {"mcopy %D '%S/Ünïcode näme.txt' '::/Ünïcode näme.txt'"}},
        {"into-link", {"mcopy %D %S/new.txt ::/link/new.txt", "mdel %D ::/link/secret.txt"}},
    };

    int written = 0;
    for (unsigned c = 0; c < fuzzfix::kConfigCount; ++c) {
        // The fuzzer's trees, at the fuzzer's paths.
        const fuzzfix::Links links = {memfs::symlinkat, memfs::readlinkat};
        memfs::install();
        dos::syscalls.mkdir("/fuzz", 0755);
        fuzzfix::buildSentinel("/fuzz/sentinel", links);
        fuzzfix::buildTree("/fuzz/mnt", links);
        VVFAT *v = VVFAT_Create("/fuzz/mnt", &fuzzfix::kConfigs[c]);
        if (!v) {
            std::fprintf(stderr, "make_seeds: disk %u not built\n", c);
            return 1;
        }
        host::SectorReader reader = [v](uint64_t lba, uint32_t count, uint8_t *buffer) {
            return VVFAT_ReadData(v, buffer, lba * SECTOR_SIZE, count * SECTOR_SIZE) != 0;
        };
        const fs::path clean = base / "clean.img";
        std::string error;
        if (!host::dumpImage(reader, clean.string(), false, error)) {
            std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
            return 1;
        }
        const std::string cleanBytes = readAll(clean);
        const std::string drive =
            "-i " + (base / "work.img").string() + "@@" +
            std::to_string(static_cast<unsigned long long>(v->offset_to_bootsector) * SECTOR_SIZE);
        for (const Operation &op : operations) {
            fs::copy_file(clean, base / "work.img", fs::copy_options::overwrite_existing);
            bool ok = true;
            for (const std::string &cmd : op.commands)
                ok = ok && run(expand(cmd, drive, src.string())) == 0;
            if (!ok) {
                std::fprintf(stderr, "make_seeds: %s failed on FAT%u; skipped\n", op.name,
                             fuzzfix::kConfigs[c].type_of_fat);
                continue;
            }
            const std::string changed = readAll(base / "work.img");
            std::string input(1, static_cast<char>(c));
            for (size_t s = 0; (s + 1) * SECTOR_SIZE <= changed.size(); ++s) {
                const char *now = changed.data() + s * SECTOR_SIZE;
                const bool same =
                    (s + 1) * SECTOR_SIZE <= cleanBytes.size() &&
                    std::memcmp(now, cleanBytes.data() + s * SECTOR_SIZE, SECTOR_SIZE) == 0;
                if (!same)
                    fuzzfix::encodeSector(v, s, reinterpret_cast<const UBYTE *>(now), input);
            }
            const fs::path file =
                out / ("fat" + std::to_string(fuzzfix::kConfigs[c].type_of_fat) + "-" + op.name);
            std::ofstream(file, std::ios::binary)
                .write(input.data(), static_cast<std::streamsize>(input.size()));
            ++written;
        }
        // The disk was only read: destroying it writes nothing back.
        VVFAT_Destroy(v);
        memfs::uninstall();
    }
    fs::remove_all(base);
    std::printf("%d seeds in %s\n", written, out.c_str());
    return 0;
}
