// tessel-host: loads the plug-in as the emulator does, with the tool types it would store, and
// acts as the guest through the port window.
#include "cli.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "disk_image.h"
#include "host.h"
#include "interrupt.h"
#include "output.h"
#include "vvfat.h"

namespace host {

namespace {

constexpr uint32_t SECTOR = 512;
constexpr uint64_t DRIVE_SECTORS = 251ull * 16 * 63;
constexpr uint64_t LBA28_LIMIT = 1ull << 28;
// Transfers of fewer sectors finish too quickly to be worth a progress line.
constexpr uint64_t PROGRESS_MIN = 2048;

const char *const USAGE =
    "usage: tessel-host [-t TOOLTYPE]... [--plugin PATH] [--quiet] COMMAND [ARGS]\n"
    "       tessel-host --version\n"
    "\n"
    "Loads Tessel.addonix as the emulator does, creates it with the tool types given\n"
    "(as the emulator stores them: -t DIRECTORY=/path, -t IMAGEFILE=/path/disk.img,\n"
    "-t MOUNTMODE=Directory|ImageFile, -t AUTOMOUNT, -t JOURNAL=OFF, -t WRITEBACK=OFF,\n"
    "-t TRASH=OFF, -t CHECKPOINT=SECONDS|OFF), enables it, and talks to the drive through the\n"
    "I/O ports 0xFD08-0xFD0F as a program on the emulated machine would (CHECKPOINT is the\n"
    "emulator's quiet period before it writes back while running; the commands here write back\n"
    "at unmount, or with apply --checkpoints). identify, read and dump never write back: a\n"
    "journal left by a session that did not end is shown on the disk they read and left for\n"
    "a mount that writes.\n"
    "An unknown tool type is an error that names the known ones.\n"
    "\n"
    "commands:\n"
    "  identify                 the drive's IDENTIFY DEVICE reply, decoded\n"
    "  read LBA [COUNT] [-o FILE]\n"
    "                           read sectors: hexdump to stdout, or raw into FILE\n"
    "  write LBA -i FILE        write FILE (whole sectors) from sector LBA on\n"
    "  dump IMAGE [--partition] [--geometry C,H,S,FAT]\n"
    "                           write the disk as a sparse raw image\n"
    "  apply IMAGE --base BASE [--partition] [--geometry C,H,S,FAT] [--dry-run]\n"
    "                           write the sectors where IMAGE differs from BASE, then\n"
    "                           unmount so the plug-in writes the changes back\n"
    "  prefs                    the tool types the plug-in exports, one per line\n"
    "  journal [--write-back | --discard --yes]\n"
    "                           whether the directory holds a journal of guest writes\n"
    "                           left by a session that did not end, and what it holds;\n"
    "                           or settle it: write it back, or discard it\n"
    "\n"
    "Results go to standard output; messages, the plug-in's included, to standard error.\n"
    "--quiet shows only errors (with the plug-in's lines that led to them).\n"
    "Without --plugin, Tessel.addonix is looked for beside tessel-host and where an\n"
    "installation puts it.\n"
    "\n"
    "tessel-host COMMAND --help describes a command.\n";

struct CommandHelp {
    const char *name;
    const char *text;
};

const CommandHelp COMMAND_HELP[] = {
    {"identify", "usage: tessel-host [-t TOOLTYPE]... identify\n"
                 "Sends IDENTIFY DEVICE and prints model, serial number, firmware revision,\n"
                 "geometry and sector count.\n"},
    {"read", "usage: tessel-host [-t TOOLTYPE]... read LBA [COUNT] [-o FILE]\n"
             "Reads COUNT sectors (default 1) from sector LBA (decimal or 0x hex) with READ\n"
             "SECTORS by LBA. Without -o, prints a hexdump addressed by byte offset on the\n"
             "drive; with -o, writes the raw sectors into FILE.\n"},
    {"write", "usage: tessel-host [-t TOOLTYPE]... write LBA -i FILE\n"
              "Writes FILE, a whole number of 512-byte sectors, from sector LBA on with WRITE\n"
              "SECTORS by LBA, then disables the plug-in, so a directory medium writes the\n"
              "changes back into its directory.\n"},
    {"dump", "usage: tessel-host [-t TOOLTYPE]... dump IMAGE [--partition] [--geometry C,H,S,FAT]\n"
             "Writes the drive as a sparse raw image. A directory medium is read only up to\n"
             "the last cluster in use (the rest stays a hole); an image medium is read whole.\n"
             "  --partition          write the FAT partition alone, without the MBR\n"
             "  --geometry C,H,S,FAT build the directory's disk with this geometry and FAT\n"
             "                       type (12, 16 or 32) instead of the automatic one\n"},
    {"apply",
     "usage: tessel-host [-t TOOLTYPE]... apply IMAGE --base BASE [--partition] [--geometry "
     "C,H,S,FAT] [--dry-run] [--checkpoints N]\n"
     "Writes every sector where IMAGE differs from BASE (an earlier dump with the same\n"
     "options), then unmounts so the plug-in writes the changes back. Refuses, writing\n"
     "nothing, when the drive no longer reads as BASE (the directory changed since), and\n"
     "when IMAGE or BASE lies inside the directory. Ctrl-C before the write-back has begun\n"
     "abandons the apply: nothing of it is written back and no journal of it is kept, so the\n"
     "directory stays as it was; once the write-back has begun, it is finished first. When\n"
     "the mount recovers a journal left by an earlier session by writing it back, that\n"
     "write-back is said to be the recovery's, not the apply's. Fails when a write-back\n"
     "reports objects it could not write back. Every write-back ends with a summary line\n"
     "(created, changed, renamed or moved, deleted, how many of the deleted and replaced\n"
     "went to the Trash when any did, not written back). What the write-back deletes, and\n"
     "the old version of what it replaces, go to the Trash of their volume, where a file\n"
     "manager can restore them; -t TRASH=OFF removes them instead.\n"
     "  --dry-run  say what the mount's recovery would do with a pending journal, then print\n"
     "             what the write-back would do (created, changed, renamed or moved, deleted,\n"
     "             kept and why, with the host's permissions and free space checked) and\n"
     "             change nothing; fails when it predicts objects not written back\n"
     "  --checkpoints N  split the writes into N rounds, each followed by a checkpoint that\n"
     "             writes back what the rounds so far changed while the disk stays mounted\n"},
    {"prefs", "usage: tessel-host [-t TOOLTYPE]... prefs\n"
              "Prints the tool types that the plug-in exports for the emulator to store.\n"},
    {"journal",
     "usage: tessel-host [-t TOOLTYPE]... journal\n"
     "Every sector the guest writes to a directory medium is also appended to a hidden\n"
     "journal in the directory (.vvfat-journal), made durable within a second; a completed\n"
     "write-back removes it. A journal left by a session that did not end (a crash, a kill,\n"
     "a power cut) is written back by the next mount that writes back, with the usual rules\n"
     "when the host changed the directory meanwhile; only the changes that session finished\n"
     "land, the host keeping its version of the others. This command\n"
     "says whether the directory holds a journal, which session wrote it, what it holds and\n"
     "what the next mount will do with it; it changes nothing. -t JOURNAL=OFF switches the\n"
     "journal off.\n"
     "  --write-back     settle it now: mount, recover it as the next mount would, and write\n"
     "                   it back\n"
     "  --discard --yes  delete it: the guest's writes it holds are lost for good\n"},
};

// Standard error, shared with the plug-in's lines and the progress line.
Console &console() {
    static Console c(STDERR_FILENO);
    return c;
}

// Where results go: the original standard output, which the tap keeps apart from the plug-in's
// printf lines.
FILE *results = stdout;
DiagnosticTap *tap = nullptr;
PluginDiagnostics *pluginLines = nullptr;

int fail(const std::string &message) {
    if (tap)
        tap->sync(); // the plug-in's lines that led here come first
    if (pluginLines)
        pluginLines->showHeld(); // quiet: an error brings them out
    console().line("tessel-host: " + message);
    return 1;
}

// "1 object", "2 objects".
std::string counted(uint64_t n, const char *noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

int usageError(const std::string &message) {
    console().line("tessel-host: " + message + " (try tessel-host --help)");
    return 2;
}

std::optional<uint64_t> parseNumber(const std::string &text) {
    const char *first = text.data();
    const char *last = first + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || end != last || first == last)
        return std::nullopt;
    return value;
}

bool parseGeometry(const std::string &text, VVFAT_Configuration &cfg, std::string &error) {
    std::vector<uint64_t> values;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        auto v = parseNumber(text.substr(start, comma - start));
        if (!v) {
            values.clear();
            break;
        }
        values.push_back(*v);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (values.size() != 4) {
        error = "--geometry wants C,H,S,FAT (four numbers), not '" + text + "'";
        return false;
    }
    if (values[0] < 1 || values[0] > 65535 || values[1] < 1 || values[1] > 255 || values[2] < 1 ||
        values[2] > 63 || (values[3] != 12 && values[3] != 16 && values[3] != 32)) {
        error = "--geometry out of range: cylinders 1-65535, heads 1-255, sectors 1-63, FAT 12, "
                "16 or 32";
        return false;
    }
    cfg.cylinders = static_cast<UWORD>(values[0]);
    cfg.heads = static_cast<UWORD>(values[1]);
    cfg.sectors_per_cylinder = static_cast<UWORD>(values[2]);
    cfg.type_of_fat = static_cast<UBYTE>(values[3]);
    return true;
}

// A progress line on standard error, only when a person is watching it.
Progress progressFor(const char *what, uint64_t total) {
    if (total < PROGRESS_MIN || !console().interactive())
        return {};
    return [what, last = uint64_t{0}](uint64_t done, uint64_t all) mutable {
        uint64_t percent = all ? done * 100 / all : 100;
        if (percent == last && done != all)
            return;
        last = percent;
        char text[160];
        std::snprintf(text, sizeof text, "%s: %3llu%% (%llu/%llu sectors)", what,
                      static_cast<unsigned long long>(percent),
                      static_cast<unsigned long long>(done), static_cast<unsigned long long>(all));
        console().status(text, done == all);
    };
}

SectorReader readerFor(AtaGuest &guest) {
    return [&guest](uint64_t lba, uint32_t count, uint8_t *out) {
        return lba + count <= LBA28_LIMIT && guest.readLba(static_cast<uint32_t>(lba), count, out);
    };
}

SectorWriter writerFor(AtaGuest &guest) {
    return [&guest](uint64_t lba, uint32_t count, const uint8_t *in) {
        return lba + count <= LBA28_LIMIT && guest.writeLba(static_cast<uint32_t>(lba), count, in);
    };
}

std::string ataString(const uint8_t *id, int firstWord, int words) {
    std::string s;
    for (int w = firstWord; w < firstWord + words; ++w) {
        s += static_cast<char>(id[w * 2 + 1]);
        s += static_cast<char>(id[w * 2]);
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

uint16_t word(const uint8_t *id, int w) {
    return static_cast<uint16_t>(id[w * 2] | id[w * 2 + 1] << 8);
}

void printIdentify(const uint8_t *id) {
    uint32_t lbaSectors = word(id, 60) | static_cast<uint32_t>(word(id, 61)) << 16;
    std::fprintf(results, "model:      %s\n", ataString(id, 27, 20).c_str());
    std::fprintf(results, "serial:     %s\n", ataString(id, 10, 10).c_str());
    std::fprintf(results, "firmware:   %s\n", ataString(id, 23, 4).c_str());
    std::fprintf(results, "geometry:   %u cylinders, %u heads, %u sectors per track\n", word(id, 1),
                 word(id, 3), word(id, 6));
    std::fprintf(results, "sectors:    %u (%llu bytes)\n", lbaSectors,
                 static_cast<unsigned long long>(lbaSectors) * SECTOR);
    std::fprintf(results, "lba:        %s\n", (word(id, 49) & 0x0200) ? "yes" : "no");
}

void hexdump(const uint8_t *data, size_t size, uint64_t address) {
    for (size_t off = 0; off < size; off += 16) {
        std::fprintf(results, "%08llx ", static_cast<unsigned long long>(address + off));
        for (size_t i = 0; i < 16; ++i)
            std::fprintf(results, "%s%02x", i == 8 ? "  " : " ", data[off + i]);
        std::fputs("  |", results);
        for (size_t i = 0; i < 16; ++i) {
            uint8_t c = data[off + i];
            std::fputc(c >= 0x20 && c < 0x7F ? c : '.', results);
        }
        std::fputs("|\n", results);
    }
}

bool writeWholeFile(const std::string &path, const std::vector<uint8_t> &data, std::string &error) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        error = "cannot write '" + path + "': " + std::strerror(errno);
    return ok;
}

bool readWholeFile(const std::string &path, std::vector<uint8_t> &data, std::string &error) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    data.clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok)
        error = "cannot read '" + path + "'";
    return ok;
}

struct Options {
    bool quiet = false;
    std::vector<std::string> toolTypes;
    std::string pluginPath;
    std::string command;
    std::vector<std::string> args;
};

// What the command's own arguments say.
struct CommandArgs {
    std::vector<std::string> positional;
    std::string output, input, base;
    bool partition = false;
    bool dryRun = false;
    uint64_t checkpoints = 0; // apply: rounds, each followed by a checkpoint
    bool writeBack = false, discard = false, yes = false; // journal
    bool hasGeometry = false;
    VVFAT_Configuration geometry{};
};

bool parseCommandArgs(const Options &o, CommandArgs &c, std::string &error) {
    auto takesValue = [&](const std::string &flag) {
        if (flag == "-o")
            return o.command == "read";
        if (flag == "-i")
            return o.command == "write";
        if (flag == "--base" || flag == "--checkpoints")
            return o.command == "apply";
        if (flag == "--geometry")
            return o.command == "dump" || o.command == "apply";
        return false;
    };
    for (size_t i = 0; i < o.args.size(); ++i) {
        const std::string &a = o.args[i];
        if (a == "--partition" && (o.command == "dump" || o.command == "apply")) {
            c.partition = true;
        } else if (a == "--dry-run" && o.command == "apply") {
            c.dryRun = true;
        } else if (a == "--write-back" && o.command == "journal") {
            c.writeBack = true;
        } else if (a == "--discard" && o.command == "journal") {
            c.discard = true;
        } else if (a == "--yes" && o.command == "journal") {
            c.yes = true;
        } else if (takesValue(a)) {
            if (i + 1 >= o.args.size()) {
                error = a + " needs a value";
                return false;
            }
            const std::string &v = o.args[++i];
            if (a == "-o")
                c.output = v;
            else if (a == "-i")
                c.input = v;
            else if (a == "--base")
                c.base = v;
            else if (a == "--checkpoints") {
                if (v.empty() || v.size() > 6 ||
                    v.find_first_not_of("0123456789") != std::string::npos || std::stoul(v) == 0) {
                    error = "--checkpoints needs a number of rounds from 1";
                    return false;
                }
                c.checkpoints = std::stoul(v);
            } else if (!parseGeometry(v, c.geometry, error))
                return false;
            else
                c.hasGeometry = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "' for " + o.command;
            return false;
        } else {
            c.positional.push_back(a);
        }
    }
    return true;
}

// The sectors an apply would write, counted by applying to nowhere.
uint64_t countApplied(const SectorReader &read, const CommandArgs &c, std::string &error) {
    uint64_t total = 0, written = 0;
    const SectorWriter count = [&](uint64_t, uint32_t n, const uint8_t *) {
        total += n;
        return true;
    };
    applyImage(read, count, c.positional[0], c.base, c.partition, written, error, {});
    return total;
}

// A writer that splits `total` sectors into `rounds` rounds and runs a checkpoint after each;
// a call with no sectors ends the last round.
SectorWriter checkpointRounds(const SectorWriter &write, InProcessDrive *drive, uint64_t total,
                              uint64_t rounds, uint64_t &failures) {
    if (!drive)
        return write;
    auto done = std::make_shared<uint64_t>(0);
    auto round = std::make_shared<uint64_t>(0);
    auto runCheckpoint = [drive, rounds, round, &failures] {
        const VVFAT_CheckpointResult r = drive->checkpoint();
        ++*round;
        static const char *const kinds[] = {"nothing to write back", "written back", "skipped",
                                            "failed"};
        std::string line = "checkpoint " + std::to_string(*round) + " of " +
                           std::to_string(rounds) + ": " + kinds[r.kind];
        if (r.kind == VVFAT_CheckpointResult::Done) {
            const std::string counts = VVFAT_WriteBackLine(r.counts);
            line += ":" + counts.substr(counts.find(':', counts.find(':') + 1) + 1);
            failures += r.counts.failed;
        } else if (!r.reason.empty()) {
            line += " (" + r.reason + ")";
        }
        std::fprintf(results, "%s\n", line.c_str());
        return true;
    };
    return [=](uint64_t lba, uint32_t n, const uint8_t *in) {
        if (n == 0)
            return *round < rounds ? runCheckpoint() : true;
        while (n > 0) {
            // The end of the current round, in sectors written; the last takes the rest.
            const uint64_t mark = *round + 1 >= rounds ? UINT64_MAX : total * (*round + 1) / rounds;
            const uint64_t room = mark > *done ? mark - *done : 0;
            const auto piece = static_cast<uint32_t>(std::min<uint64_t>(n, room));
            if (piece > 0) {
                if (!write(lba, piece, in))
                    return false;
                *done += piece;
                lba += piece;
                in += static_cast<size_t>(piece) * SECTOR;
                n -= piece;
            }
            if (*done >= mark)
                runCheckpoint();
        }
        return true;
    };
}

std::string settingOf(const std::vector<std::string> &prefs, const std::string &key) {
    for (const std::string &p : prefs)
        if (p.compare(0, key.size() + 1, key + "=") == 0)
            return p.substr(key.size() + 1);
    return {};
}

// The tool types that take a value.
const char *const VALUED_KEYS[] = {"DIRECTORY", "IMAGEFILE", "MOUNTMODE", "JOURNAL",   "WRITEBACK",
                                   "FATTYPE",   "DISKSIZE",  "TRASH",     "CHECKPOINT"};

// The key a tool type's name selects, as the plug-in reads it: a case-insensitive leading part
// of the key ("dir" is DIRECTORY), "(" comments out; empty when it selects none.
std::string keyOf(const std::string &toolType, std::string &value) {
    if (toolType.empty() || toolType[0] == '(')
        return {};
    size_t equals = toolType.find('=');
    std::string name = toolType.substr(0, equals);
    value = equals == std::string::npos ? std::string() : toolType.substr(equals + 1);
    auto selects = [&](const char *key) {
        return name.size() <= std::strlen(key) &&
               ::strncasecmp(name.c_str(), key, name.size()) == 0;
    };
    if (equals == std::string::npos)
        return selects("AUTOMOUNT") ? "AUTOMOUNT" : "";
    for (const char *key : VALUED_KEYS)
        if (selects(key))
            return key;
    return {};
}

// A tool type that selects no key: the plug-in would ignore it, and the user meant something.
std::string unknownToolType(const std::vector<std::string> &toolTypes) {
    for (const std::string &t : toolTypes) {
        std::string value;
        if (!t.empty() && t[0] == '(')
            continue; // commented out, as the emulator stores a switched-off tool type
        if (keyOf(t, value).empty()) {
            std::string known;
            for (const char *key : VALUED_KEYS)
                known += std::string(key) + "=..., ";
            return "unknown tool type '" + t + "'; the known ones are " + known + "AUTOMOUNT";
        }
    }
    return {};
}

// Settings the plug-in would take silently in a way the user cannot have meant: a mode it does
// not know, or an image file while the directory mode mounts the default directory.
std::string settingsMistake(const std::vector<std::string> &toolTypes) {
    bool imageMode = false, directory = false;
    std::string image;
    for (const std::string &t : toolTypes) {
        std::string value;
        std::string key = keyOf(t, value);
        if (key == "MOUNTMODE") {
            if (::strcasecmp(value.c_str(), "ImageFile") == 0)
                imageMode = true;
            else if (::strcasecmp(value.c_str(), "Directory") == 0)
                imageMode = false;
            else
                return "'" + t + "' is neither MOUNTMODE=Directory nor MOUNTMODE=ImageFile";
        } else if (key == "DIRECTORY") {
            directory = true;
        } else if ((key == "JOURNAL" || key == "WRITEBACK" || key == "TRASH") &&
                   ::strcasecmp(value.c_str(), "ON") != 0 &&
                   ::strcasecmp(value.c_str(), "OFF") != 0) {
            return "'" + t + "' is neither " + key + "=ON nor " + key + "=OFF";
        } else if (key == "CHECKPOINT" && ::strcasecmp(value.c_str(), "OFF") != 0 &&
                   (value.empty() || value.size() > 6 ||
                    value.find_first_not_of("0123456789") != std::string::npos)) {
            return "'" + t + "' is neither CHECKPOINT=OFF nor CHECKPOINT=<seconds>";
        } else if (key == "IMAGEFILE") {
            image = t;
        }
    }
    if (!image.empty() && !imageMode && !directory)
        return "'" + image + "' is used in image mode only: give -t MOUNTMODE=ImageFile (and -t " +
               "AUTOMOUNT to mount it); as it stands the default directory Share/ would be mounted";
    return {};
}

// Whether path (which may not exist yet) lies inside the directory dir.
bool liesInside(const std::string &path, const std::string &dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path d = fs::canonical(dir, ec);
    if (ec)
        return false;
    fs::path f = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec)
        return false;
    auto [inDir, inFile] = std::mismatch(d.begin(), d.end(), f.begin(), f.end());
    return inDir == d.end() && inFile != f.end();
}

