// What the write-back deletes, and the old version of what it replaces, go to the user's trash,
// where a file manager finds them with their original path: driven end to end by tessel-host,
// with mtools as the guest on a dump of the disk.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "support/fat_writer.h"
#include "support/guest_session.h"
#include "support/test_support.h"
#include "vvfat/writeback/writeback.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// A share, a home trash of its own, and the guest's session on a dump through tessel-host.
struct Session {
    TempDir work;
    fs::path share = work.path() / "share";
    fs::path data = work.path() / "data"; // XDG_DATA_HOME
    fs::path image = work.path() / "new.img", base = work.path() / "base.img";

    Session() {
        fs::create_directories(share);
        fs::create_directories(data);
    }
    std::string host(const std::string &args) const {
        return "XDG_DATA_HOME=" + shellQuote(data.string()) + " " + shellQuote(TESSEL_HOST_PATH) +
               " -t DIRECTORY=" + shellQuote(share.string()) + " " + args;
    }
    void dump() {
        auto r = run(host("dump " + shellQuote(base.string()) + " --partition 2>&1"));
        ASSERT_EQ(r.status, 0) << r.output;
        // The dump is sparse: copied as such.
        r = run("cp --sparse=always " + shellQuote(base.string()) + " " +
                shellQuote(image.string()));
        ASSERT_EQ(r.status, 0) << r.output;
    }
    void guest(const std::string &command, const std::string &args) {
        auto r = run(command + " -i " + shellQuote(image.string()) + " " + args + " 2>&1");
        ASSERT_EQ(r.status, 0) << command << " " << args << "\n" << r.output;
    }
    CommandResult apply(const std::string &toolTypes = "") {
        return run(host(toolTypes + " apply " + shellQuote(image.string()) + " --base " +
                        shellQuote(base.string()) + " --partition 2>&1"));
    }
};

std::string percentDecoded(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A trash entry as a file manager reads it: its info file checked, its Path= decoded.
struct Entry {
    fs::path file;
    std::string original;
};
std::map<std::string, Entry> readTrash(const fs::path &trash) {
    std::map<std::string, Entry> out;
    if (!fs::exists(trash / "info"))
        return out;
    for (const auto &info : fs::directory_iterator(trash / "info")) {
        const std::string name = info.path().filename().string();
        EXPECT_EQ(info.path().extension(), ".trashinfo") << name;
        const std::string text = readFile(info.path());
        EXPECT_EQ(text.rfind("[Trash Info]\n", 0), 0u) << text;
        const size_t path = text.find("\nPath="), date = text.find("\nDeletionDate=");
        EXPECT_NE(path, std::string::npos) << text;
        EXPECT_NE(date, std::string::npos) << text;
        if (path == std::string::npos || date == std::string::npos)
            continue;
        const std::string encoded = text.substr(path + 6, text.find('\n', path + 1) - path - 6);
        EXPECT_EQ(encoded.find_first_of(" #?\t"), std::string::npos) << "not encoded: " << encoded;
        struct tm when {};
        const std::string stamp = text.substr(date + 14, text.find('\n', date + 1) - date - 14);
        const char *end = strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &when);
        EXPECT_TRUE(end && *end == '\0') << stamp;
        when.tm_isdst = -1;
        EXPECT_LT(std::abs(std::difftime(std::time(nullptr), std::mktime(&when))), 600) << stamp;
        const std::string entry = name.substr(0, name.size() - 10);
        EXPECT_TRUE(fs::exists(fs::symlink_status(trash / "files" / entry))) << entry;
        out[entry] = {trash / "files" / entry, percentDecoded(encoded)};
    }
    return out;
}

