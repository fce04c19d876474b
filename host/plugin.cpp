// Loading the plug-in and driving an instance as the emulator does.
#include <dlfcn.h>
#include <limits.h>
#include <type_traits>
#include <unistd.h>

#include <proto/exec.h>

#include "host.h"
#include "ide.h"

namespace host {

namespace {

// Holds the host's semaphore for one emulation-side call.
class SemaphoreHold {
  public:
    explicit SemaphoreHold(SignalSemaphore *sema) : sema_(sema) { pthread_mutex_lock(&sema_->sem); }
    ~SemaphoreHold() { pthread_mutex_unlock(&sema_->sem); }
    SemaphoreHold(const SemaphoreHold &) = delete;
    SemaphoreHold &operator=(const SemaphoreHold &) = delete;

  private:
    SignalSemaphore *sema_;
};

bool inPortWindow(uint16_t port) {
    return (port & ~7u) == 0xFD08;
}

// The directory of the running program, or empty.
std::string programDirectory() {
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return {};
    std::string path(exe, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

} // namespace

std::string PluginLibrary::findBesideProgram(std::string &error) {
    std::string dir = programDirectory();
    if (dir.empty()) {
        error = "cannot tell where this program lies; give --plugin PATH";
        return {};
    }
    // The build tree puts it beside the program (tests and benchmarks one level down); an
    // installation in its own directory under lib.
    std::string looked;
    for (const char *relative : {".", TESSEL_PLUGIN_DIR_FROM_BIN, ".."}) {
        std::string candidate = dir + "/" + relative + "/Tessel.addonix";
        if (::access(candidate.c_str(), F_OK) == 0)
            return candidate;
        looked += (looked.empty() ? "" : ", ") + dir + "/" + relative;
    }
    error = "cannot find Tessel.addonix (looked in " + looked + "); give --plugin PATH";
    return {};
}

std::unique_ptr<PluginLibrary> PluginLibrary::load(const std::string &path, std::string &error) {
    std::string file = path.empty() ? findBesideProgram(error) : path;
    if (file.empty())
        return nullptr;
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        error = "cannot load the plug-in '" + file + "': " + (why ? why : "unknown error");
        return nullptr;
    }
    std::unique_ptr<PluginLibrary> lib(new PluginLibrary);
    lib->handle_ = handle;
    std::string missing;
    auto resolve = [&](auto &slot, const char *name) {
        void *symbol = dlsym(handle, name);
        if (!symbol)
            missing += missing.empty() ? name : std::string(", ") + name;
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
    };
    PluginApi &a = lib->api_;
#define RESOLVE(name) resolve(a.name, #name)
    RESOLVE(CreatePlugin);
    RESOLVE(DeletePlugin);
    RESOLVE(ActivatePlugin);
    RESOLVE(GetPrefsPlugin);
    RESOLVE(Reset);
    RESOLVE(Emulate);
    RESOLVE(WriteIO);
    RESOLVE(ReadIO);
    RESOLVE(WriteMem);
    RESOLVE(ReadMem);
    RESOLVE(GetAudio);
    RESOLVE(Printer);
    RESOLVE(Joystick);
    RESOLVE(AnalogInput);
    RESOLVE(AcknowledgeInterrupt);
    RESOLVE(ReturnInterrupt);
    RESOLVE(Cursor);
    RESOLVE(HostGamepadList);
    RESOLVE(HostGamepadEvent);
    RESOLVE(HostMouseEvent);
    RESOLVE(HostLightDeviceDiodePulse);
    RESOLVE(HostLightDeviceButton);
#undef RESOLVE
    void *global = nullptr;
    for (const char *name :
         {"DOSBase", "UtilityBase", "IntuitionBase", "MUIMasterBase", "HashTableBase"})
        resolve(global, name);
    if (!missing.empty()) {
        error = "the plug-in '" + file + "' lacks " + missing;
        return nullptr;
    }
    return lib;
}

PluginLibrary::~PluginLibrary() {
    if (handle_)
        dlclose(handle_);
}

std::unique_ptr<PluginInstance> PluginInstance::create(const PluginLibrary &library,
                                                       const std::vector<std::string> &toolTypes,
                                                       std::string &error) {
    std::unique_ptr<PluginInstance> instance(new PluginInstance(library.api()));
    pthread_mutex_init(&instance->sema_.sem, nullptr);
    std::vector<CONST_STRPTR> list;
    for (const std::string &t : toolTypes)
        list.push_back(t.c_str());
    list.push_back(nullptr);
    instance->plugin_ = instance->api_.CreatePlugin(list.data(), &instance->sema_);
    if (!instance->plugin_) {
        error = "the plug-in could not create an instance";
        return nullptr;
    }
    return instance;
}

PluginInstance::~PluginInstance() {
    if (plugin_)
        api_.DeletePlugin(plugin_);
    pthread_mutex_destroy(&sema_.sem);
}

uint8_t PluginInstance::in(uint16_t port) {
    UBYTE value = 0xFF; // an open bus, for ports nobody answers
    SemaphoreHold hold(&sema_);
    api_.ReadIO(plugin_, port, &value);
    return value;
}

void PluginInstance::out(uint16_t port, uint8_t value) {
    SemaphoreHold hold(&sema_);
    api_.WriteIO(plugin_, port, value);
}

// The emulator holds the semaphore across a slice of emulation, not around each access: so does
// a sector here, which otherwise spends a third of its time locking.
// The loops of a sector's accesses: aligned, as the plug-in's ReadIO and WriteIO are.
__attribute__((aligned(64))) void PluginInstance::inBlock(uint16_t port, uint8_t *values,
                                                          size_t n) {
    const auto readIO = api_.ReadIO;
    AddonixPlugin *const plugin = plugin_;
    SemaphoreHold hold(&sema_);
    for (size_t i = 0; i < n; ++i) {
        UBYTE value = 0xFF;
        readIO(plugin, port, &value);
        values[i] = value;
    }
}

__attribute__((aligned(64))) void PluginInstance::outBlock(uint16_t port, const uint8_t *values,
                                                           size_t n) {
    const auto writeIO = api_.WriteIO;
    AddonixPlugin *const plugin = plugin_;
    SemaphoreHold hold(&sema_);
    for (size_t i = 0; i < n; ++i)
        writeIO(plugin, port, values[i]);
}

bool PluginInstance::activate(bool on) {
    // Held so that a mount from here never overlaps a remount from the panel's thread.
    SemaphoreHold hold(&sema_);
    return api_.ActivatePlugin(plugin_, on ? TRUE : FALSE);
}

uint32_t PluginInstance::emulate(uint32_t signals) {
    ULONG s = signals;
    SemaphoreHold hold(&sema_);
    api_.Emulate(plugin_, &s);
    return s;
}

void PluginInstance::reset() {
    SemaphoreHold hold(&sema_);
    api_.Reset(plugin_);
}

std::vector<std::string> PluginInstance::prefs() {
    std::vector<std::string> out;
    APTR pool = CreatePool(MEMF_ANY, 4096, 1024);
    if (!pool)
        return out;
    if (STRPTR *list = api_.GetPrefsPlugin(plugin_, pool)) {
        for (STRPTR *p = list; *p; ++p)
            out.emplace_back(*p);
    }
    DeletePool(pool);
    return out;
}

std::unique_ptr<InProcessDrive> InProcessDrive::mountDirectory(const std::string &path,
                                                               const VVFAT_Configuration *cfg,
                                                               const VVFAT_Options &options,
                                                               std::string &error) {
    return mount(path, cfg, &options, error);
}

std::unique_ptr<InProcessDrive> InProcessDrive::mountDirectory(const std::string &path,
                                                               const VVFAT_Configuration *cfg,
                                                               std::string &error) {
    return mount(path, cfg, nullptr, error);
}

std::unique_ptr<InProcessDrive> InProcessDrive::mount(const std::string &path,
                                                      const VVFAT_Configuration *cfg,
                                                      const VVFAT_Options *options,
                                                      std::string &error) {
    std::unique_ptr<InProcessDrive> drive(new InProcessDrive);
    drive->ide_ = IDECreate();
    if (!drive->ide_) {
        error = "cannot create the drive: out of memory";
        return nullptr;
    }
    drive->ide_->vvfat = options ? VVFAT_CreateWithOptions(path.c_str(), cfg, *options)
                                 : VVFAT_Create(path.c_str(), cfg);
    if (!drive->ide_->vvfat) {
        error = "cannot present the directory '" + path + "' as a disk";
        return nullptr;
    }
    IDEReset(drive->ide_);
    return drive;
}

InProcessDrive::~InProcessDrive() {
    IDEDestroy(ide_);
}

uint8_t InProcessDrive::in(uint16_t port) {
    if (!inPortWindow(port))
        return 0xFF;
    IDEExecute(ide_);
    return IDERead(ide_, port & 7);
}

void InProcessDrive::out(uint16_t port, uint8_t value) {
    if (!inPortWindow(port))
        return;
    IDEExecute(ide_);
    IDEWrite(ide_, port & 7, value);
}

VVFAT_WriteBackCounts InProcessDrive::dryRun(FILE *out) {
    VVFAT_WriteBackCounts counts{};
    if (ide_)
        VVFAT_DryRun(ide_->vvfat, out, &counts);
    return counts;
}

void InProcessDrive::abandon() {
    if (ide_)
        VVFAT_Abandon(ide_->vvfat);
}

VVFAT_CheckpointResult InProcessDrive::checkpoint() {
    return ide_ ? VVFAT_Checkpoint(ide_->vvfat) : VVFAT_CheckpointResult{};
}

void InProcessDrive::unmount() {
    IDEUnMount(ide_);
}

} // namespace host