// "1.4 MiB" and the like.
std::string humanBytes(uint64_t bytes) {
    const char *units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 5) {
        v /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
    return text;
}

// The status to exit with once the results are out: 1 when they could not all be written.
int finish(int status) {
    errno = 0;
    if (std::fflush(results) != 0 || std::ferror(results)) {
        const int error = errno;
        std::clearerr(results);
        return fail(std::string("cannot write the results: ") +
                    (error ? std::strerror(error) : "write error"));
    }
    return status;
}

// What the mount's recovery will do with the directory's journal, for a dry run; empty when
// there is none.
std::string recoveryForecast(const VVFAT_JournalState &j) {
    const std::string writes = counted(j.writes, "sector write");
    switch (j.kind) {
    case VVFAT_JournalState::None:
    case VVFAT_JournalState::DirectoryUnreadable:
        return {};
    case VVFAT_JournalState::Replayed:
        return "recovery: the mount writes the journal of " + j.session + " (" + writes +
               "), which did not end, back first: the changes it finished; the plan below "
               "writes that session back too";
    case VVFAT_JournalState::WrittenBack:
        return "recovery: the directory changed since " + j.session +
               ", which did not end: the mount writes its journal (" + writes +
               ") back first, with the usual rules; the plan below is made on that session's disk";
    case VVFAT_JournalState::Elsewhere:
        return "recovery: the journal was made by " + j.session +
               " for another directory: the mount sets it aside and writes nothing of it here";
    case VVFAT_JournalState::Finished:
        return "recovery: the journal's session was written back already: the mount removes it";
    case VVFAT_JournalState::InUse:
        return "recovery: the journal belongs to a session still running: the mount neither "
               "uses it nor keeps one";
    case VVFAT_JournalState::Damaged:
        if (j.holds_no_write)
            return "recovery: the journal holds no write (" + j.problem +
                   "): the mount replaces it";
        [[fallthrough]];
    default:
        return "recovery: the journal cannot be used" +
               (j.problem.empty() ? std::string() : " (" + j.problem + ")") +
               ": the mount leaves it as it is";
    }
}

