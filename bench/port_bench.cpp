// Nanoseconds per data-port access: a guest streaming sectors through ReadIO of the real
// plug-in, with the host's semaphore held across the emulation slice as the host holds it.
//   port_bench --dir DIR --image FILE [benchmark options]
// The figure is the counter ns_per_access (time per iteration / 512 data-port reads; the
// status polls and commands of each sector are included in that time).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <proto/exec.h>

#include "bench/fat_walk.h"
#include "host/host.h"
#include "ide.h"

namespace {

constexpr USHORT DATA_PORT = 0xFD08;
constexpr USHORT STATUS_PORT = 0xFD0F;
constexpr uint32_t SECTORS_PER_COMMAND = 128;

std::unique_ptr<host::PluginLibrary> library;

struct Medium {
    std::vector<std::string> toolTypes;
    // First sector and length of the range streamed; 0 length: from the disk's data area.
    uint64_t firstLba;
    uint64_t sectors;
};

void writeRegisters(const host::PluginApi &api, AddonixPlugin *plugin, uint64_t lba) {
    api.WriteIO(plugin, DATA_PORT + 2, SECTORS_PER_COMMAND);
    api.WriteIO(plugin, DATA_PORT + 3, static_cast<UBYTE>(lba));
    api.WriteIO(plugin, DATA_PORT + 4, static_cast<UBYTE>(lba >> 8));
    api.WriteIO(plugin, DATA_PORT + 5, static_cast<UBYTE>(lba >> 16));
    api.WriteIO(plugin, DATA_PORT + 6, static_cast<UBYTE>(0xE0 | ((lba >> 24) & 0x0F)));
    api.WriteIO(plugin, STATUS_PORT, 0x20); // READ SECTORS
}

void streamSectors(benchmark::State &state, Medium medium) {
    std::string error;
    auto plugin = host::PluginInstance::create(*library, medium.toolTypes, error);
    if (!plugin || !plugin->activate(true)) {
        state.SkipWithError(("cannot mount: " + error).c_str());
        return;
    }
    if (medium.sectors == 0) {
        // Directory medium: stream the clusters of the files, as a guest reading them would.
        host::AtaGuest guest(*plugin);
        bench::FatVolume volume;
        host::SectorReader reader = [&guest](uint64_t lba, uint32_t count, uint8_t *out) {
            for (; count > 0; --count, ++lba, out += 512)
                if (!guest.readLba(static_cast<uint32_t>(lba), 1, out))
                    return false;
            return true;
        };
        std::vector<bench::FatFile> files;
        size_t dirs = 0;
        if (!volume.open(reader, error) || !volume.listFiles(files, dirs, error) || files.empty()) {
            state.SkipWithError(("cannot read the disk: " + error).c_str());
            return;
        }
        uint64_t end = 0;
        for (const bench::FatFile &file : files)
            end = std::max<uint64_t>(end, volume.clusterLba(file.first_cluster) +
                                              (file.size + 511) / 512);
        medium.firstLba = volume.clusterLba(files.front().first_cluster);
        medium.sectors = end - medium.firstLba;
    }

    const host::PluginApi &api = plugin->api();
    AddonixPlugin *record = plugin->record();
    uint64_t lba = medium.firstLba;
    uint32_t left = 0;
    unsigned sink = 0;
    ObtainSemaphore(plugin->semaphore());
    for (auto _ : state) {
        if (left == 0) {
            if (lba + SECTORS_PER_COMMAND > medium.firstLba + medium.sectors)
                lba = medium.firstLba;
            writeRegisters(api, record, lba);
            lba += SECTORS_PER_COMMAND;
            left = SECTORS_PER_COMMAND;
        }
        // The guest waits for DRQ, then takes the sector's 512 bytes from the data port.
        UBYTE status = 0;
        for (int polls = 0; polls < 1000; ++polls) {
            api.ReadIO(record, STATUS_PORT, &status);
            if (status & (IDE_STATUS_DRQ | IDE_STATUS_ERR))
                break;
        }
        if (!(status & IDE_STATUS_DRQ) || (status & IDE_STATUS_ERR)) {
            state.SkipWithError("the drive did not offer the sector");
            break;
        }
        for (int i = 0; i < 512; ++i) {
            UBYTE value;
            api.ReadIO(record, DATA_PORT, &value);
            sink += value;
        }
        --left;
    }
    ReleaseSemaphore(plugin->semaphore());
    benchmark::DoNotOptimize(sink);
    state.SetBytesProcessed(state.iterations() * 512);
    state.counters["ns_per_access"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 512,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Writing 10 MB through the port window with WRITE SECTORS, onto free clusters of a directory
// medium, as a guest copying a large file would. Mounting and the unmount are not timed; the
// figure is milliseconds per 10 MB (counter ms_per_10MB). With the journal on, its thread makes
// the writes durable beside the guest.
void writeTenMegabytes(benchmark::State &state, std::vector<std::string> toolTypes) {
    constexpr uint32_t SECTORS = 10 * 1000 * 1000 / 512;
    std::vector<UBYTE> sector(512);
    for (size_t i = 0; i < sector.size(); ++i)
        sector[i] = static_cast<UBYTE>(i * 7 + 3);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string error;
        auto plugin = host::PluginInstance::create(*library, toolTypes, error);
        if (!plugin || !plugin->activate(true)) {
            state.SkipWithError(("cannot mount: " + error).c_str());
            return;
        }
        host::AtaGuest guest(*plugin);
        bench::FatVolume volume;
        host::SectorReader reader = [&guest](uint64_t lba, uint32_t count, uint8_t *out) {
            return guest.readLba(static_cast<uint32_t>(lba), count, out);
        };
        std::vector<bench::FatFile> files;
        size_t dirs = 0;
        if (!volume.open(reader, error) || !volume.listFiles(files, dirs, error)) {
            state.SkipWithError(("cannot read the disk: " + error).c_str());
            return;
        }
        // Past every cluster the tree uses: free space the write-back leaves alone.
        uint64_t first = volume.clusterLba(2);
        for (const bench::FatFile &file : files)
            first = std::max<uint64_t>(first, volume.clusterLba(file.first_cluster) +
                                                  (file.size + 511) / 512);
        first += 65536;
        const host::PluginApi &api = plugin->api();
        AddonixPlugin *record = plugin->record();
        ObtainSemaphore(plugin->semaphore());
        const auto start = std::chrono::steady_clock::now();
        state.ResumeTiming();
        for (uint32_t done = 0; done < SECTORS; done += SECTORS_PER_COMMAND) {
            const uint64_t lba = first + done;
            api.WriteIO(record, DATA_PORT + 2, SECTORS_PER_COMMAND);
            api.WriteIO(record, DATA_PORT + 3, static_cast<UBYTE>(lba));
            api.WriteIO(record, DATA_PORT + 4, static_cast<UBYTE>(lba >> 8));
            api.WriteIO(record, DATA_PORT + 5, static_cast<UBYTE>(lba >> 16));
            api.WriteIO(record, DATA_PORT + 6, static_cast<UBYTE>(0xE0 | ((lba >> 24) & 0x0F)));
            api.WriteIO(record, STATUS_PORT, 0x30); // WRITE SECTORS
            for (uint32_t s = 0; s < SECTORS_PER_COMMAND; ++s) {
                UBYTE status = 0;
                for (int polls = 0; polls < 1000; ++polls) {
                    api.ReadIO(record, STATUS_PORT, &status);
                    if (status & (IDE_STATUS_DRQ | IDE_STATUS_ERR))
                        break;
                }
                if (!(status & IDE_STATUS_DRQ) || (status & IDE_STATUS_ERR)) {
                    state.SkipWithError("the drive did not take the sector");
                    ReleaseSemaphore(plugin->semaphore());
                    return;
                }
                for (int i = 0; i < 512; ++i)
                    api.WriteIO(record, DATA_PORT, sector[static_cast<size_t>(i)]);
            }
        }
        // The last sector is taken at the next access.
        UBYTE status = 0;
        api.ReadIO(record, STATUS_PORT, &status);
        state.PauseTiming();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ReleaseSemaphore(plugin->semaphore());
        plugin.reset(); // unmount: nothing to write back, the journal removed
        state.ResumeTiming();
    }
    state.counters["ms_per_10MB"] = seconds * 1000 / static_cast<double>(state.iterations());
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    std::string dir, image;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--dir") == 0)
            dir = argv[i + 1];
        else if (std::strcmp(argv[i], "--image") == 0)
            image = argv[i + 1];
        else {
            std::fprintf(stderr,
                         "usage: port_bench [--dir DIR] [--image FILE] [benchmark options]\n");
            return 2;
        }
    }
    std::string error;
    library = host::PluginLibrary::load("", error);
    if (!library) {
        std::fprintf(stderr, "port_bench: %s\n", error.c_str());
        return 1;
    }
    if (!dir.empty())
        benchmark::RegisterBenchmark("port_window/directory", streamSectors,
                                     Medium{{"MOUNTMODE=Directory", "DIRECTORY=" + dir}, 0, 0});
    if (!dir.empty()) {
        benchmark::RegisterBenchmark("port_write/journal_on", writeTenMegabytes,
                                     std::vector<std::string>{"DIRECTORY=" + dir});
        benchmark::RegisterBenchmark("port_write/journal_off", writeTenMegabytes,
                                     std::vector<std::string>{"DIRECTORY=" + dir, "JOURNAL=OFF"});
    }
    if (!image.empty())
        benchmark::RegisterBenchmark(
            "port_window/image", streamSectors,
            Medium{{"MOUNTMODE=ImageFile", "IMAGEFILE=" + image, "AUTOMOUNT"}, 0, 65536});
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    library.reset();
    return 0;
}
