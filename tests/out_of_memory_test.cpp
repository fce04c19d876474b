// Out of memory at every allocation of a plug-in's life: for k = 1, 2, ... the k-th allocation
// (operator new, malloc, calloc, realloc; in the plug-in, the host's C library and this program
// alike) fails, until a run needs fewer than k. Each run must end in the entry points' ordinary
// results, never terminate, leave the shared directory as it was and release every descriptor
// and (checked after each run in the sanitizer build) every block. One test program of its own:
// it replaces the process's allocator.
#include <dlfcn.h>

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include <gtest/gtest.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <Message.h>
#include <OptionPopUp.h>
#include <Window.h>
#include <proto/exec.h>

#include "addonix/addonix_private.h"
#include "addonix/settings_window.h"
#include "host/host.h"
#include "ide.h"
#include "support/plugin_library_test.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "vvfat.h"

using testsupport::patternBytes;
using testsupport::snapshotTree;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// While armed, the failAt-th allocation from arming fails. Only the arming thread's allocations
// count: the plug-in's own threads (the journal's) start and run beside it.
struct Countdown {
    bool armed = false;
    size_t count = 0;
    size_t failAt = 0;
    bool fired = false;
    pthread_t owner{};
};
Countdown countdown;

// As the C library's allocator fails: errno ENOMEM.
bool allocationFails() {
    if (!countdown.armed || !pthread_equal(pthread_self(), countdown.owner) ||
        ++countdown.count != countdown.failAt)
        return false;
    countdown.fired = true;
    errno = ENOMEM;
    return true;
}

// The allocator behind this one: the sanitizer's when there is one, else the C library's.
// dlsym itself may allocate before the pointers are known; that comes from a small arena.
using MallocFn = void *(*)(size_t);
using CallocFn = void *(*)(size_t, size_t);
using ReallocFn = void *(*)(void *, size_t);
using FreeFn = void (*)(void *);
MallocFn nextMalloc;
CallocFn nextCalloc;
ReallocFn nextRealloc;
FreeFn nextFree;

alignas(16) char bootArena[8192];
size_t bootUsed;
bool resolving;

void *bootAllocate(size_t size) {
    size = (size + 15) & ~size_t{15};
    if (bootUsed + size > sizeof bootArena)
        return nullptr;
    void *p = bootArena + bootUsed;
    bootUsed += size;
    return p;
}

bool fromBootArena(void *p) {
    return p >= static_cast<void *>(bootArena) &&
           p < static_cast<void *>(bootArena + sizeof bootArena);
}

bool resolveNext() {
    if (nextFree)
        return true;
    if (resolving)
        return false;
    resolving = true;
    nextMalloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    nextCalloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    nextRealloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    nextFree = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
    return nextFree != nullptr;
}

void *plainAllocate(size_t size) {
    return resolveNext() ? nextMalloc(size) : bootAllocate(size);
}

} // namespace

extern "C" void *malloc(size_t size) {
    if (allocationFails())
        return nullptr;
    return plainAllocate(size);
}

extern "C" void *calloc(size_t count, size_t size) {
    if (allocationFails())
        return nullptr;
    if (!resolveNext()) {
        void *p = bootAllocate(count * size);
        if (p)
            std::memset(p, 0, count * size);
        return p;
    }
    return nextCalloc(count, size);
}

extern "C" void *realloc(void *block, size_t size) {
    if (allocationFails())
        return nullptr;
    if (!resolveNext())
        return nullptr;
    if (fromBootArena(block)) {
        // Its size is not kept: copy what the arena holds from it, at most size bytes.
        const size_t available = size_t(bootArena + sizeof bootArena - static_cast<char *>(block));
        void *p = nextMalloc(size);
        if (p)
            std::memcpy(p, block, size < available ? size : available);
        return p;
    }
    return nextRealloc(block, size);
}

extern "C" void free(void *block) {
    if (block == nullptr || fromBootArena(block))
        return;
    if (resolveNext())
        nextFree(block);
}