// The journal of dir for a command that settles it, in state: -1 when there is one to settle,
// else the exit status (none: nothing to do, said so).
int readPendingJournal(const std::string &dir, const char *todo, VVFAT_JournalState &state) {
    if (!VVFAT_ReadJournalState(dir.c_str(), state))
        return fail("out of memory");
    if (state.kind == VVFAT_JournalState::DirectoryUnreadable)
        return fail("cannot open directory '" + dir + "' (" + state.problem + ")");
    if (state.kind == VVFAT_JournalState::None) {
        std::fprintf(results, "No journal in '%s': nothing to %s.\n", dir.c_str(), todo);
        return 0;
    }
    return -1;
}

// journal --discard: deletes a pending journal that no running session holds. The directory
// keeps its time: the journal is not the user's.
int discardJournal(const std::string &dir) {
    VVFAT_JournalState state{};
    if (const int settled = readPendingJournal(dir, "discard", state); settled >= 0)
        return settled;
    const std::string path = dir + "/.vvfat-journal";
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = dirFd < 0 ? -1
                             : ::openat(dirFd, ".vvfat-journal",
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    struct stat root {};
    std::string problem;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        problem = "'" + path + "' is not a journal file that can be opened; it is left as it is";
    else if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        problem = "the journal of '" + dir + "' belongs to a session still running; it stays";
    else if (::fstat(dirFd, &root) != 0 || ::unlinkat(dirFd, ".vvfat-journal", 0) != 0)
        problem = "cannot delete '" + path + "': " + std::strerror(errno);
    if (problem.empty()) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, root.st_mtim};
        ::futimens(dirFd, times);
        ::fsync(dirFd);
    }
    if (fd >= 0)
        ::close(fd);
    if (dirFd >= 0)
        ::close(dirFd);
    if (!problem.empty())
        return fail(problem);
    std::fprintf(results, "Discarded the journal '%s'%s.\n", path.c_str(),
                 state.session.empty()
                     ? ""
                     : (" (" + counted(state.writes, "sector write") + " of " + state.session + ")")
                           .c_str());
    return 0;
}