TEST(Trash, DeletedAndReplacedObjectsCanBeRestoredFromTheTrash) {
    Session s;
    writeFile(s.share / "a.txt", "alpha");
    writeFile(s.share / "my notes #1.txt", "notes");
    writeFile(s.share / "r.txt", "old version");
    writeFile(s.share / "keep.txt", "kept");
    fs::create_directories(s.share / "folder" / "sub");
    writeFile(s.share / "folder" / "x.txt", "x");
    writeFile(s.share / "folder" / "sub" / "y.txt", patternBytes(9000, 1));
    fs::create_directories(s.share / "other");
    writeFile(s.share / "other" / "a.txt", "other alpha");
    writeFile(s.work.path() / "r.txt", "new version");
    ASSERT_NO_FATAL_FAILURE(s.dump());
    s.guest("mdel", "::/a.txt ::/other/a.txt '::/my notes #1.txt'");
    s.guest("mdeltree", "::/folder");
    s.guest("mcopy -o", shellQuote((s.work.path() / "r.txt").string()) + " ::/r.txt");

    auto r = s.apply();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("1 changed, 0 renamed or moved, 7 deleted, 8 moved to the Trash, 0 "
                            "not written back."),
              std::string::npos)
        << r.output;
    EXPECT_EQ(readFile(s.share / "r.txt"), "new version");
    EXPECT_EQ(readFile(s.share / "keep.txt"), "kept");
    EXPECT_FALSE(fs::exists(s.share / "folder"));

    auto trash = readTrash(s.data / "Trash");
    const std::string root = fs::canonical(s.share).string();
    // Two a.txt: the second takes a free name, as file managers do.
    ASSERT_EQ(trash.size(), 5u) << r.output;
    ASSERT_TRUE(trash.count("a.txt") && trash.count("a.txt.2"));
    std::map<std::string, std::string> byOriginal;
    for (const auto &[name, e] : trash)
        byOriginal[e.original] = name;
    for (const char *original : {"/a.txt", "/other/a.txt", "/my notes #1.txt", "/r.txt", "/folder"})
        EXPECT_TRUE(byOriginal.count(root + original)) << original;
    EXPECT_EQ(readFile(trash[byOriginal[root + "/r.txt"]].file), "old version");
    // The folder went whole, what it held under its own names.
    const fs::path folder = trash["folder"].file;
    EXPECT_EQ(readFile(folder / "x.txt"), "x");
    EXPECT_EQ(readFile(folder / "sub" / "y.txt"), patternBytes(9000, 1));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);

    // Restored as a file manager does: renamed back to the path its info gives.
    for (const auto &[name, e] : trash) {
        if (e.original == root + "/r.txt")
            continue; // its name holds the new version
        ASSERT_FALSE(fs::exists(e.original)) << e.original;
        fs::rename(e.file, e.original);
    }
    EXPECT_EQ(readFile(s.share / "a.txt"), "alpha");
    EXPECT_EQ(readFile(s.share / "other" / "a.txt"), "other alpha");
    EXPECT_EQ(readFile(s.share / "my notes #1.txt"), "notes");
    EXPECT_EQ(readFile(s.share / "folder" / "sub" / "y.txt"), patternBytes(9000, 1));
}

// Without a journal nothing undoes a write-back: what it deletes goes to the trash at once,
// never waiting under a hidden name that a kill would leave behind.
TEST(Trash, WithoutAJournalObjectsGoToTheTrashAtOnce) {
    Session s;
    writeFile(s.share / "a.txt", "alpha");
    writeFile(s.share / "r.txt", "old version");
    fs::create_directories(s.share / "folder");
    writeFile(s.share / "folder" / "x.txt", "x");
    writeFile(s.work.path() / "r.txt", "new version");
    ASSERT_NO_FATAL_FAILURE(s.dump());
    s.guest("mdel", "::/a.txt");
    s.guest("mdeltree", "::/folder");
    s.guest("mcopy -o", shellQuote((s.work.path() / "r.txt").string()) + " ::/r.txt");
    auto r = s.apply("-t JOURNAL=OFF");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("3 deleted, 4 moved to the Trash, 0 not written back."),
              std::string::npos)
        << r.output;
    EXPECT_EQ(readFile(s.share / "r.txt"), "new version");
    for (const auto &e : fs::recursive_directory_iterator(s.share))
        EXPECT_EQ(e.path().filename().string().rfind(".vvfat-", 0), std::string::npos) << e.path();
    const std::string root = fs::canonical(s.share).string();
    std::map<std::string, fs::path> byOriginal;
    for (const auto &[name, e] : readTrash(s.data / "Trash"))
        byOriginal[e.original] = e.file;
    ASSERT_EQ(byOriginal.size(), 4u) << r.output;
    EXPECT_EQ(readFile(byOriginal[root + "/a.txt"]), "alpha");
    EXPECT_EQ(readFile(byOriginal[root + "/r.txt"]), "old version");
    EXPECT_EQ(readFile(byOriginal[root + "/folder/x.txt"]), "x");
    EXPECT_TRUE(fs::is_directory(byOriginal[root + "/folder"]));
}

