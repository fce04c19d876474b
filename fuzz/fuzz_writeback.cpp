// libFuzzer target: a guest that writes any sectors it likes, then the write-back. Each input
// gets a fresh copy of the fixed tree; afterwards nothing outside it may have changed (the
// sentinel tree beside it, reachable from the tree through links, is compared byte for byte),
// no descriptor may be left open, and the working directory is back where it was.
//
// The trees live in the in-memory file system behind the layer's table of system calls, which
// runs thousands of inputs a second; TESSEL_FUZZ_REAL_FS=1 puts them in a temporary directory
// on the real one instead, for what only a real file system does.
//
// The first byte of an input chooses the disk configuration (byte % 3) and a host failure
// (byte / 3, 0: none): the k-th call of one kind fails, so the write-back meets failing hosts
// at every step as well as hostile sectors.
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

#include "fixture.h"
#include "tests/support/memfs.h"

namespace {

namespace fs = std::filesystem;

constexpr fuzzfix::Links kMemoryLinks = {memfs::symlinkat, memfs::readlinkat};

struct World {
    bool realFs = false;
    std::string base, mnt, sentinel;
    fuzzfix::Links links = fuzzfix::kRealLinks;
    std::map<std::string, std::string> sentinelBefore;
    std::string cwd;
};

World *world;

void fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "write-back fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

std::string currentDirectory() {
    char buffer[PATH_MAX];
    return dos::syscalls.getcwd(buffer, sizeof buffer) ? buffer : "";
}

void makeWritable(const fs::path &root) {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
}

// A fresh mounted tree and, in memory, a fresh sentinel beside it.
void freshTrees() {
    if (world->realFs) {
        std::error_code ec;
        makeWritable(world->mnt);
        fs::remove_all(world->mnt, ec);
    } else {
        memfs::install();
        dos::syscalls.mkdir(world->base.c_str(), 0755);
        fuzzfix::buildSentinel(world->sentinel, world->links);
    }
    fuzzfix::buildTree(world->mnt, world->links);
}

// The failure an input asks for: op and k from the first byte's quotient.
void armFault(unsigned choice) {
    if (choice == 0)
        return;
    const auto op = static_cast<DosFaultOp>((choice - 1) % DOS_FAULT_COUNT);
    const ULONG k = (choice - 1) / DOS_FAULT_COUNT + 1;
    DosFaultArm(op, k, op == DOS_FAULT_WRITE ? ENOSPC : EIO);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The write-back's diagnostics are expected; they would drown libFuzzer's own lines.
    if (!std::getenv("TESSEL_FUZZ_VERBOSE") && !std::freopen("/dev/null", "w", stdout))
        return 1;
    world = new World;
    const char *real = std::getenv("TESSEL_FUZZ_REAL_FS");
    world->realFs = real && *real && std::strcmp(real, "0") != 0;
    if (world->realFs) {
        char tmpl[] = "/tmp/tessel-fuzz-XXXXXX";
        if (!mkdtemp(tmpl))
            return 1;
        world->base = tmpl;
        std::atexit([] {
            makeWritable(world->base);
            std::error_code ec;
            fs::remove_all(world->base, ec);
        });
    } else {
        world->base = "/fuzz";
        world->links = kMemoryLinks;
        memfs::install();
        dos::syscalls.mkdir(world->base.c_str(), 0755);
    }
    world->mnt = world->base + "/mnt";
    world->sentinel = world->base + "/sentinel";
    fuzzfix::buildSentinel(world->sentinel, world->links);
    world->sentinelBefore = fuzzfix::snapshot(world->sentinel, world->links);
    world->cwd = currentDirectory();
    if (!world->realFs)
        memfs::uninstall();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    freshTrees();
    const unsigned fault = data[0] / fuzzfix::kConfigCount;
    armFault(fault);
    VVFAT *v =
        VVFAT_Create(world->mnt.c_str(), &fuzzfix::kConfigs[data[0] % fuzzfix::kConfigCount]);
    if (v) {
        fuzzfix::applyInput(v, data + 1, size - 1);
        VVFAT_Destroy(v);
    }
    DosFaultReset();
    if (!v && fault == 0)
        fail("disk not built", world->mnt);

    if (fuzzfix::snapshot(world->sentinel, world->links) != world->sentinelBefore)
        fail("the sentinel tree changed", world->sentinel);
    for (const std::string &name : fuzzfix::listNames(world->base))
        if (name != "mnt" && name != "sentinel")
            fail("an object appeared beside the mounted tree", world->base + "/" + name);
    if (currentDirectory() != world->cwd)
        fail("the working directory moved", currentDirectory());
    if (!world->realFs) {
        if (memfs::openDescriptors() != 0)
            fail("descriptors left open", std::to_string(memfs::openDescriptors()));
        memfs::uninstall(); // what an input allocates, it frees: libFuzzer sees no leak to chase
    }
    return 0;
}
