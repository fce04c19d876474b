// Our host: loads Tessel.addonix as the Corvid emulator does and drives it as a guest would.
#ifndef TESSEL_HOST_HOST_H
#define TESSEL_HOST_HOST_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <exec/semaphores.h>
#include <libraries/addonix_plugin.h>
#include <vvfat.h>

struct IDE;

namespace host {

// ---- Memory pools (the C functions CreatePool/AllocPooled/DeletePool are exported by every
// executable that links this library). Counts let tests see leaks.
struct PoolStats {
    size_t live_pools;
    size_t live_blocks;
    size_t live_bytes;
};
PoolStats poolStats();
// Makes the n-th following AllocPooled call (1-based) return null; 0 disarms.
void failAllocPooledAfter(size_t n);

// ---- The plug-in's entry points, resolved by name.
struct PluginApi {
    decltype(&::CreatePlugin) CreatePlugin;
    decltype(&::DeletePlugin) DeletePlugin;
    decltype(&::ActivatePlugin) ActivatePlugin;
    decltype(&::GetPrefsPlugin) GetPrefsPlugin;
    decltype(&::Reset) Reset;
    decltype(&::Emulate) Emulate;
    decltype(&::WriteIO) WriteIO;
    decltype(&::ReadIO) ReadIO;
    decltype(&::WriteMem) WriteMem;
    decltype(&::ReadMem) ReadMem;
    decltype(&::GetAudio) GetAudio;
    decltype(&::Printer) Printer;
    decltype(&::Joystick) Joystick;
    decltype(&::AnalogInput) AnalogInput;
    decltype(&::AcknowledgeInterrupt) AcknowledgeInterrupt;
    decltype(&::ReturnInterrupt) ReturnInterrupt;
    decltype(&::Cursor) Cursor;
    decltype(&::HostGamepadList) HostGamepadList;
    decltype(&::HostGamepadEvent) HostGamepadEvent;
    decltype(&::HostMouseEvent) HostMouseEvent;
    decltype(&::HostLightDeviceDiodePulse) HostLightDeviceDiodePulse;
    decltype(&::HostLightDeviceButton) HostLightDeviceButton;
};

// The shared object, dlopen'ed; every entry point and the five globals are resolved.
class PluginLibrary {
  public:
    // Empty path: the Tessel.addonix beside this program (findBesideProgram).
    static std::unique_ptr<PluginLibrary> load(const std::string &path, std::string &error);
    // Where the plug-in lies relative to the running program: beside it (a build tree) or
    // where an installation puts it; empty with a one-line reason when it is in neither.
    static std::string findBesideProgram(std::string &error);
    ~PluginLibrary();
    const PluginApi &api() const { return api_; }

  private:
    PluginLibrary() = default;
    void *handle_ = nullptr;
    PluginApi api_{};
};

// Port-level access to a drive, the way an emulated program reaches it.
class PortIO {
  public:
    virtual ~PortIO() = default;
    virtual uint8_t in(uint16_t port) = 0;
    virtual void out(uint16_t port, uint8_t value) = 0;
    // n accesses to one port, as a driver moves a sector through the data register: what a
    // host may do as one step (the plug-in's holds the semaphore once for all of them).
    virtual void inBlock(uint16_t port, uint8_t *values, size_t n) {
        for (size_t i = 0; i < n; ++i)
            values[i] = in(port);
    }
    virtual void outBlock(uint16_t port, const uint8_t *values, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out(port, values[i]);
    }
};

// One plug-in instance, created with tool types, as the emulator holds it. Emulation-side calls
// hold the host's semaphore as the emulator does.
class PluginInstance : public PortIO {
  public:
    static std::unique_ptr<PluginInstance> create(const PluginLibrary &library,
                                                  const std::vector<std::string> &toolTypes,
                                                  std::string &error);
    ~PluginInstance() override; // DeletePlugin
    uint8_t in(uint16_t port) override;
    void out(uint16_t port, uint8_t value) override;
    void inBlock(uint16_t port, uint8_t *values, size_t n) override;
    void outBlock(uint16_t port, const uint8_t *values, size_t n) override;
    bool activate(bool on);
    // Emulate once under the semaphore; returns the signals word it left (starting from
    // `signals`).
    uint32_t emulate(uint32_t signals = 0);
    void reset();
    // GetPrefsPlugin into a fresh pool; the tool types as strings.
    std::vector<std::string> prefs();
    AddonixPlugin *record() const { return plugin_; }
    SignalSemaphore *semaphore() { return &sema_; }
    const PluginApi &api() const { return api_; }

  private:
    PluginInstance(const PluginApi &api) : api_(api) {}
    const PluginApi &api_;
    SignalSemaphore sema_{};
    AddonixPlugin *plugin_ = nullptr;
};

// The same drive built into this process from the static libraries, for what the plug-in's
// entry points cannot ask for: a virtual disk with an explicit geometry.
class InProcessDrive : public PortIO {
  public:
    // Directory medium with the given configuration (null: automatic geometry), with the
    // journal and write-back the options say; without options, neither journal nor its
    // recovery, and written back at unmount.
    static std::unique_ptr<InProcessDrive> mountDirectory(const std::string &path,
                                                          const VVFAT_Configuration *cfg,
                                                          const VVFAT_Options &options,
                                                          std::string &error);
    static std::unique_ptr<InProcessDrive>
    mountDirectory(const std::string &path, const VVFAT_Configuration *cfg, std::string &error);
    ~InProcessDrive() override; // unmounts, writing the disk back
    uint8_t in(uint16_t port) override;
    void out(uint16_t port, uint8_t value) override;
    void unmount();
    // Prints to out what the write-back would do with what the guest wrote, and forgets it:
    // the unmount that follows writes nothing back. Returns the plan's counts.
    VVFAT_WriteBackCounts dryRun(FILE *out);
    // Ends the session without a write-back, keeping no journal of it (VVFAT_Abandon).
    void abandon();
    // Writes back what the guest changed since the last checkpoint (VVFAT_Checkpoint).
    VVFAT_CheckpointResult checkpoint();

  private:
    static std::unique_ptr<InProcessDrive> mount(const std::string &path,
                                                 const VVFAT_Configuration *cfg,
                                                 const VVFAT_Options *options, std::string &error);
    InProcessDrive() = default;
    ::IDE *ide_ = nullptr;
};

// A guest-side ATA driver speaking PIO through ports 0xFD08-0xFD0F.
class AtaGuest {
  public:
    explicit AtaGuest(PortIO &io) : io_(io) {}
    // Each returns false when the drive reports ERR (after the retries a driver would make) or
    // never becomes ready.
    bool identify(uint8_t out[512]);
    bool readLba(uint32_t lba, uint32_t count, uint8_t *out);
    bool writeLba(uint32_t lba, uint32_t count, const uint8_t *in);
    bool readChs(uint16_t cylinder, uint8_t head, uint8_t sector, uint32_t count, uint8_t *out);
    bool writeChs(uint16_t cylinder, uint8_t head, uint8_t sector, uint32_t count,
                  const uint8_t *in);
    uint8_t status();

  private:
    PortIO &io_;
};

} // namespace host

#endif