TEST(Trash, SwitchedOffTheWriteBackRemovesAsBefore) {
    Session s;
    writeFile(s.share / "a.txt", "alpha");
    writeFile(s.share / "r.txt", "old");
    writeFile(s.work.path() / "r.txt", "new");
    ASSERT_NO_FATAL_FAILURE(s.dump());
    s.guest("mdel", "::/a.txt");
    s.guest("mcopy -o", shellQuote((s.work.path() / "r.txt").string()) + " ::/r.txt");
    auto r = s.apply("-t TRASH=OFF");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("1 changed, 0 renamed or moved, 1 deleted, 0 not written back."),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(s.share / "a.txt"));
    EXPECT_EQ(readFile(s.share / "r.txt"), "new");
    EXPECT_TRUE(readTrash(s.data / "Trash").empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(s.share), fs::directory_iterator()), 1);
}

TEST(Trash, ATrashThatCannotBeUsedLeavesTheWriteBackAsWithoutIt) {
    Session s;
    writeFile(s.share / "a.txt", "alpha");
    fs::create_directories(s.share / "folder");
    writeFile(s.share / "folder" / "x.txt", "x");
    writeFile(s.data / "Trash", "a file where the trash would be");
    ASSERT_NO_FATAL_FAILURE(s.dump());
    s.guest("mdel", "::/a.txt");
    s.guest("mdeltree", "::/folder");
    auto r = s.apply();
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("3 objects could not go to the Trash (Not a directory) and were "
                            "removed."),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("3 deleted, 0 not written back."), std::string::npos) << r.output;
    EXPECT_TRUE(fs::is_empty(s.share));
}