// journal --write-back: a mount that writes back and nothing else, so that the mount's recovery
// settles the journal (replayed and written back, written back, or set aside).
int writeBackJournal(PluginInstance &instance, const std::vector<std::string> &prefs,
                     const std::string &dir, PluginDiagnostics &diagnostics) {
    if (settingOf(prefs, "JOURNAL") == "OFF" || settingOf(prefs, "WRITEBACK") == "OFF")
        return usageError("journal --write-back needs the journal and the write-back on");
    VVFAT_JournalState state{};
    if (const int settled = readPendingJournal(dir, "write back", state); settled >= 0)
        return settled;
    {
        // The recovery may write back while it mounts: neither may be cut short.
        WriteBackGuard guard;
        PhaseStatus writingBack(console(), "writing the journal back into '" + dir + "'");
        instance.activate(true);
        instance.activate(false);
    }
    tap->sync();
    if (uint64_t lost = diagnostics.notWrittenBack(); lost > 0)
        return fail(counted(lost, "object") + (lost == 1 ? " was" : " were") +
                    " not written back into '" + dir + "' (see the VVFAT lines above)");
    VVFAT_JournalState after{};
    if (VVFAT_ReadJournalState(dir.c_str(), after) && after.kind != VVFAT_JournalState::None &&
        after.kind != VVFAT_JournalState::DirectoryUnreadable)
        return fail("the journal of '" + dir + "' is still there (see the VVFAT lines above)");
    return 0;
}

