// Acceptance helpers: a directory mounted through the real Tessel.addonix (or the same drive
// in-process for a configured geometry), reached only through the port window, with dumps that
// the independent FAT tools read and change.
#ifndef TESSEL_TESTS_E2E_GUEST_H
#define TESSEL_TESTS_E2E_GUEST_H

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/disk_image.h"
#include "host/host.h"
#include "support/test_support.h"

namespace e2e {

namespace fs = std::filesystem;
using testsupport::shellQuote;

// Loaded once per test program, as the emulator keeps it loaded.
inline host::PluginLibrary &library() {
    static std::unique_ptr<host::PluginLibrary> lib = [] {
        std::string error;
        auto l = host::PluginLibrary::load("", error);
        if (!l)
            ADD_FAILURE() << error;
        return l;
    }();
    return *lib;
}

inline std::unique_ptr<host::PluginInstance> createPlugin(const std::vector<std::string> &tools) {
    std::string error;
    auto p = host::PluginInstance::create(library(), tools, error);
    EXPECT_NE(p, nullptr) << error;
    return p;
}

// A drive with a directory medium and the guest driver on its ports.
class Drive {
  public:
    // Through the real plug-in: mode 0 with the automatic geometry.
    static std::unique_ptr<Drive> plugin(const fs::path &dir) {
        auto d = std::unique_ptr<Drive>(new Drive);
        d->plugin_ = createPlugin({"DIRECTORY=" + dir.string(), "MOUNTMODE=Directory"});
        if (!d->plugin_ || !d->plugin_->activate(true)) {
            ADD_FAILURE() << "directory not mounted: " << dir;
            return nullptr;
        }
        d->guest_ = std::make_unique<host::AtaGuest>(*d->plugin_);
        return d;
    }
    // The same drive with a configured geometry.
    static std::unique_ptr<Drive> configured(const fs::path &dir, VVFAT_Configuration cfg) {
        auto d = std::unique_ptr<Drive>(new Drive);
        std::string error;
        d->inProcess_ = host::InProcessDrive::mountDirectory(dir.string(), &cfg, error);
        if (!d->inProcess_) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        d->guest_ = std::make_unique<host::AtaGuest>(*d->inProcess_);
        return d;
    }

    host::AtaGuest &guest() { return *guest_; }
    host::PluginInstance *instance() { return plugin_.get(); }
    host::SectorReader reader() {
        return [this](uint64_t lba, uint32_t n, uint8_t *out) {
            return lba + n <= (1u << 28) && guest_->readLba(static_cast<uint32_t>(lba), n, out);
        };
    }
    host::SectorWriter writer() {
        return [this](uint64_t lba, uint32_t n, const uint8_t *in) {
            return lba + n <= (1u << 28) && guest_->writeLba(static_cast<uint32_t>(lba), n, in);
        };
    }
    void dump(const std::string &path, bool partitionOnly) {
        std::string error;
        ASSERT_TRUE(host::dumpImage(reader(), path, partitionOnly, error)) << error;
    }
    // Applies `image` over `base`; returns the sectors written.
    uint64_t apply(const std::string &image, const std::string &base, bool partitionOnly) {
        std::string error;
        uint64_t written = 0;
        EXPECT_TRUE(
            host::applyImage(reader(), writer(), image, base, partitionOnly, written, error))
            << error;
        return written;
    }
    // Ends the medium the way the emulator does (plug-in disabled), or unmounts the in-process
    // drive; the disk is written back here.
    void unmount() {
        if (plugin_)
            plugin_->activate(false);
        if (inProcess_)
            inProcess_->unmount();
    }

  private:
    Drive() = default;
    std::unique_ptr<host::PluginInstance> plugin_;
    std::unique_ptr<host::InProcessDrive> inProcess_;
    std::unique_ptr<host::AtaGuest> guest_;
};

// Runs an mtools command line with a UTF-8 locale, for long names.
inline testsupport::CommandResult tool(const std::string &command) {
    return testsupport::run("LC_ALL=C.UTF-8 " + command + " 2>&1");
}

// fsck.fat -n on a partition image; empty when clean, its output otherwise.
inline std::string fsckProblems(const std::string &partition) {
    auto r = testsupport::run("fsck.fat -n " + shellQuote(partition) + " 2>&1");
    return r.status == 0 ? std::string() : r.output;
}

// The whole tree of a partition image copied out with mcopy -s into `into`.
inline void copyOut(const std::string &partition, const fs::path &into) {
    fs::create_directories(into);
    auto r =
        tool("mcopy -s -n -i " + shellQuote(partition) + " '::/*' " + shellQuote(into.string()));
    // An empty disk has nothing to match.
    ASSERT_TRUE(r.status == 0 || fs::is_empty(into)) << r.output;
}

using Snapshot = std::vector<std::pair<std::string, std::string>>;

// Every difference between two trees, one line each; empty when they hold the same names, the
// same directories and the same bytes.
inline std::string treeDifferences(const fs::path &actual, const fs::path &expected) {
    const Snapshot a = testsupport::snapshotTree(actual), e = testsupport::snapshotTree(expected);
    std::map<std::string, std::string> want(e.begin(), e.end());
    std::string out;
    for (const auto &[name, contents] : a) {
        auto it = want.find(name);
        if (it == want.end())
            out += "unexpected " + name + "\n";
        else if (it->second != contents)
            out += "differs " + name + " (" + std::to_string(contents.size()) + " vs " +
                   std::to_string(it->second.size()) + " bytes)\n";
        if (it != want.end())
            want.erase(it);
    }
    for (const auto &entry : want)
        out += "missing " + entry.first + "\n";
    return out;
}

// Names, kinds, modes, sizes and modification times of everything below root: what "untouched"
// means for a directory.
inline std::map<std::string, std::string> statTree(const fs::path &root) {
    std::map<std::string, std::string> out;
    auto add = [&](const fs::path &p) {
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0)
            return;
        out[fs::relative(p, root).string()] =
            std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    };
    add(root);
    for (auto &entry : fs::recursive_directory_iterator(root))
        add(entry.path());
    return out;
}

inline mode_t modeOf(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

} // namespace e2e

#endif
