// libFuzzer target: a guest that writes any sectors it likes, then the write-back. Each input
// gets a fresh copy of the fixed tree; afterwards nothing outside it may have changed (the
// sentinel tree beside it, reachable from the tree through links, is compared byte for byte),
// and the working directory is back where it was.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "fixture.h"

namespace {

namespace fs = std::filesystem;

struct World {
    fs::path base, mnt, sentinel;
    std::map<std::string, std::string> sentinelBefore;
    std::string cwd;
};

World *world;

void fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "write-back fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

void makeWritable(const fs::path &root) {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The write-back's diagnostics are expected; they would drown libFuzzer's own lines.
    if (!std::getenv("TESSEL_FUZZ_VERBOSE") && !std::freopen("/dev/null", "w", stdout))
        return 1;
    char tmpl[] = "/tmp/tessel-fuzz-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    world = new World;
    world->base = tmpl;
    world->mnt = world->base / "mnt";
    world->sentinel = world->base / "sentinel";
    fuzzfix::buildSentinel(world->sentinel);
    world->sentinelBefore = fuzzfix::snapshot(world->sentinel);
    world->cwd = fs::current_path().string();
    std::atexit([] {
        makeWritable(world->base);
        std::error_code ec;
        fs::remove_all(world->base, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    std::error_code ec;
    makeWritable(world->mnt);
    fs::remove_all(world->mnt, ec);
    fuzzfix::buildTree(world->mnt);

    VVFAT *v =
        VVFAT_Create(world->mnt.c_str(), &fuzzfix::kConfigs[data[0] % fuzzfix::kConfigCount]);
    if (!v)
        fail("disk not built", world->mnt.string());
    fuzzfix::applyInput(v, data + 1, size - 1);
    VVFAT_Destroy(v);

    if (fuzzfix::snapshot(world->sentinel) != world->sentinelBefore)
        fail("the sentinel tree changed", world->sentinel.string());
    for (auto &e : fs::directory_iterator(world->base))
        if (e.path() != world->mnt && e.path() != world->sentinel)
            fail("an object appeared beside the mounted tree", e.path().string());
    if (fs::current_path().string() != world->cwd)
        fail("the working directory moved", fs::current_path().string());
    return 0;
}