int runCommand(const Options &o) {
    CommandArgs c;
    std::string error;
    if (!parseCommandArgs(o, c, error))
        return usageError(error);

    size_t wantMin = 0, wantMax = 0;
    if (o.command == "read")
        wantMin = 1, wantMax = 2;
    else if (o.command == "write" || o.command == "dump" || o.command == "apply")
        wantMin = wantMax = 1;
    if (c.positional.size() < wantMin || c.positional.size() > wantMax)
        return usageError("wrong number of arguments for " + o.command);
    if (o.command == "write" && c.input.empty())
        return usageError("write needs -i FILE");
    if (o.command == "apply" && c.base.empty())
        return usageError("apply needs --base BASE");

    std::optional<uint64_t> lba, count = 1;
    if (o.command == "read" || o.command == "write") {
        lba = parseNumber(c.positional[0]);
        if (!lba)
            return usageError("bad sector number '" + c.positional[0] + "'");
        if (c.positional.size() > 1) {
            count = parseNumber(c.positional[1]);
            if (!count || *count == 0)
                return usageError("bad sector count '" + c.positional[1] + "'");
        }
    }
    std::vector<uint8_t> data;
    if (o.command == "write") {
        if (!readWholeFile(c.input, data, error))
            return fail(error);
        if (data.empty() || data.size() % SECTOR != 0)
            return fail("'" + c.input + "' is " + std::to_string(data.size()) +
                        " bytes, not a whole number of 512-byte sectors");
        count = data.size() / SECTOR;
    }
    if (lba && *lba + *count > LBA28_LIMIT)
        return fail("sectors beyond " + std::to_string(LBA28_LIMIT - 1) +
                    " cannot be addressed by LBA28");
    if (std::string unknown = unknownToolType(o.toolTypes); !unknown.empty())
        return usageError(unknown);
    if (o.command != "prefs") {
        std::string mistake = settingsMistake(o.toolTypes);
        if (!mistake.empty())
            return usageError(mistake);
    }
    if (c.writeBack && c.discard)
        return usageError("journal takes --write-back or --discard, not both");
    if (c.yes && !c.discard)
        return usageError("--yes goes with journal --discard");
    if (c.discard && !c.yes)
        return usageError("journal --discard deletes the guest's writes it holds for good; add "
                          "--yes to do it");
    if (o.quiet)
        console().quiet();

    installInterruptHandling();
    // Inspection reads the disk and never writes back, a pending journal's session included.
    const bool inspects = o.command == "identify" || o.command == "read" || o.command == "dump";
    std::vector<std::string> toolTypes = o.toolTypes;
    bool hideNoWriteBack = false;
    if (inspects && std::none_of(toolTypes.begin(), toolTypes.end(), [](const std::string &t) {
            std::string value;
            return keyOf(t, value) == "WRITEBACK";
        })) {
        toolTypes.push_back("WRITEBACK=OFF");
        hideNoWriteBack = true;
    }
    // The plug-in prints its diagnostics on standard output: they go to standard error, and
    // the write-back's closing line is looked at.
    PluginDiagnostics diagnostics(console());
    if (o.quiet)
        diagnostics.quiet();
    // Nothing is written by these commands: the plug-in's line that says so is not news.
    if (hideNoWriteBack)
        diagnostics.hide("is mounted without write-back");
    std::unique_ptr<DiagnosticTap> diagnosticTap =
        DiagnosticTap::start(std::ref(diagnostics), error);
    if (!diagnosticTap)
        return fail(error);
    results = diagnosticTap->results();
    tap = diagnosticTap.get();
    pluginLines = &diagnostics;
    struct Untap {
        ~Untap() {
            tap = nullptr;
            pluginLines = nullptr;
            results = stdout;
        }
    } untap;

    auto library = PluginLibrary::load(o.pluginPath, error);
    if (!library)
        return fail(error);
    auto instance = PluginInstance::create(*library, toolTypes, error);
    if (!instance)
        return fail(error);

    if (o.command == "prefs") {
        for (const std::string &p : instance->prefs())
            std::fprintf(results, "%s\n", p.c_str());
        return finish(0);
    }

    std::vector<std::string> prefs = instance->prefs();
    bool imageMode = settingOf(prefs, "MOUNTMODE") == "ImageFile";
    const std::string medium = settingOf(prefs, imageMode ? "IMAGEFILE" : "DIRECTORY");
    if (o.command == "journal") {
        if (imageMode)
            return fail("image media keep no journal: every sector is written to the image");
        if (c.discard)
            return finish(discardJournal(medium));
        if (c.writeBack)
            return finish(writeBackJournal(*instance, prefs, medium, diagnostics));
        VVFAT_JournalState state{};
        if (VVFAT_ReadJournalState(medium.c_str(), state) &&
            state.kind == VVFAT_JournalState::DirectoryUnreadable)
            return fail("cannot open directory '" + medium + "' (" + state.problem + ")");
        const int found = VVFAT_DescribeJournal(medium.c_str(), results);
        return finish(found < 0 ? 1 : 0);
    }
    if (o.command == "apply" && !imageMode) {
        // The disk would show the image itself, which changes with every dump and apply.
        for (const std::string &file : {c.positional[0], c.base})
            if (liesInside(file, medium))
                return fail("'" + file + "' lies inside the mounted directory '" + medium +
                            "', so the disk would hold the image itself; keep the images "
                            "outside the directory");
    }
    std::unique_ptr<InProcessDrive> inProcess;
    PortIO *io = instance.get();
    // An apply into a directory is abandoned cleanly when interrupted before its write-back:
    // its drive is built here so that it can end its session without one.
    const bool applying = o.command == "apply" && !imageMode && !c.dryRun;
    std::optional<DeferredInterrupts> deferral;
    if (applying)
        deferral.emplace("tessel-host: interrupted: the apply stops; nothing of it is written "
                         "back and no journal of it is kept");
    if (c.dryRun && !imageMode) {
        VVFAT_JournalState state{};
        if (VVFAT_ReadJournalState(medium.c_str(), state)) {
            std::string forecast = recoveryForecast(state);
            if (!forecast.empty() && settingOf(prefs, "JOURNAL") == "OFF")
                forecast = "recovery: the journal is off: the mount leaves the journal of an "
                           "earlier session as it is";
            if (!forecast.empty())
                std::fprintf(results, "%s\n", forecast.c_str());
        }
    }
    {
        PhaseStatus mounting(console(), "mounting '" + medium + "'");
        if (c.dryRun && imageMode)
            return fail("--dry-run applies to directory media only (an image is written as is)");
        // A dry run needs the disk itself, built the same way, to ask it what it would do.
        if (c.hasGeometry || c.dryRun || applying) {
            if (imageMode)
                return fail("--geometry applies to directory media only");
            // A dry run shows what the mount's recovery would do and plans on that disk,
            // writing nothing; so does inspection.
            const VVFAT_Options options{settingOf(prefs, "JOURNAL") != "OFF",
                                        !inspects && !c.dryRun &&
                                            settingOf(prefs, "WRITEBACK") != "OFF",
                                        settingOf(prefs, "TRASH") != "OFF", c.checkpoints > 0};
            // The disk the tool types ask for, as the plug-in builds it.
            VVFAT_Configuration requested{};
            const VVFAT_Configuration *geometry = c.hasGeometry ? &c.geometry : nullptr;
            const std::string fatType = settingOf(prefs, "FATTYPE");
            const std::string diskSize = settingOf(prefs, "DISKSIZE");
            if (!geometry && (!fatType.empty() || !diskSize.empty())) {
                if (diskSize.find_first_not_of("0123456789") != std::string::npos ||
                    diskSize.size() > 9)
                    return fail("the disk size '" + diskSize + "' is not a number of megabytes");
                if (!VVFAT_RequestedGeometry(
                        medium.c_str(), static_cast<UBYTE>(std::atoi(fatType.c_str())),
                        static_cast<ULONG>(std::atol(diskSize.c_str())), requested))
                    return fail("the disk the tool types ask for cannot be made");
                geometry = &requested;
            }
            inProcess = InProcessDrive::mountDirectory(medium, geometry, options, error);
            if (!inProcess)
                return fail(error);
            io = inProcess.get();
        } else {
            instance->activate(true);
        }
    }
    // A journal the mount recovered by writing it back: that write-back is an earlier session's.
    tap->sync();
    const std::optional<uint64_t> recoveryLost = diagnostics.takeNotWrittenBack();
    if (recoveryLost)
        console().line("tessel-host: the mount found a journal left by an earlier session that "
                       "did not end, and wrote that session back into '" +
                       medium + "' (the write-back line above is the recovery's, not this " +
                       o.command + "'s)");
    // Ends an interrupted or refused apply: its session is abandoned, nothing written back.
    auto abandonApply = [&] {
        inProcess->abandon();
        inProcess->unmount();
        tap->sync();
    };
    if (applying && interrupted()) {
        abandonApply();
        fail("interrupted: the apply was abandoned before it wrote any sector; '" + medium +
             "' is as the mount left it");
        endAsInterrupted();
    }
    AtaGuest guest(*io);
    bool mounted = guest.status() & 0x40; // DRDY: a reset with a medium
    int status = 0;

    if (o.command == "identify") {
        uint8_t id[SECTOR];
        if (!guest.identify(id))
            status = fail("the drive did not answer IDENTIFY DEVICE");
        else {
            printIdentify(id);
            std::fprintf(results, "medium:     %s\n", mounted ? "mounted" : "none");
        }
    } else if (!mounted) {
        status = fail(imageMode ? "no image mounted (check IMAGEFILE, and give -t AUTOMOUNT)"
                                : "no directory mounted (check DIRECTORY)");
    } else if (o.command == "read") {
        data.resize(*count * SECTOR);
        auto progress = progressFor("read", *count);
        SectorReader read = readerFor(guest);
        for (uint64_t done = 0; done < *count && status == 0;) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(256, *count - done));
            if (!read(*lba + done, n, &data[done * SECTOR]))
                status =
                    fail("the drive reported an error reading sectors " +
                         std::to_string(*lba + done) + "-" + std::to_string(*lba + done + n - 1));
            done += n;
            if (progress)
                progress(done, *count);
        }
        if (status == 0) {
            if (c.output.empty())
                hexdump(data.data(), data.size(), *lba * SECTOR);
            else if (!writeWholeFile(c.output, data, error))
                status = fail(error);
        }
    } else if (o.command == "write") {
        auto progress = progressFor("write", *count);
        SectorWriter write = writerFor(guest);
        for (uint64_t done = 0; done < *count && status == 0;) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(256, *count - done));
            if (!write(*lba + done, n, &data[done * SECTOR]))
                status =
                    fail("the drive reported an error writing sectors " +
                         std::to_string(*lba + done) + "-" + std::to_string(*lba + done + n - 1));
            done += n;
            if (progress)
                progress(done, *count);
        }
    } else if (o.command == "dump") {
        const std::string &path = c.positional[0];
        PhaseStatus dumping(console(), "reading the disk's layout"); // until the copy starts
        bool ok;
        if (imageMode && !c.partition)
            ok = dumpSectors(readerFor(guest), path, DRIVE_SECTORS, error,
                             progressFor("dump", DRIVE_SECTORS));
        else
            ok = dumpImage(readerFor(guest), path, c.partition, error,
                           progressFor("dump", PROGRESS_MIN));
        struct stat st {};
        if (!ok)
            status = fail(error);
        else if (::stat(path.c_str(), &st) == 0)
            std::fprintf(results, "wrote '%s': %s in use, apparent size %s\n", path.c_str(),
                         humanBytes(static_cast<uint64_t>(st.st_blocks) * 512).c_str(),
                         humanBytes(static_cast<uint64_t>(st.st_size)).c_str());
    } else if (o.command == "apply") {
        PhaseStatus comparing(console(), "comparing the images"); // until the sectors move
        uint64_t written = 0;
        SectorWriter write = writerFor(guest);
        // Stops at the next command when interrupted: the session is then abandoned whole.
        SectorWriter stoppable = [&](uint64_t lba, uint32_t n, const uint8_t *in) {
            return !(applying && interrupted()) && write(lba, n, in);
        };
        uint64_t checkpointFailures = 0;
        const bool checkpoints = c.checkpoints > 0 && applying;
        SectorWriter rounds =
            checkpointRounds(stoppable, checkpoints ? inProcess.get() : nullptr,
                             checkpoints ? countApplied(readerFor(guest), c, error) : 0,
                             c.checkpoints, checkpointFailures);
        bool applied = applyImage(readerFor(guest), rounds, c.positional[0], c.base, c.partition,
                                  written, error, progressFor("apply", PROGRESS_MIN));
        if (applied && checkpoints)
            applied = rounds(0, 0, nullptr); // the last round's checkpoint
        if (checkpointFailures > 0)
            status = fail(counted(checkpointFailures, "object") +
                          " not written back by the checkpoints");
        if (applying && interrupted()) {
            abandonApply();
            fail("interrupted: the apply was abandoned; nothing of it was written into '" + medium +
                 "' and no journal of it is kept");
            endAsInterrupted();
        }
        if (!applied)
            status = fail(error);
        else if (!c.dryRun)
            std::fprintf(results, "%s written\n", counted(written, "sector").c_str());
        if (status == 0 && c.dryRun) {
            tap->sync();
            std::fflush(results);
            const VVFAT_WriteBackCounts predicted = inProcess->dryRun(results);
            if (predicted.failed > 0)
                status = fail("the write-back would leave " + counted(predicted.failed, "object") +
                              " not written back (see the plan)");
        }
        // Refused: the session ends as it began, an earlier session's journal left as it was.
        if (applying && status != 0)
            abandonApply();
    }

    // Unmounting writes a directory medium back; once that has begun it must end, or the
    // directory would be left half written.
    std::fflush(results); // what is done is shown before the wait
    {
        std::optional<WriteBackGuard> guard;
        if (!imageMode)
            guard.emplace();
        // From the guard on, an interrupt is refused; one that came just before it still stops
        // the apply.
        if (applying && interrupted()) {
            guard.reset();
            abandonApply();
            fail("interrupted: the apply was abandoned; nothing of it was written into '" + medium +
                 "' and no journal of it is kept");
            endAsInterrupted();
        }
        deferral.reset();
        PhaseStatus writingBack(console(), imageMode ? "closing '" + medium + "'"
                                                     : "writing back into '" + medium + "'");
        if (inProcess)
            inProcess->unmount();
        else
            instance->activate(false);
    }
    tap->sync();
    if (recoveryLost.value_or(0) > 0)
        status = fail(counted(*recoveryLost, "object") +
                      (*recoveryLost == 1 ? " of the earlier session was"
                                          : " of the earlier "
                                            "session were") +
                      " not written back into '" + medium + "' by the mount's recovery");
    if (uint64_t lost = diagnostics.takeNotWrittenBack().value_or(0); lost > 0)
        status = fail(counted(lost, "object") + (lost == 1 ? " was" : " were") +
                      " not written back into '" + medium + "' (see the VVFAT lines above)");
    return finish(status);
}

} // namespace

int runCli(int argc, char **argv) {
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("tessel-host %s\n", TESSEL_VERSION);
            return 0;
        }
        if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "-t" || a == "--plugin") {
            if (i + 1 >= argc)
                return usageError(a + " needs a value");
            (a == "-t" ? o.toolTypes.emplace_back() : o.pluginPath) = argv[++i];
        } else if (a.size() > 2 && a.compare(0, 2, "-t") == 0) {
            o.toolTypes.push_back(a.substr(2));
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        } else {
            break;
        }
    }
    if (i >= argc)
        return usageError("no command given");
    o.command = argv[i++];
    const CommandHelp *help = nullptr;
    for (const CommandHelp &h : COMMAND_HELP)
        if (o.command == h.name)
            help = &h;
    if (!help)
        return usageError("unknown command '" + o.command + "'");
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(help->text, stdout);
            return 0;
        }
        o.args.push_back(a);
    }
    return runCommand(o);
}

} // namespace host