void *operator new(size_t size) {
    if (allocationFails())
        throw std::bad_alloc();
    void *p = plainAllocate(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void *operator new[](size_t size) {
    return operator new(size);
}

void *operator new(size_t size, const std::nothrow_t &) noexcept {
    if (allocationFails())
        return nullptr;
    return plainAllocate(size ? size : 1);
}

void *operator new[](size_t size, const std::nothrow_t &tag) noexcept {
    return operator new(size, tag);
}

void operator delete(void *block) noexcept {
    free(block);
}
void operator delete[](void *block) noexcept {
    free(block);
}
void operator delete(void *block, size_t) noexcept {
    free(block);
}
void operator delete[](void *block, size_t) noexcept {
    free(block);
}

namespace {

size_t openDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Calls `run` with the k-th allocation failing, for k = 1, 2, ... until a run needs fewer
// than k; `check` looks at each run's outcome and what it printed, with the allocator whole
// again, and no run may leave a descriptor or (in the sanitizer build) memory behind. Returns
// the number of runs.
template <class Run, class Check> size_t failEachAllocationInTurn(Run run, Check check) {
    const size_t descriptors = openDescriptors();
    size_t k = 1;
    for (;; ++k) {
        testing::internal::CaptureStdout();
        countdown = Countdown{true, 0, k, false, pthread_self()};
        run();
        const bool fired = countdown.fired;
        countdown.armed = false;
        check(k, testing::internal::GetCapturedStdout());
        EXPECT_EQ(openDescriptors(), descriptors) << "allocation " << k << ": a descriptor leaked";
#ifdef __SANITIZE_ADDRESS__
        // Here rather than at exit, to name the run that leaked.
        EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "allocation " << k << ": memory leaked";
#endif
        if (!fired || ::testing::Test::HasFailure())
            break;
    }
    return k;
}

// The port window as the emulator drives it, straight through the entry points.
class Ports : public host::PortIO {
  public:
    Ports(const host::PluginApi &api, AddonixPlugin *plugin) : api_(api), plugin_(plugin) {}
    uint8_t in(uint16_t port) override {
        UBYTE value = 0xFF;
        api_.ReadIO(plugin_, port, &value);
        return value;
    }
    void out(uint16_t port, uint8_t value) override { api_.WriteIO(plugin_, port, value); }

  private:
    const host::PluginApi &api_;
    AddonixPlugin *plugin_;
};

class OutOfMemory : public LoadedPluginTest {
  protected:
    // The plug-in stays loaded until the process ends, so that a leak report at exit can name
    // its frames.
    static void TearDownTestSuite() {}
};

} // namespace

TEST(OutOfMemoryCountdown, FailsTheChosenAllocationOnly) {
    countdown = Countdown{true, 0, 2, false, pthread_self()};
    void *first = std::malloc(8);
    void *second = std::malloc(8);
    bool threw = false;
    try {
        int *volatile third = new int(3);
        delete third;
    } catch (const std::bad_alloc &) {
        threw = true;
    }
    countdown.armed = false;
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_FALSE(threw);
    EXPECT_TRUE(countdown.fired);
    std::free(first);
}

TEST_F(OutOfMemory, CreatingAVirtualDiskGivesADiskOrNullWithADiagnostic) {
    TempDir dir;
    writeFile(dir / "a.txt", patternBytes(3000, 1));
    std::filesystem::create_directories(dir / "sub");
    writeFile(dir / "sub" / "b.txt", patternBytes(700, 2));
    const auto before = snapshotTree(dir.path());
    const std::string path = dir.str();
    VVFAT_Configuration cfg{64, 16, 63, 16};

    bool made = false;
    const size_t runs = failEachAllocationInTurn(
        [&] {
            VVFAT *v = VVFAT_Create(path.c_str(), &cfg);
            made = v != nullptr;
            UBYTE sector[512];
            if (v && VVFAT_ReadData(v, sector, 0, 512))
                VVFAT_WriteData(v, sector, 0, 512); // the write-back runs too
            VVFAT_Destroy(v);
        },
        [&](size_t k, const std::string &out) {
            if (!made) {
                EXPECT_NE(out.find("VVFAT: "), std::string::npos) << "allocation " << k;
            }
            EXPECT_EQ(snapshotTree(dir.path()), before) << "allocation " << k;
        });
    EXPECT_TRUE(made) << "the last run had memory enough";
    EXPECT_GT(runs, 10u);
}

TEST_F(OutOfMemory, ThePluginsLifeThroughItsEntryPointsEndsInOrdinaryResults) {
    TempDir dir;
    writeFile(dir / "a.txt", patternBytes(3000, 1));
    std::filesystem::create_directories(dir / "sub");
    writeFile(dir / "sub" / "b.txt", patternBytes(700, 2));
    const auto before = snapshotTree(dir.path());
    TempDir media;
    const std::string directory = "DIRECTORY=" + dir.str();
    const std::string image = "IMAGEFILE=" + (media / "disk.img").string();
    CONST_STRPTR toolTypes[] = {directory.c_str(), image.c_str(), "AUTOMOUNT", nullptr};
    const host::PluginApi &api = library->api();
    SignalSemaphore sema{};
    pthread_mutex_init(&sema.sem, nullptr);
    BWindow window(BRect(0, 0, 400, 300), "Tessel", B_TITLED_WINDOW, 0);
    BMessage sync(MSG_SYNC);
    BMessage imageMode(MSG_MODE);
    imageMode.AddInt32("be:value", MODE_IMAGE_FILE);

    struct Outcome {
        bool created, exported;
        ULONG signals;
    } outcome{};
    const size_t runs = failEachAllocationInTurn(
        [&] {
            outcome = Outcome{};
            AddonixPlugin *plugin = api.CreatePlugin(toolTypes, &sema);
            outcome.created = plugin != nullptr;
            if (!plugin)
                return;
            auto *panel = static_cast<SettingsWindow *>(plugin->pl_PrefsWindow);
            try {
                window.AddChild(panel); // the kit's own allocation may fail here
            } catch (const std::bad_alloc &) {
            }
            api.ActivatePlugin(plugin, TRUE);
            Ports ports(api, plugin);
            host::AtaGuest guest(ports);
            UBYTE sector[512];
            // The guest rewrites its MBR unchanged: the remount writes the disk back.
            if (guest.readLba(0, 1, sector))
                guest.writeLba(0, 1, sector);
            panel->MessageReceived(&sync);
            api.Emulate(plugin, &outcome.signals);
            pluginData(plugin)->CYA_Mode->SetValue(MODE_IMAGE_FILE);
            panel->MessageReceived(&imageMode);
            api.Emulate(plugin, &outcome.signals);
            api.Reset(plugin);
            std::memset(sector, 0x5A, sizeof sector);
            guest.writeLba(7, 1, sector);
            guest.readLba(7, 1, sector);
            if (APTR pool = CreatePool(MEMF_ANY, 4096, 1024)) {
                outcome.exported = api.GetPrefsPlugin(plugin, pool) != nullptr;
                DeletePool(pool);
            }
            api.ActivatePlugin(plugin, FALSE);
            window.RemoveChild(panel);
            api.DeletePlugin(plugin);
        },
        [&](size_t k, const std::string &out) {
            if (!outcome.created) {
                EXPECT_NE(out.find("Tessel: cannot create the plug-in"), std::string::npos)
                    << "allocation " << k << ": " << out;
            } else {
                // Every remount asks for a reset, failed or not.
                EXPECT_EQ(outcome.signals, ULONG(ADDONIX_SIGNAL_RESET)) << "allocation " << k;
            }
            const host::PoolStats pools = host::poolStats();
            EXPECT_EQ(pools.live_pools, 0u) << "allocation " << k;
            EXPECT_EQ(window.CountChildren(), 0) << "allocation " << k;
            EXPECT_EQ(snapshotTree(dir.path()), before) << "allocation " << k << ": " << out;
        });
    EXPECT_TRUE(outcome.created && outcome.exported) << "the last run had memory enough";
    EXPECT_GT(runs, 100u);
    pthread_mutex_destroy(&sema.sem);
}