// A volume of its own (the tmpfs at /dev/shm) keeps its trash at its top, not in the home.
TEST(Trash, AnotherVolumeHasItsTrashAtItsTop) {
    struct stat shm, tmp;
    const std::string uid = std::to_string(geteuid());
    const fs::path topTrash = "/dev/shm/.Trash-" + uid;
    if (stat("/dev/shm", &shm) != 0 || access("/dev/shm", W_OK) != 0 ||
        stat(fs::temp_directory_path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev ||
        fs::exists(topTrash))
        GTEST_SKIP() << "needs a writable /dev/shm on a volume of its own, without " << topTrash;
    const std::string home = homeTrashPath();
    EXPECT_EQ(chooseTrash(fs::temp_directory_path().string(), tmp.st_dev), home);
    char templ[] = "/dev/shm/tessel-trash-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ));
    const fs::path dir = templ;
    fs::create_directories(dir / "deep");
    EXPECT_EQ(volumeTop((dir / "deep").string(), shm.st_dev), "/dev/shm");
    EXPECT_EQ(chooseTrash((dir / "deep").string(), shm.st_dev), topTrash.string());

    Session s;
    fs::remove_all(s.share);
    fs::create_directory_symlink(dir, s.share);
    writeFile(dir / "deep" / "a.txt", "alpha");
    ASSERT_NO_FATAL_FAILURE(s.dump());
    s.guest("mdel", "::/deep/a.txt");
    auto r = s.apply();
    EXPECT_EQ(r.status, 0) << r.output;
    auto trash = readTrash(topTrash);
    std::error_code ec;
    fs::remove_all(topTrash, ec);
    fs::remove_all(dir, ec);
    ASSERT_EQ(trash.size(), 1u) << r.output;
    // The path the user mounted, through its link.
    EXPECT_EQ(trash.begin()->second.original, s.share.string() + "/deep/a.txt");
    EXPECT_TRUE(readTrash(s.data / "Trash").empty());
}

// A share that is a volume of its own (a card) holds that volume's trash at its top: the guest
// never sees it, and cannot make an entry of that name.
TEST(Trash, TheTrashAtTheTopOfTheShareIsNotShown) {
    Session s;
    if (mount("tessel-test", s.share.c_str(), "tmpfs", 0, "size=16m") != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("mount a volume: " << std::strerror(errno));
    struct Unmount {
        fs::path p;
        ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
    } unmount{s.share};
    writeFile(s.share / "a.txt", "alpha");
    writeFile(s.share / "b.txt", "beta");
    ASSERT_NO_FATAL_FAILURE(s.dump());
    s.guest("mdel", "::/a.txt");
    auto r = s.apply();
    EXPECT_EQ(r.status, 0) << r.output;
    const fs::path top = s.share / (".Trash-" + std::to_string(geteuid()));
    ASSERT_EQ(readTrash(top).size(), 1u) << r.output;

    ASSERT_NO_FATAL_FAILURE(s.dump());
    const auto listing = run("mdir -a -b -i " + shellQuote(s.image.string()) + " ::/ 2>&1");
    EXPECT_EQ(listing.output.find("Trash"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("b.txt"), std::string::npos) << listing.output;
    s.guest("mmd", "::/.Trash-" + std::to_string(geteuid()) + " ::/.Trash");
    r = s.apply();
    EXPECT_NE(r.output.find("cannot be used on the host"), std::string::npos) << r.output;
    EXPECT_EQ(readTrash(top).size(), 1u);
    EXPECT_FALSE(fs::exists(s.share / ".Trash"));
}

// ---- In process, where host calls can be made to fail.

// A disk of the share with the trash on and the home trash under data; unset on destruction.
struct TrashDisk {
    fs::path share, data;
    VVFAT *v;
    TrashDisk(const fs::path &shareDir, const fs::path &dataDir, BOOL journal)
        : share(shareDir), data(dataDir) {
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        v = VVFAT_CreateWithOptions(share.c_str(), nullptr,
                                    {.journal = journal, .write_back = TRUE, .trash = TRUE});
    }
    ~TrashDisk() {
        VVFAT_Destroy(v);
        unsetenv("XDG_DATA_HOME");
    }
    FatWriter writer() { return FatWriter(readerFor(v), writerFor(v), fatStampOf(1600000000)); }
    // Unmounts; the write-back's counts.
    VVFAT_WriteBackCounts unmount() {
        ReportCapture capture;
        VVFAT_Destroy(v);
        v = nullptr;
        EXPECT_EQ(capture.writeBacks.size(), 1u) << capture.text();
        return capture.writeBacks.empty() ? VVFAT_WriteBackCounts{} : capture.writeBacks.back();
    }
};

// Without a journal the old version is linked into the trash before the new one is renamed
// over it: when that rename fails, the old version stays the file, and the trash gives its
// second name back.
TEST(Trash, AReplacementThatFailsLeavesNothingInTheTrash) {
    TempDir work;
    const fs::path share = work.path() / "share", data = work.path() / "data";
    fs::create_directories(share);
    writeFile(share / "r.txt", "old version");
    TrashDisk d(share, data, FALSE);
    ASSERT_TRUE(d.v);
    FatWriter w = d.writer();
    ASSERT_TRUE(w.mount()) << w.error();
    ASSERT_TRUE(w.writeFile("/r.txt", "new version")) << w.error();
    ASSERT_TRUE(w.flush()) << w.error();
    DosFaultArm(DOS_FAULT_RENAME, 2, EIO, TRUE); // the link goes, the renames fail
    const VVFAT_WriteBackCounts counts = d.unmount();
    DosFaultReset();
    EXPECT_EQ(counts.failed, 1u);
    EXPECT_EQ(counts.changed, 0u);
    EXPECT_EQ(counts.trashed, 0u);
    EXPECT_EQ(readFile(share / "r.txt"), "old version");
    struct stat st {};
    ASSERT_EQ(stat((share / "r.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_TRUE(readTrash(data / "Trash").empty());
}

// Names a file manager must read back byte for byte: a newline, a percent sign, a name that is
// not UTF-8, and two that differ only in what the trash's own name cuts off.
TEST(Trash, OddNamesAreRecordedSoThatTheyRestore) {
    TempDir work;
    const fs::path share = work.path() / "share", data = work.path() / "data";
    const std::string longName(230, 'n');
    const std::vector<std::string> names{"a\nb.txt", "100%.txt", "caf\xE9.txt", longName + "1",
                                         longName + "2"};
    fs::create_directories(share / "odd");
    for (const std::string &name : names)
        writeFile(share / "odd" / name, name);
    TrashDisk d(share, data, FALSE);
    ASSERT_TRUE(d.v);
    FatWriter w = d.writer();
    ASSERT_TRUE(w.mount()) << w.error();
    ASSERT_TRUE(w.removeTree("/odd")) << w.error();
    ASSERT_TRUE(w.flush()) << w.error();
    const VVFAT_WriteBackCounts counts = d.unmount();
    EXPECT_EQ(counts.trashed, names.size() + 1);
    std::map<std::string, fs::path> byOriginal;
    for (const auto &[entry, e] : readTrash(data / "Trash"))
        byOriginal[e.original] = e.file;
    const std::string root = fs::canonical(share).string();
    ASSERT_EQ(byOriginal.size(), names.size() + 1);
    for (const std::string &name : names) {
        const std::string original = root + "/odd/" + name;
        ASSERT_TRUE(byOriginal.count(original)) << original;
        EXPECT_EQ(readFile(byOriginal[original]), name);
    }
}

// What a dry run says would go to the trash is what the apply after it puts there: deletions
// (a folder with all it holds), old versions replaced in place or under a new name, a file
// renamed over another; with and without a journal, with the trash off or unusable. The dry
// run makes no trash of its own.
TEST(Trash, TheDryRunPredictsWhatGoesToTheTrash) {
    // The count of the plan's closing line, of the write-back's closing line.
    auto planned = [](const std::string &out) {
        const size_t line = out.find("VVFAT: write-back plan: ");
        const size_t end = out.find('\n', line);
        const size_t at = out.find(" to move to the Trash", line);
        if (line == std::string::npos || at == std::string::npos || at > end)
            return 0ul;
        return std::stoul(out.substr(out.rfind(' ', at - 1) + 1));
    };
    auto done = [](const std::string &out) {
        const size_t at = out.find("VVFAT: write-back: ");
        const auto counts = VVFAT_ParseWriteBackLine(out.substr(at, out.find('\n', at) - at));
        return counts ? static_cast<unsigned long>(counts->trashed) : ~0ul;
    };
    struct Case {
        const char *toolTypes;
        bool unusable;
        unsigned long expected;
    };
    for (const Case &k : {Case{"", false, 8}, Case{"-t JOURNAL=OFF", false, 8},
                          Case{"-t TRASH=OFF", false, 0}, Case{"", true, 0}}) {
        SCOPED_TRACE(std::string(k.toolTypes) + (k.unusable ? " unusable trash" : ""));
        Session s;
        fs::create_directories(s.share / "folder" / "sub");
        for (const char *name : {"a.txt", "b.txt", "c.txt", "r.txt", "m.txt", "folder/x.txt"})
            writeFile(s.share / name, std::string("old ") + name);
        writeFile(s.share / "folder" / "sub" / "y.txt", patternBytes(9000, 1));
        writeFile(s.work.path() / "new.txt", "new version");
        if (k.unusable)
            writeFile(s.data / "Trash", "a file where the trash would be");
        ASSERT_NO_FATAL_FAILURE(s.dump());
        s.guest("mdel", "::/a.txt ::/c.txt");
        s.guest("mren", "::/b.txt ::/c.txt");
        s.guest("mdeltree", "::/folder");
        const std::string fresh = shellQuote((s.work.path() / "new.txt").string());
        s.guest("mcopy -o", fresh + " ::/r.txt");
        s.guest("mren", "::/m.txt ::/moved.txt");
        s.guest("mcopy -o", fresh + " ::/moved.txt");

        const std::string apply = " apply " + shellQuote(s.image.string()) + " --base " +
                                  shellQuote(s.base.string()) + " --partition";
        auto dry = run(s.host(k.toolTypes + apply + " --dry-run 2>&1"));
        ASSERT_EQ(dry.status, 0) << dry.output;
        EXPECT_EQ(fs::exists(s.data / "Trash"), k.unusable) << "the dry run made the trash";
        auto real = run(s.host(k.toolTypes + apply + " 2>&1"));
        ASSERT_EQ(real.status, 0) << real.output;
        EXPECT_EQ(planned(dry.output), done(real.output)) << dry.output << real.output;
        EXPECT_EQ(done(real.output), k.expected) << real.output;
    }
}

} // namespace
