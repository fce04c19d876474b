// The write-back, tested differentially. A seed gives a small host tree and a sequence of guest
// operations. A FAT writer applies the operations to the virtual disk (our own writer in-process,
// or mtools on a dump whose changed sectors are then written back), ordinary file operations
// apply them to a copy of the tree, and after the write-back the two trees must be identical
// while every host object the guest left alone keeps its stat. Every entry is stamped with one
// fixed date, as a guest without a clock writes it.
//
// One seed:   TESSEL_DIFF_SEED=N [TESSEL_DIFF_WRITER=own|own83|mtools] [TESSEL_DIFF_FAT=12|16|32]
//             writeback_diff_test --gtest_filter=WritebackDiffTool.Seed
// Long run:   scripts/diff-writeback.sh SECONDS [--writer own|own83|mtools] [--checkpoints]
// With TESSEL_DIFF_CHECKPOINTS=1 (--checkpoints), our writer's sessions run checkpoints between
// and inside operations.
// own83 is our writer in its 8.3 mode: a guest that knows only short names, which cannot say
// case and leaves the long-name entries of old names behind.
// A failing seed is shrunk to a short case printed as an entry of kRegressions below.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <iostream>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "host/disk_image.h"
#include "support/fat_writer.h"
#include "support/vvfat_disk.h"

using testsupport::contentsTree;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// The one moment every guest stamp and every host file of the tree carry (or a day before it).
constexpr time_t kFixedTime = 1600000000;

// The disk's FAT entry 0 does not hold the media byte, which mtools checks; remove this once the
// disk writes it.
const char *const kMtoolsCheck = "MTOOLS_SKIP_CHECK=1 ";

enum class Writer { Own, Mtools, Own83 };
const char *writerName(Writer w) {
    return w == Writer::Own ? "own" : w == Writer::Own83 ? "own83" : "mtools";
}
// As a case table names it.
const char *writerCaseName(Writer w) {
    return w == Writer::Own ? "Own" : w == Writer::Own83 ? "Own83" : "Mtools";
}
Writer writerNamed(const std::string &name) {
    return name == "mtools" ? Writer::Mtools : name == "own83" ? Writer::Own83 : Writer::Own;
}

// ---- Cases: an initial tree and operations.

struct TreeItem {
    std::string path;
    bool dir = false;
    uint32_t size = 0;
    uint32_t seed = 0;
    bool older = false; // stamped a day before the guest's date
};
TreeItem F(const std::string &path, uint32_t size, uint32_t seed = 1, bool older = false) {
    return {path, false, size, seed, older};
}
TreeItem D(const std::string &path) {
    return {path, true, 0, 0, false};
}

enum class Kind {
    Create,
    Overwrite,
    Append,
    Truncate,
    Rewrite,
    Rename,
    Move,
    Delete,
    DeleteTree,
    Mkdir
};

struct Op {
    Kind kind;
    std::string path;
    std::string arg; // Rename: the new name; Move: the directory
    uint32_t a = 0;  // Create/Rewrite/Truncate: size; Overwrite: offset; Append: length
    uint32_t b = 0;  // Overwrite: length
    uint32_t seed = 0;
};

// The operations as they read in a case table.
namespace op {
Op Create(const std::string &p, uint32_t size, uint32_t seed) {
    return {Kind::Create, p, "", size, 0, seed};
}
Op Overwrite(const std::string &p, uint32_t offset, uint32_t length, uint32_t seed) {
    return {Kind::Overwrite, p, "", offset, length, seed};
}
Op Append(const std::string &p, uint32_t length, uint32_t seed) {
    return {Kind::Append, p, "", length, 0, seed};
}
Op Truncate(const std::string &p, uint32_t size) {
    return {Kind::Truncate, p, "", size, 0, 0};
}
Op Rewrite(const std::string &p, uint32_t size, uint32_t seed) {
    return {Kind::Rewrite, p, "", size, 0, seed};
}
Op Rename(const std::string &p, const std::string &name) {
    return {Kind::Rename, p, name};
}
Op Move(const std::string &p, const std::string &dir) {
    return {Kind::Move, p, dir};
}
Op Delete(const std::string &p) {
    return {Kind::Delete, p, ""};
}
Op DeleteTree(const std::string &p) {
    return {Kind::DeleteTree, p, ""};
}
Op Mkdir(const std::string &p) {
    return {Kind::Mkdir, p, ""};
}
} // namespace op

struct Case {
    std::string name;
    Writer writer = Writer::Own;
    int fat = 16;
    std::vector<TreeItem> tree;
    std::vector<Op> ops;
    // Our writer: a checkpoint after every that many operations (0: none), and once inside an
    // operation that writes several sectors.
    int checkpoint_every = 0;
};

// ---- The model: what the tree is after each operation, and which objects the guest touched.

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
bool sameIgnoringCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

struct Node {
    std::string name;
    bool dir = false;
    std::string data;
    int parent = -1;
    bool alive = true;
    bool touched = false;
    std::string origin;    // path at the start; empty for objects the guest made
    int originParent = -1; // its directory at the start
    bool linked = true;    // still at the clusters it had at the start (a file with some)
    bool changed = false;  // its contents changed
    bool wasEmpty = false; // an empty file at the start
    // First clusters on the disk at the start and at the end (our writer only): the write-back
    // knows objects by them.
    uint32_t originFirst = 0, first = 0;
};

struct Model {
    std::vector<Node> nodes{Node{"", true, "", -1, true, false, "."}};
    bool inPlace = false; // the guest's driver edits files in place (our writer)

    int child(int dir, const std::string &name) const {
        for (size_t i = 1; i < nodes.size(); ++i)
            if (nodes[i].alive && nodes[i].parent == dir && sameIgnoringCase(nodes[i].name, name))
                return static_cast<int>(i);
        return -1;
    }
    int find(const std::string &path) const {
        int cur = 0;
        std::stringstream s(path);
        std::string part;
        while (std::getline(s, part, '/')) {
            if (part.empty())
                continue;
            if (cur < 0 || !nodes[cur].dir)
                return -1;
            cur = child(cur, part);
        }
        return cur;
    }
    std::string path(int id) const {
        if (id <= 0)
            return "";
        const std::string up = path(nodes[id].parent);
        return up.empty() ? nodes[id].name : up + "/" + nodes[id].name;
    }
    bool inside(int id, int ancestor) const {
        for (int cur = id; cur >= 0; cur = nodes[cur].parent)
            if (cur == ancestor)
                return true;
        return false;
    }
    std::vector<int> alive(bool dirs) const {
        std::vector<int> out;
        for (size_t i = 1; i < nodes.size(); ++i)
            if (nodes[i].alive && nodes[i].dir == dirs)
                out.push_back(static_cast<int>(i));
        return out;
    }
    int add(int parent, const std::string &name, bool dir, const std::string &data) {
        nodes.push_back(Node{name, dir, data, parent, true, true, ""});
        return static_cast<int>(nodes.size() - 1);
    }
    void kill(int id) {
        for (size_t i = 0; i < nodes.size(); ++i)
            if (nodes[i].alive && inside(static_cast<int>(i), id))
                nodes[i].alive = false;
    }
};

// One operation as both sides carry it out, with exact names from the model.
struct Action {
    Kind kind;
    std::string path;     // the object as it is named before the operation
    std::string to;       // Rename: new name; Move: destination directory
    std::string bytes;    // data written: new contents, the overwritten piece, the appended piece
    uint64_t offset = 0;  // Overwrite
    uint32_t size = 0;    // Truncate
    std::string whole;    // the file's contents afterwards
    std::string stored;   // when not empty: the name the guest stored instead of the one asked for
    std::string replaced; // Rename over another file: that file's path
};

std::string splitLeaf(const std::string &path, std::string &parent) {
    const size_t slash = path.rfind('/');
    parent = slash == std::string::npos ? "" : path.substr(0, slash);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An 8.3 name (upper case) that needs no long name.
bool fits83(const std::string &name) {
    const size_t dot = name.find('.');
    const std::string base = name.substr(0, dot),
                      ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos ||
        (dot != std::string::npos && ext.empty()))
        return false;
    return std::all_of(base.begin(), base.end(),
                       [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) ||
                                  std::strchr("!#$%&'()-@^_`{}~", c);
                       }) &&
           std::all_of(ext.begin(), ext.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) ||
                      std::strchr("!#$%&'()-@^_`{}~", c);
           });
}

// The 8.3 form a long name starts from: upper case, spaces and inner dots dropped, cut to 8.3.
std::string basis83(const std::string &name) {
    std::string up;
    for (char c : name)
        if (c != ' ')
            up += upper(c);
    up.erase(0, up.find_first_not_of('.'));
    const size_t dot = up.rfind('.');
    std::string base = up.substr(0, dot), ext = dot == std::string::npos ? "" : up.substr(dot + 1);
    base.erase(std::remove(base.begin(), base.end(), '.'), base.end());
    base = base.substr(0, 8);
    ext = ext.substr(0, 3);
    return ext.empty() ? base : base + "." + ext;
}

// Whether the disk may have given a longer name in dir this 8.3 name as its alias (it may cut a
// long name to 8.3 without a ~N tail). A guest then finds the name taken, which the tree alone
// does not tell: the model skips such operations on both sides.
bool mayBeAlias(const Model &m, int dir, const std::string &name, int except) {
    std::string up;
    for (char c : name)
        up += upper(c);
    if (!fits83(up))
        return false;
    for (size_t i = 1; i < m.nodes.size(); ++i) {
        const Node &n = m.nodes[i];
        // Objects of the disk carry the disk's aliases (kept when the guest renames them, too,
        // as far as the model knows): those are the ones to fear.
        if (n.alive && n.parent == dir && static_cast<int>(i) != except && !n.origin.empty() &&
            basis83(n.name) == up)
            return true;
    }
    return false;
}

// Applies op to the model when it makes sense there; false (model unchanged) when it does not.
bool step(Model &m, const Op &o, Action &act) {
    act = Action{};
    act.kind = o.kind;
    std::string parentPath;
    const std::string leaf = splitLeaf(o.path, parentPath);
    const int id = m.find(o.path);
    if (id > 0)
        act.path = m.path(id);
    switch (o.kind) {
    case Kind::Create:
    case Kind::Mkdir: {
        const int parent = m.find(parentPath);
        if (id >= 0 || parent < 0 || !m.nodes[parent].dir || leaf.empty() ||
            mayBeAlias(m, parent, leaf, -1))
            return false;
        act.path = parentPath.empty() ? leaf : m.path(parent) + "/" + leaf;
        const bool dir = o.kind == Kind::Mkdir;
        act.bytes = act.whole = dir ? "" : patternBytes(o.a, o.seed);
        m.add(parent, leaf, dir, act.bytes);
        m.nodes[parent].touched = true;
        return true;
    }
    case Kind::Overwrite:
    case Kind::Append:
    case Kind::Truncate:
    case Kind::Rewrite: {
        if (id <= 0 || m.nodes[id].dir)
            return false;
        Node &n = m.nodes[id];
        const std::string before = n.data;
        if (o.kind == Kind::Overwrite) {
            if (n.data.empty())
                return false;
            act.offset = std::min<uint64_t>(o.a, n.data.size() - 1);
            const uint32_t len = std::max<uint32_t>(
                1, std::min<uint32_t>(o.b, static_cast<uint32_t>(n.data.size() - act.offset)));
            act.bytes = patternBytes(len, o.seed);
            n.data.replace(act.offset, len, act.bytes);
        } else if (o.kind == Kind::Append) {
            act.bytes = patternBytes(o.a, o.seed);
            n.data += act.bytes;
        } else if (o.kind == Kind::Truncate) {
            act.size = std::min<uint32_t>(o.a, static_cast<uint32_t>(n.data.size()));
            n.data.resize(act.size);
        } else {
            act.bytes = patternBytes(o.a, o.seed);
            n.data = act.bytes;
        }
        act.whole = n.data;
        // Our writer writes nothing where nothing is appended or cut: the contents are as they
        // were (mtools copies the whole file anew).
        n.changed = n.changed || !m.inPlace || act.whole != before || o.kind == Kind::Overwrite ||
                    o.kind == Kind::Rewrite;
        if (o.kind == Kind::Rewrite || n.data.empty())
            n.linked = false; // a new chain, or none
        // Its directory too: new contents may arrive by a rename inside it.
        n.touched = m.nodes[n.parent].touched = true;
        return true;
    }
    case Kind::Rename: {
        if (id <= 0 || o.arg.empty() || o.arg == m.nodes[id].name ||
            o.arg.find('/') != std::string::npos)
            return false;
        const int parent = m.nodes[id].parent;
        const int target = m.child(parent, o.arg);
        if (target < 0 && mayBeAlias(m, parent, o.arg, id))
            return false;
        if (target >= 0 && target != id) {
            if (m.nodes[target].dir || m.nodes[id].dir)
                return false;
            act.replaced = m.path(target);
            m.kill(target); // renamed over an existing file, which it replaces
        }
        act.to = o.arg;
        m.nodes[id].name = o.arg;
        m.nodes[id].touched = m.nodes[parent].touched = true;
        return true;
    }
    case Kind::Move: {
        const int dest = m.find(o.arg);
        if (id <= 0 || dest < 0 || !m.nodes[dest].dir || m.inside(dest, id) ||
            m.nodes[id].parent == dest || m.child(dest, m.nodes[id].name) >= 0 ||
            mayBeAlias(m, dest, m.nodes[id].name, id))
            return false;
        act.to = m.path(dest);
        m.nodes[m.nodes[id].parent].touched = m.nodes[dest].touched = true;
        m.nodes[id].parent = dest;
        m.nodes[id].touched = true;
        return true;
    }
    case Kind::Delete:
    case Kind::DeleteTree:
        if (id <= 0 || m.nodes[id].dir != (o.kind == Kind::DeleteTree))
            return false;
        m.nodes[m.nodes[id].parent].touched = true;
        m.kill(id);
        return true;
    }
    return false;
}

// ---- Random cases.

class Rng {
  public:
    explicit Rng(uint64_t seed) : g_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    // mtools stores a lower-case non-ASCII name that fits 8.3 as OEM code-page bytes, a
    // question of code pages rather than of the write-back: its cases keep to ASCII names.
    bool asciiOnly = false;
    // A guest that knows only 8.3 names names nothing else: names that fit 8.3 but for case.
    bool shortOnly = false;
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(g_() % n) : 0; }
    bool chance(uint32_t percent) { return below(100) < percent; }
    template <class T> const T &pick(const std::vector<T> &v) {
        return v[below(static_cast<uint32_t>(v.size()))];
    }

  private:
    std::mt19937_64 g_;
};

// Sizes around the 512-byte sector and the 1 KiB cluster of the test disks.
uint32_t randomSize(Rng &r) {
    static const std::vector<uint32_t> sizes = {0,    1,    100,  511,  512,  513,  1023, 1024,
                                                1025, 2047, 2048, 2049, 3072, 4095, 4096, 4097};
    return r.chance(75) ? r.pick(sizes) : r.below(9000);
}

std::string randomName(Rng &r) {
    static const std::vector<std::string> words = {"readme",
                                                   "data",
                                                   "notes",
                                                   "report",
                                                   "a",
                                                   "b",
                                                   "x",
                                                   "longfilename",
                                                   "archive",
                                                   "my file",
                                                   "summary of results",
                                                   "makefile",
                                                   "img",
                                                   "q",
                                                   "caf\xc3\xa9",
                                                   "list+1",
                                                   "v2.backup"};
    static const std::vector<std::string> exts = {"",     "",       "txt", "bin",  "c",
                                                  "text", "tar.gz", "md",  "jpeg", "DAT"};
    std::string name = r.pick(words);
    if (r.shortOnly)
        while (name.find_first_of(" +.") != std::string::npos || name.size() > 6)
            name = r.pick(words);
    if (r.asciiOnly && name == "caf\xc3\xa9")
        name = "cafe";
    if (r.chance(30))
        name += std::to_string(r.below(20));
    std::string ext = r.pick(exts);
    if (r.shortOnly && ext.size() > 3)
        ext = "txt";
    if (!ext.empty())
        name += "." + ext;
    switch (r.below(4)) {
    case 0: // as it is
        break;
    case 1:
        for (char &c : name)
            c = upper(c);
        break;
    case 2:
        name[0] = upper(name[0]);
        break;
    default:
        for (size_t i = 0; i < name.size(); i += 2)
            name[i] = upper(name[i]);
    }
    return name;
}

// Another spelling of the same name: only the case of its letters differs.
std::string otherCase(Rng &r, const std::string &name) {
    for (int tries = 0; tries < 8; ++tries) {
        std::string out = name;
        for (char &c : out)
            if (r.chance(50) && c >= 'a' && c <= 'z')
                c = upper(c);
            else if (r.chance(50) && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        if (out != name)
            return out;
    }
    return name;
}

std::string freshName(Rng &r, const Model &m, int dir) {
    for (;;) {
        const std::string name = randomName(r);
        if (m.child(dir, name) < 0)
            return name;
    }
}

std::string joinPath(const std::string &dir, const std::string &leaf) {
    return dir.empty() ? leaf : dir + "/" + leaf;
}

Case generate(uint64_t seed, Writer writer, int fat) {
    Rng r(seed);
    r.asciiOnly = writer != Writer::Own;
    r.shortOnly = writer == Writer::Own83;
    Case c;
    c.name = "Seed" + std::to_string(seed);
    c.writer = writer;
    c.fat = fat;
    Model m;
    std::vector<int> dirs{0};
    const uint32_t items = 4 + r.below(14);
    for (uint32_t i = 0; i < items; ++i) {
        const int parent = r.pick(dirs);
        const std::string name = freshName(r, m, parent);
        const std::string path = joinPath(m.path(parent), name);
        if (r.chance(22) && dirs.size() < 6 && std::count(path.begin(), path.end(), '/') < 2) {
            c.tree.push_back(D(path));
            dirs.push_back(m.add(parent, name, true, ""));
        } else {
            c.tree.push_back(F(path, randomSize(r), r.below(1000), r.chance(25)));
            m.add(parent, name, false, "");
        }
    }
    for (size_t i = 1; i < m.nodes.size(); ++i) {
        m.nodes[i].touched = false;
        m.nodes[i].origin = m.path(static_cast<int>(i)); // as runCase's model has them
        m.nodes[i].originParent = m.nodes[i].parent;
    }

    const uint32_t count = 6 + r.below(16);
    while (c.ops.size() < count) {
        const std::vector<int> files = m.alive(false), subdirs = m.alive(true);
        std::vector<int> allDirs = subdirs;
        allDirs.push_back(0);
        const int dir = r.pick(allDirs);
        std::vector<Op> next;
        switch (r.below(14)) {
        case 0:
        case 1:
            next.push_back(op::Create(joinPath(m.path(dir), freshName(r, m, dir)),
                                      r.chance(15) ? 0 : randomSize(r), r.below(1000)));
            break;
        case 2:
            if (!files.empty()) {
                const int f = r.pick(files);
                next.push_back(op::Overwrite(
                    m.path(f), r.below(static_cast<uint32_t>(m.nodes[f].data.size()) + 1),
                    1 + r.below(r.chance(50) ? 600 : 3000), r.below(1000)));
            }
            break;
        case 3:
            if (!files.empty())
                next.push_back(op::Append(m.path(r.pick(files)), 1 + r.below(2500), r.below(1000)));
            break;
        case 4:
            if (!files.empty()) {
                const int f = r.pick(files);
                next.push_back(op::Truncate(
                    m.path(f),
                    r.chance(20) ? 0 : r.below(static_cast<uint32_t>(m.nodes[f].data.size()) + 1)));
            }
            break;
        case 5:
            if (!files.empty())
                next.push_back(op::Rewrite(m.path(r.pick(files)), randomSize(r), r.below(1000)));
            break;
        case 6: { // rename, sometimes only the case
            std::vector<int> all = files;
            all.insert(all.end(), subdirs.begin(), subdirs.end());
            if (all.empty())
                break;
            const int n = r.pick(all);
            const std::string name =
                r.chance(30) ? otherCase(r, m.nodes[n].name) : freshName(r, m, m.nodes[n].parent);
            next.push_back(op::Rename(m.path(n), name));
            break;
        }
        case 7: { // rename over an existing file, or swap two names through a third
            if (files.size() < 2)
                break;
            const int a = r.pick(files);
            std::vector<int> siblings;
            for (int f : files)
                if (f != a && m.nodes[f].parent == m.nodes[a].parent)
                    siblings.push_back(f);
            if (siblings.empty())
                break;
            const int b = r.pick(siblings);
            const std::string an = m.nodes[a].name, bn = m.nodes[b].name;
            const std::string dirPath = m.path(m.nodes[a].parent);
            if (r.chance(50)) {
                next.push_back(op::Rename(joinPath(dirPath, an), bn));
            } else {
                const std::string tmp = freshName(r, m, m.nodes[a].parent);
                next.push_back(op::Rename(joinPath(dirPath, an), tmp));
                next.push_back(op::Rename(joinPath(dirPath, bn), an));
                next.push_back(op::Rename(joinPath(dirPath, tmp), bn));
            }
            break;
        }
        case 8:
        case 9: { // move a file or a directory
            std::vector<int> all = files;
            if (r.chance(40))
                all = subdirs;
            if (all.empty())
                break;
            next.push_back(op::Move(m.path(r.pick(all)), m.path(r.pick(allDirs))));
            break;
        }
        case 10:
            if (!files.empty())
                next.push_back(op::Delete(m.path(r.pick(files))));
            break;
        case 11:
            if (!subdirs.empty() && r.chance(60))
                next.push_back(op::DeleteTree(m.path(r.pick(subdirs))));
            break;
        case 12:
            next.push_back(op::Mkdir(joinPath(m.path(dir), freshName(r, m, dir))));
            break;
        default: // delete, then create under the same name (a save without a rename)
            if (!files.empty()) {
                const int f = r.pick(files);
                const std::string p = m.path(f);
                next.push_back(op::Delete(p));
                next.push_back(op::Create(p, randomSize(r), r.below(1000)));
            }
        }
        for (const Op &o : next) {
            Action act;
            if (step(m, o, act))
                c.ops.push_back(o);
        }
    }
    return c;
}

// ---- Printing a case as a table entry.

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", ch); // octal: never runs into the next char
            out += buf;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string printOp(const Op &o) {
    const std::string p = quoted(o.path);
    const auto n = [](uint32_t v) { return std::to_string(v); };
    switch (o.kind) {
    case Kind::Create:
        return "op::Create(" + p + ", " + n(o.a) + ", " + n(o.seed) + ")";
    case Kind::Overwrite:
        return "op::Overwrite(" + p + ", " + n(o.a) + ", " + n(o.b) + ", " + n(o.seed) + ")";
    case Kind::Append:
        return "op::Append(" + p + ", " + n(o.a) + ", " + n(o.seed) + ")";
    case Kind::Truncate:
        return "op::Truncate(" + p + ", " + n(o.a) + ")";
    case Kind::Rewrite:
        return "op::Rewrite(" + p + ", " + n(o.a) + ", " + n(o.seed) + ")";
    case Kind::Rename:
        return "op::Rename(" + p + ", " + quoted(o.arg) + ")";
    case Kind::Move:
        return "op::Move(" + p + ", " + quoted(o.arg) + ")";
    case Kind::Delete:
        return "op::Delete(" + p + ")";
    case Kind::DeleteTree:
        return "op::DeleteTree(" + p + ")";
    case Kind::Mkdir:
        return "op::Mkdir(" + p + ")";
    }
    return "";
}

std::string printCase(const Case &c) {
    std::string out = "{" + quoted(c.name) +
                      ", \"<what the promise requires>\", Writer::" + writerCaseName(c.writer) +
                      ", " + std::to_string(c.fat) + ",\n {";
    for (size_t i = 0; i < c.tree.size(); ++i) {
        const TreeItem &t = c.tree[i];
        out += i ? ", " : "";
        out += t.dir ? "D(" + quoted(t.path) + ")"
                     : "F(" + quoted(t.path) + ", " + std::to_string(t.size) + ", " +
                           std::to_string(t.seed) + (t.older ? ", true" : "") + ")";
    }
    out += "},\n {";
    for (size_t i = 0; i < c.ops.size(); ++i)
        out += (i ? ",\n  " : "") + printOp(c.ops[i]);
    return out + "}},\n";
}

// ---- Running a case.

VVFAT_Configuration geometryFor(int fat) {
    // Small disks of 1 KiB clusters whose cluster counts suit each FAT type.
    switch (fat) {
    case 12:
        return {8, 16, 32, 12}; // 2 MiB, about 2000 clusters
    case 32:
        return {132, 16, 63, 32}; // 65 MiB, just over 65525 clusters
    default:
        return {20, 16, 32, 16}; // 5 MiB, about 5000 clusters
    }
}

void stamp(const fs::path &p, bool older) {
    const time_t t = older ? kFixedTime - 86400 : kFixedTime;
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    lutimes(p.c_str(), tv);
}

bool haveFaketime() {
    static const bool have = testsupport::run("faketime -f '2020-01-01 00:00:00' true").status == 0;
    return have;
}

std::string fixedTimeText() {
    time_t t = kFixedTime;
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// mtools as a guest with a frozen clock, on the partition image.
struct Mtools {
    std::string image;
    fs::path scratch;
    std::string log;
    int files = 0;

    bool run(const std::string &command) {
        const std::string prefix =
            std::string(kMtoolsCheck) + "LC_ALL=C.UTF-8 " +
            (haveFaketime() ? "faketime -f " + shellQuote(fixedTimeText()) + " " : "");
        auto r = testsupport::run(prefix + command + " -i " + shellQuote(image) + " </dev/null");
        log += "$ " + command + "\n" + r.output;
        return r.status == 0;
    }
    std::string fatPath(const std::string &p) const { return shellQuote("::/" + p); }
    std::string local(const std::string &contents) {
        const fs::path f = scratch / ("data" + std::to_string(files++));
        writeFile(f, contents);
        stamp(f, false); // for mcopy -m, which keeps this date when there is no faketime
        return shellQuote(f.string());
    }

    // The name an object got in dir, which mtools may spell in other case than it was asked
    // (mmove stores a name that fits 8.3 in upper case).
    std::string storedName(const std::string &dir, const std::string &leaf) {
        auto r = testsupport::run(std::string(kMtoolsCheck) + "LC_ALL=C.UTF-8 mdir -b -i " +
                                  shellQuote(image) + " " + shellQuote("::/" + dir));
        const std::string prefix = "::/" + (dir.empty() ? "" : dir + "/");
        std::istringstream lines(r.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(prefix, 0) != 0)
                continue;
            std::string name = line.substr(prefix.size());
            if (!name.empty() && name.back() == '/')
                name.pop_back();
            if (sameIgnoringCase(name, leaf))
                return name;
        }
        return leaf;
    }
    // Where an operation left its object's name: (directory, name).
    static bool namedBy(const Action &a, std::string &dir, std::string &leaf) {
        std::string parent;
        const std::string own = splitLeaf(a.path, parent);
        switch (a.kind) {
        case Kind::Create:
        case Kind::Mkdir:
            dir = parent, leaf = own;
            return true;
        case Kind::Rename:
            dir = parent, leaf = a.to;
            return true;
        case Kind::Move:
            dir = a.to, leaf = own;
            return true;
        default:
            return false;
        }
    }

    bool apply(const Action &a) {
        std::string parent;
        const std::string leaf = splitLeaf(a.path, parent);
        switch (a.kind) {
        case Kind::Create:
            return run("mcopy -m " + local(a.whole) + " " + fatPath(a.path));
        case Kind::Overwrite: // mtools writes whole files only
        case Kind::Append:
        case Kind::Truncate:
        case Kind::Rewrite:
            return run("mcopy -m -D o " + local(a.whole) + " " + fatPath(a.path));
        case Kind::Rename: {
            const std::string to = joinPath(parent, a.to);
            if (sameIgnoringCase(leaf, a.to)) // mren refuses a case-only rename: two steps
                return run("mren " + fatPath(a.path) + " " +
                           fatPath(joinPath(parent, "CASE$TMP"))) &&
                       run("mren " + fatPath(joinPath(parent, "CASE$TMP")) + " " + fatPath(to));
            return run("mmove -D o " + fatPath(a.path) + " " + fatPath(to));
        }
        case Kind::Move:
            return run("mmove " + fatPath(a.path) + " " +
                       shellQuote("::/" + a.to + (a.to.empty() ? "" : "/")));
        case Kind::Delete:
            return run("mdel " + fatPath(a.path));
        case Kind::DeleteTree:
            return run("mdeltree " + fatPath(a.path));
        case Kind::Mkdir:
            return run("mmd " + fatPath(a.path));
        }
        return false;
    }
};

bool applyOwn(testsupport::FatWriter &w, const Action &a) {
    switch (a.kind) {
    case Kind::Create:
        return w.createFile(a.path, a.whole);
    case Kind::Overwrite:
        return w.overwrite(a.path, a.offset, a.bytes);
    case Kind::Append:
        return w.append(a.path, a.bytes);
    case Kind::Truncate:
        return w.truncate(a.path, a.size);
    case Kind::Rewrite:
        return w.writeFile(a.path, a.whole);
    case Kind::Rename:
        return w.rename(a.path, a.to);
    case Kind::Move:
        return w.move(a.path, a.to);
    case Kind::Delete:
        return w.removeFile(a.path);
    case Kind::DeleteTree:
        return w.removeTree(a.path);
    case Kind::Mkdir:
        return w.makeDirectory(a.path);
    }
    return false;
}

// An 8.3-only guest leaves the long-name entries of old names behind, and a later short entry
// whose 8-bit checksum happens to match takes one up again (one time in 256): the disk then
// shows an old long name, and one name may stand for two entries. Where the disk and the model
// do not agree on the one object each name of an operation stands for, the guest cannot mean
// one for certain: the operation is skipped on both sides.
size_t diskMatches(const std::vector<testsupport::FatWriter::Item> &items, const std::string &leaf,
                   const testsupport::FatWriter::Item **match) {
    size_t count = 0;
    for (const auto &it : items) {
        std::string base = it.shortName.substr(0, 8), ext = it.shortName.substr(8);
        base.erase(base.find_last_not_of(' ') + 1);
        ext.erase(ext.find_last_not_of(' ') + 1);
        const std::string shown = ext.empty() ? base : base + "." + ext;
        if (sameIgnoringCase(it.name, leaf) || sameIgnoringCase(shown, leaf)) {
            ++count;
            *match = &it;
        }
    }
    return count;
}

size_t modelMatches(const Model &m, int dir, const std::string &leaf) {
    size_t count = 0;
    for (size_t i = 1; i < m.nodes.size(); ++i)
        count +=
            m.nodes[i].alive && m.nodes[i].parent == dir && sameIgnoringCase(m.nodes[i].name, leaf);
    return count;
}

bool diskAgrees(testsupport::FatWriter &w, const Model &m, const Op &o) {
    // Each name of path in turn; dirFirst and id end at the last directory both reach.
    uint32_t dirFirst = w.root();
    int id = 0;
    const auto agrees = [&](const std::string &leaf) {
        const testsupport::FatWriter::Item *match = nullptr;
        const std::vector<testsupport::FatWriter::Item> items = w.list(dirFirst);
        const size_t onDisk = diskMatches(items, leaf, &match);
        if (onDisk != modelMatches(m, id, leaf) || onDisk > 1)
            return false;
        const int next = m.child(id, leaf);
        if (onDisk == 1 && match->isDir() && m.nodes[next].dir)
            dirFirst = match->first, id = next;
        else
            id = -1;
        return true;
    };
    const auto walk = [&](const std::string &path) {
        dirFirst = w.root(), id = 0;
        std::stringstream s(path);
        std::string part;
        while (std::getline(s, part, '/'))
            if (!part.empty() && (id < 0 || !agrees(part)))
                return id < 0;
        return true;
    };
    std::string parentPath;
    const std::string leaf = splitLeaf(o.path, parentPath);
    switch (o.kind) {
    case Kind::Create:
    case Kind::Mkdir:
        return walk(parentPath) && (id < 0 || agrees(leaf));
    case Kind::Rename: {
        if (!walk(parentPath))
            return false;
        if (id < 0)
            return true; // no such directory: the model skips it
        const int dir = id;
        const uint32_t first = dirFirst;
        if (!agrees(leaf))
            return false;
        dirFirst = first, id = dir;
        return agrees(o.arg);
    }
    case Kind::Move: {
        const int subject = m.find(o.path);
        if (!walk(o.path) || !walk(o.arg))
            return false;
        return id < 0 || subject <= 0 || agrees(m.nodes[subject].name);
    }
    default:
        return walk(o.path);
    }
}

void applyHost(const fs::path &root, const Action &a) {
    fs::path p = root / a.path;
    if (!a.stored.empty() && (a.kind == Kind::Create || a.kind == Kind::Mkdir))
        p = p.parent_path() / a.stored;
    switch (a.kind) {
    case Kind::Create:
    case Kind::Overwrite:
    case Kind::Append:
    case Kind::Truncate:
    case Kind::Rewrite:
        writeFile(p, a.whole);
        break;
    case Kind::Rename:
        // The replaced file may be spelt in other case than the new name.
        if (!a.replaced.empty())
            fs::remove(root / a.replaced);
        fs::rename(p, p.parent_path() / (a.stored.empty() ? a.to : a.stored));
        break;
    case Kind::Move:
        fs::rename(p, root / a.to / (a.stored.empty() ? p.filename() : fs::path(a.stored)));
        break;
    case Kind::Delete:
        fs::remove(p);
        break;
    case Kind::DeleteTree:
        fs::remove_all(p);
        break;
    case Kind::Mkdir:
        fs::create_directory(p);
        break;
    }
}

struct Outcome {
    bool failed = false;
    bool setupFailed = false; // the case could not be run at all: not a write-back fault
    std::string report;
};

// A case whose tree has an item under a directory that is not in it is not a tree.
bool treeIsComplete(const std::vector<TreeItem> &tree) {
    std::set<std::string> dirs{""};
    for (const TreeItem &t : tree) {
        std::string parent;
        splitLeaf(t.path, parent);
        if (!dirs.count(parent))
            return false;
        if (t.dir)
            dirs.insert(t.path);
    }
    return true;
}

// A name the write-back gives an object it moves out of the way: NAME_ and eight hex digits.
bool isMovedAside(const std::string &path) {
    if (path.size() < 10 || path[path.size() - 9] != '_')
        return false;
    return std::all_of(path.end() - 8, path.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// A bare short name (upper case, fits 8.3: what any guest writes without a long name) cannot
// say case. Where it names the object it is under another spelling, or the object it replaces
// (one deleted from the same directory), the host's spelling stays: the reference tree is
// renamed so, parents first.
bool bareName(const std::string &name) {
    return fits83(name) &&
           std::none_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::string leafOf(const std::string &path) {
    std::string parent;
    return splitLeaf(path, parent);
}

// Whether the write-back takes the guest's `name` for the name `origin` the disk showed: the
// same, or a bare name that differs only in case.
bool namesMatch(const std::string &origin, const std::string &name) {
    return origin == name || (bareName(name) && sameIgnoringCase(origin, name));
}

// What the write-back can tell of the guest's objects, as the model knows them: which recorded
// object each one is (by its first cluster, or an empty or rewritten file by its name where it
// stood, in a directory taken for the one it was).
struct Claims {
    const Model &m;
    bool atOrigin(const Node &n) const {
        return !n.origin.empty() && n.parent == n.originParent &&
               namesMatch(leafOf(n.origin), n.name);
    }
    // A directory is the one it was by its name, or when it keeps one of its objects.
    bool dirKept(int p) const {
        if (p == 0)
            return true;
        const Node &d = m.nodes[p];
        if (d.origin.empty())
            return false;
        if (namesMatch(leafOf(d.origin), d.name))
            return true;
        bool had = false;
        for (size_t k = 1; k < m.nodes.size(); ++k) {
            const Node &e = m.nodes[k];
            had = had || (!e.origin.empty() && e.originParent == p);
        }
        if (!had)
            return true;
        for (size_t k = 1; k < m.nodes.size(); ++k) {
            const Node &c = m.nodes[k];
            if (!c.alive || c.parent != p)
                continue;
            if (!c.origin.empty() && c.originParent == p && (c.dir || c.linked))
                return true;
            // An entry that starts where one of its objects began, if only by a reused cluster.
            for (size_t j = 1; c.first != 0 && j < m.nodes.size(); ++j)
                if (m.nodes[j].originParent == p && m.nodes[j].originFirst == c.first)
                    return true;
            if (!c.dir && c.data.empty())
                for (size_t j = 1; j < m.nodes.size(); ++j) {
                    const Node &e = m.nodes[j];
                    if (e.wasEmpty && e.originParent == p && namesMatch(leafOf(e.origin), c.name))
                        return true;
                }
        }
        return false;
    }
    // Whether the alive node is taken for its own recorded object.
    bool claimed(const Node &n) const {
        if (n.dir) // renamed, it must keep one of its objects
            return !n.origin.empty() && dirKept(static_cast<int>(&n - m.nodes.data()));
        if (n.linked && (!n.changed || atOrigin(n)))
            return true;
        return atOrigin(n) && dirKept(n.parent);
    }
};

// A directory the guest made in the cluster of one it deleted is that one, moved, where the
// write-back can tell no other: under its name (a bare one compared without case), or keeping
// one of its objects (by a reused cluster, too), or the old one held nothing.
void adoptReusedDirectories(Model &m) {
    for (size_t i = 1; i < m.nodes.size(); ++i) {
        Node &n = m.nodes[i];
        if (!n.alive || !n.dir || !n.origin.empty() || n.first == 0)
            continue;
        for (size_t d = 1; d < m.nodes.size(); ++d) {
            Node &old = m.nodes[d];
            if (old.alive || !old.dir || old.origin.empty())
                continue;
            // Or, its cluster taken by no directory, under its name where it stood.
            bool taken = false;
            for (const Node &c : m.nodes)
                taken = taken || (c.alive && c.dir && c.first == old.originFirst);
            if (old.originFirst != n.first &&
                (taken || old.originParent != n.parent || !namesMatch(leafOf(old.origin), n.name)))
                continue;
            bool had = false, keeps = false;
            for (size_t k = 1; k < m.nodes.size(); ++k) {
                const Node &e = m.nodes[k];
                if (e.originParent != static_cast<int>(d) || e.origin.empty())
                    continue;
                had = true;
                for (size_t j = 1; j < m.nodes.size(); ++j) {
                    const Node &c = m.nodes[j];
                    keeps =
                        keeps ||
                        (c.alive && c.parent == static_cast<int>(i) &&
                         ((c.first != 0 && c.first == e.originFirst) ||
                          (c.first == 0 && e.wasEmpty && namesMatch(leafOf(e.origin), c.name))));
                }
            }
            if (!namesMatch(leafOf(old.origin), n.name) && had && !keeps)
                continue;
            n.origin = old.origin;
            n.originParent = old.originParent;
            old.origin.clear();
            for (Node &e : m.nodes)
                if (e.originParent == static_cast<int>(d))
                    e.originParent = static_cast<int>(i);
            break;
        }
    }
}

void keepHostSpelling(Model &m, const fs::path &ref) {
    std::vector<int> order;
    for (size_t i = 1; i < m.nodes.size(); ++i)
        if (m.nodes[i].alive)
            order.push_back(static_cast<int>(i));
    const auto depth = [&](int id) {
        int d = 0;
        for (int cur = id; cur > 0; cur = m.nodes[cur].parent)
            ++d;
        return d;
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return depth(a) < depth(b); });
    const Claims claims{m};
    // Spellings are decided on the names the guest left, then carried out.
    std::vector<std::pair<int, std::string>> renames;
    for (int id : order) {
        const Node &n = m.nodes[id];
        if (!bareName(n.name))
            continue;
        std::string spelling;
        if (!n.origin.empty() && sameIgnoringCase(leafOf(n.origin), n.name) && claims.claimed(n))
            spelling = leafOf(n.origin); // its own object
        for (size_t k = 1; spelling.empty() && claims.dirKept(n.parent) && k < m.nodes.size();
             ++k) {
            // An object of the same directory that no entry is taken for: the one it replaces.
            const Node &o = m.nodes[k];
            if (static_cast<int>(k) != id && !o.origin.empty() && o.originParent == n.parent &&
                sameIgnoringCase(leafOf(o.origin), n.name) && (!o.alive || !claims.claimed(o)))
                spelling = leafOf(o.origin);
        }
        // A spelling another entry of the directory shows stays with that one.
        bool taken = false;
        for (size_t k = 1; k < m.nodes.size(); ++k)
            taken = taken ||
                    (static_cast<int>(k) != id && m.nodes[k].alive &&
                     m.nodes[k].parent == n.parent && sameIgnoringCase(m.nodes[k].name, spelling));
        if (!spelling.empty() && spelling != n.name && !taken)
            renames.emplace_back(id, spelling);
    }
    for (const auto &[id, spelling] : renames) {
        Node &n = m.nodes[id];
        const fs::path at = ref / m.path(n.parent);
        std::error_code error;
        fs::rename(at / n.name, at / spelling, error);
        if (!error)
            n.name = spelling;
    }
}

// Every sector of the disk, read.
std::string wholeDisk(VVFAT *disk) {
    const ULONG sectors = VVFAT_SectorCount(disk);
    std::string bytes(static_cast<size_t>(sectors) * SECTOR_SIZE, '\0');
    for (ULONG s = 0; s < sectors; s += 128) {
        const ULONG n = std::min<ULONG>(128, sectors - s);
        VVFAT_ReadData(disk, bytes.data() + static_cast<size_t>(s) * SECTOR_SIZE,
                       static_cast<UQUAD>(s) * SECTOR_SIZE, n * SECTOR_SIZE);
    }
    return bytes;
}

// A tree with its paths in one case. With checkpoints, a name the guest stores as a bare 8.3
// entry, whose case says nothing, keeps the host's spelling of the last checkpoint that wrote
// the object, not the spelling it had at the mount, which the model knows.
std::map<std::string, std::string> folded(const std::map<std::string, std::string> &tree) {
    std::map<std::string, std::string> out;
    for (const auto &[path, contents] : tree) {
        std::string key = path;
        for (char &ch : key)
            ch = upper(ch);
        out[key] = contents;
    }
    return out;
}

// Checkpoints that wrote back, and those skipped, over a run.
int checkpointsDone = 0, checkpointsSkipped = 0;

// Runs a checkpoint: the disk must read the same after it, and once it wrote back, the host must
// hold what the reference holds (between operations: compareHost). What is wrong goes to report.
void checkpointAndCompare(VVFAT *disk, const fs::path &host, const fs::path &ref,
                          const std::string &when, std::string &report, bool compareHost = true) {
    const std::string before = wholeDisk(disk);
    testing::internal::CaptureStdout();
    const VVFAT_CheckpointResult r = VVFAT_Checkpoint(disk);
    const std::string said = testing::internal::GetCapturedStdout();
    if (wholeDisk(disk) != before)
        report += "  the disk reads otherwise after the checkpoint " + when + "\n";
    checkpointsSkipped += r.kind == VVFAT_CheckpointResult::Skipped;
    if (r.kind != VVFAT_CheckpointResult::Done)
        return;
    ++checkpointsDone;
    if (r.counts.failed)
        report += "  the checkpoint " + when + " did not write everything back\n" + said;
    if (!compareHost)
        return;
    const auto got = folded(contentsTree(host, false)), want = folded(contentsTree(ref, false));
    if (got != want) {
        report += "  after the checkpoint " + when + " the host differs:";
        for (const auto &[path, contents] : want)
            if (!got.count(path) || got.at(path) != contents)
                report += " " + path;
        for (const auto &[path, contents] : got)
            if (!want.count(path))
                report += " +" + path;
        report += "\n" + said;
    }
}

Outcome runCase(const Case &c, bool checkDisk = false) {
    Outcome out;
    const auto setupFail = [&](const std::string &why) {
        out.failed = out.setupFailed = true;
        out.report = "setup: " + why;
        return out;
    };
    TempDir work;
    const fs::path host = work / "host", ref = work / "ref";
    fs::create_directories(host);
    Model m;
    for (const TreeItem &t : c.tree) {
        std::string parentPath;
        const std::string leaf = splitLeaf(t.path, parentPath);
        const int parent = m.find(parentPath);
        if (parent < 0 || m.child(parent, leaf) >= 0)
            return setupFail("tree item " + t.path + " has no parent or clashes");
        if (t.dir) {
            fs::create_directory(host / t.path);
        } else {
            writeFile(host / t.path, patternBytes(t.size, t.seed));
        }
        const int id = m.add(parent, leaf, t.dir, t.dir ? "" : patternBytes(t.size, t.seed));
        m.nodes[id].touched = false;
        m.nodes[id].origin = t.path;
        m.nodes[id].originParent = parent;
        m.nodes[id].linked = t.dir || t.size > 0; // an empty file has no cluster
        m.nodes[id].wasEmpty = !t.dir && t.size == 0;
    }
    // Deepest first, so that stamping a file does not move its directory's stamp on.
    for (auto it = c.tree.rbegin(); it != c.tree.rend(); ++it)
        stamp(host / it->path, it->older);
    stamp(host, false);
    fs::copy(host, ref, fs::copy_options::recursive);
    std::map<std::string, struct stat> before;
    for (const Node &n : m.nodes) {
        struct stat st {};
        lstat((host / n.origin).c_str(), &st);
        before[n.origin] = st;
    }

    const VVFAT_Configuration cfg = geometryFor(c.fat);
    VVFAT *disk = VVFAT_CreateWithOptions(
        host.c_str(), &cfg,
        {.journal = FALSE, .write_back = TRUE, .checkpoints = c.checkpoint_every > 0});
    if (!disk)
        return setupFail("VVFAT_Create refused the disk");
    std::string log;
    std::string checkpoints; // what the checkpoints found wrong
    bool guestOk = true;
    if (c.writer != Writer::Mtools) {
        testsupport::FatWriterOptions options;
        options.longNames = c.writer == Writer::Own;
        // With checkpoints, also one inside an operation now and then: skipped while what the
        // operation wrote does not decode or is unfinished; whatever it writes back, the disk
        // reads the same and the end is the same.
        size_t writes = 0;
        const size_t insideEvery = c.checkpoint_every > 0 ? 5 + 4 * c.checkpoint_every : 0;
        testsupport::FatWriter w(
            testsupport::readerFor(disk),
            [&, disk](uint64_t lba, uint32_t count, const uint8_t *in) {
                const bool ok =
                    VVFAT_WriteData(disk, in, lba * SECTOR_SIZE, count * SECTOR_SIZE) != 0;
                if (ok && insideEvery && ++writes % insideEvery == 0)
                    checkpointAndCompare(disk, host, ref, "inside an operation", checkpoints,
                                         false);
                return ok;
            },
            testsupport::fatStampOf(kFixedTime), options);
        guestOk = w.mount();
        m.inPlace = true;
        size_t done = 0;
        for (size_t i = 1; guestOk && i < m.nodes.size(); ++i)
            m.nodes[i].originFirst = w.at(m.nodes[i].origin).first;
        for (const Op &o : c.ops) {
            Action act;
            if (!guestOk || (c.writer == Writer::Own83 && !diskAgrees(w, m, o)) || !step(m, o, act))
                continue;
            if (!applyOwn(w, act)) {
                guestOk = false;
                log += "own writer failed on " + printOp(o) + ": " + w.error() + "\n";
            }
            ++done;
            std::string dir, leaf;
            if (guestOk && c.writer == Writer::Own83 && Mtools::namedBy(act, dir, leaf)) {
                // It stores the name in upper case.
                const std::string stored = w.at(joinPath(dir, leaf)).name;
                if (!stored.empty() && stored != leaf) {
                    act.stored = stored;
                    m.nodes[m.find(joinPath(dir, leaf))].name = stored;
                }
            }
            applyHost(ref, act);
            if (guestOk && c.checkpoint_every > 0 && done % c.checkpoint_every == 0) {
                if (!w.flush()) {
                    guestOk = false;
                    log += "own writer: " + w.error() + "\n";
                } else {
                    checkpointAndCompare(disk, host, ref, "after " + printOp(o), checkpoints);
                }
            }
        }
        if (guestOk && !w.flush()) {
            guestOk = false;
            log += "own writer: " + w.error() + "\n";
        }
        for (size_t i = 1; guestOk && i < m.nodes.size(); ++i)
            if (m.nodes[i].alive)
                m.nodes[i].first = w.at(m.path(static_cast<int>(i))).first;
    } else {
        Mtools mt;
        mt.image = (work / "disk.img").string();
        mt.scratch = work / "scratch";
        fs::create_directories(mt.scratch);
        const std::string base = (work / "base.img").string();
        std::string error;
        if (!host::dumpImage(testsupport::readerFor(disk), mt.image, true, error)) {
            VVFAT_Destroy(disk);
            return setupFail("dump: " + error);
        }
        fs::copy_file(mt.image, base);
        for (const Op &o : c.ops) {
            Action act;
            if (!guestOk || !step(m, o, act))
                continue;
            if (!mt.apply(act)) {
                guestOk = false;
                log += "mtools failed on " + printOp(o) + "\n";
            }
            std::string dir, leaf;
            if (guestOk && Mtools::namedBy(act, dir, leaf)) {
                const std::string stored = mt.storedName(dir, leaf);
                if (stored != leaf) {
                    act.stored = stored;
                    m.nodes[m.find(joinPath(dir, leaf))].name = stored;
                }
            }
            applyHost(ref, act);
        }
        uint64_t written = 0;
        if (guestOk && !host::applyImage(
                           testsupport::readerFor(disk),
                           [disk](uint64_t lba, uint32_t count, const uint8_t *in) {
                               return VVFAT_WriteData(disk, in, lba * SECTOR_SIZE,
                                                      count * SECTOR_SIZE) != 0;
                           },
                           mt.image, base, true, written, error)) {
            guestOk = false;
            log += "apply: " + error + "\n";
        }
        if (!guestOk)
            log += mt.log;
    }
    if (!guestOk) {
        VVFAT_Destroy(disk);
        return setupFail("the guest side failed\n" + log);
    }
    adoptReusedDirectories(m);
    keepHostSpelling(m, ref);
    if (checkDisk) {
        // The guest left a sound file system: a fault found below is the write-back's.
        const std::string image = (work / "check.img").string();
        std::string error;
        if (host::dumpImage(testsupport::readerFor(disk), image, true, error)) {
            auto fsck = testsupport::run("fsck.fat -n " + shellQuote(image));
            out.report += "fsck.fat of the disk before the write-back: " +
                          std::string(fsck.status == 0 ? "clean" : "FAULTS\n" + fsck.output) + "\n";
        }
    }

    testing::internal::CaptureStdout();
    VVFAT_Destroy(disk);
    const std::string said = testing::internal::GetCapturedStdout();

    std::ostringstream r;
    auto got = contentsTree(host, false), want = contentsTree(ref, false);
    if (c.checkpoint_every > 0) {
        got = folded(got);
        want = folded(want);
    }
    for (const auto &[path, contents] : want) {
        auto it = got.find(path);
        if (it == got.end())
            r << "  missing: " << path << "\n";
        else if (it->second != contents)
            r << "  differs: " << path << " ("
              << (it->second == "<dir>" ? "a directory"
                                        : std::to_string(it->second.size()) + " bytes")
              << ", want "
              << (contents == "<dir>" ? "a directory" : std::to_string(contents.size()) + " bytes")
              << (it->second.size() == contents.size() ? ", other bytes" : "") << ")\n";
    }
    for (const auto &[path, contents] : got)
        if (!want.count(path))
            r << "  unexpected" << (isMovedAside(path) ? " (moved aside)" : "") << ": " << path
              << "\n";
    for (size_t i = 0; i < m.nodes.size(); ++i) {
        const Node &n = m.nodes[i];
        if (!n.alive || n.touched || n.origin.empty())
            continue;
        const std::string now = i == 0 ? "." : m.path(static_cast<int>(i));
        struct stat st {};
        if (lstat((host / now).c_str(), &st) != 0)
            continue; // reported above
        const struct stat &b = before[n.origin];
        std::string what;
        if (st.st_ino != b.st_ino)
            what += " inode";
        if (st.st_mtim.tv_sec != b.st_mtim.tv_sec || st.st_mtim.tv_nsec != b.st_mtim.tv_nsec)
            what += " mtime";
        if (st.st_mode != b.st_mode)
            what += " mode";
        if (st.st_uid != b.st_uid)
            what += " uid";
        if (!n.dir && st.st_size != b.st_size)
            what += " size";
        if (!what.empty())
            r << "  untouched " << (n.dir ? "directory " : "file ") << now << " changed:" << what
              << (n.dir ? "" : " (" + std::to_string(n.data.size()) + " bytes)") << "\n";
    }
    r << checkpoints;
    out.report += r.str();
    out.failed = !r.str().empty();
    if (out.failed && !said.empty())
        out.report += "  write-back said:\n" + said;
    return out;
}

// ---- Shrinking: delta debugging over the operations, then over the tree.

template <class T>
std::vector<T> ddmin(std::vector<T> items, const std::function<bool(const std::vector<T> &)> &fails,
                     int &budget) {
    size_t n = 2;
    while (items.size() >= 2 && budget > 0) {
        const size_t chunk = (items.size() + n - 1) / n;
        bool reduced = false;
        for (size_t start = 0; start < items.size() && budget > 0; start += chunk) {
            std::vector<T> rest(items.begin(), items.begin() + static_cast<long>(start));
            rest.insert(rest.end(),
                        items.begin() + static_cast<long>(std::min(start + chunk, items.size())),
                        items.end());
            --budget;
            if (fails(rest)) {
                items = rest;
                n = std::max<size_t>(n - 1, 2);
                reduced = true;
                break;
            }
        }
        if (!reduced) {
            if (n >= items.size())
                break;
            n = std::min(n * 2, items.size());
        }
    }
    if (items.size() == 1 && budget > 0) {
        --budget;
        if (fails({}))
            items.clear();
    }
    return items;
}

// The kind of a report's first fault ("missing:", "unexpected:", "differs:", ...), which
// shrinking keeps, so that a case does not drift to another fault.
std::string faultKind(const std::string &report) {
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  ", 0) != 0 || line.rfind("   ", 0) == 0)
            continue;
        for (const char *kind : {"missing:", "unexpected:", "unexpected (moved aside):", "differs:",
                                 "untouched file", "untouched directory"})
            if (line.compare(2, std::strlen(kind), kind) == 0)
                return kind;
    }
    return "";
}

bool hasFault(const std::string &report, const std::string &kind) {
    return report.find("\n  " + kind) != std::string::npos || report.rfind("  " + kind, 0) == 0;
}

bool caseFails(const Case &c, const std::string &kind) {
    if (!treeIsComplete(c.tree))
        return false;
    const Outcome o = runCase(c);
    return o.failed && !o.setupFailed && hasFault(o.report, kind);
}

// TESSEL_DIFF_FOCUS names the kind of fault to keep instead of the first one ("differs:", ...).
Case shrink(Case c, int budget = 400) {
    const char *focus = std::getenv("TESSEL_DIFF_FOCUS");
    const std::string kind = focus && *focus ? focus : faultKind(runCase(c).report);
    std::function<bool(const std::vector<Op> &)> opsFail = [&](const std::vector<Op> &ops) {
        Case t = c;
        t.ops = ops;
        return caseFails(t, kind);
    };
    c.ops = ddmin(c.ops, opsFail, budget);
    std::function<bool(const std::vector<TreeItem> &)> treeFails =
        [&](const std::vector<TreeItem> &tree) {
            Case t = c;
            t.tree = tree;
            return caseFails(t, kind);
        };
    c.tree = ddmin(c.tree, treeFails, budget);
    c.ops = ddmin(c.ops, opsFail, budget); // a smaller tree may need fewer operations
    // Smaller sizes and offsets, where the fault stays: easier to read.
    static const uint32_t kSmaller[] = {0, 1, 100, 512, 1024, 2048};
    const auto tryValue = [&](uint32_t &field, uint32_t value) {
        if (value >= field || budget <= 0)
            return;
        const uint32_t old = field;
        field = value;
        --budget;
        if (!caseFails(c, kind))
            field = old;
    };
    for (size_t i = 0; i < c.tree.size(); ++i)
        if (!c.tree[i].dir)
            for (uint32_t v : kSmaller)
                tryValue(c.tree[i].size, v);
    for (size_t i = 0; i < c.ops.size(); ++i) {
        Op &o = c.ops[i];
        if (o.kind == Kind::Create || o.kind == Kind::Rewrite || o.kind == Kind::Append ||
            o.kind == Kind::Overwrite)
            for (uint32_t v : kSmaller)
                tryValue(o.kind == Kind::Overwrite ? o.b : o.a, v);
        if (o.kind == Kind::Overwrite)
            for (uint32_t v : kSmaller)
                tryValue(o.a, v);
    }
    c.ops = ddmin(c.ops, opsFail, budget); // smaller files may need fewer operations
    c.tree = ddmin(c.tree, treeFails, budget);
    // Operations the model now skips say nothing.
    Model m;
    for (const TreeItem &t : c.tree) {
        std::string parent;
        const std::string leaf = splitLeaf(t.path, parent);
        const int id =
            m.add(m.find(parent), leaf, t.dir, t.dir ? "" : patternBytes(t.size, t.seed));
        m.nodes[id].origin = t.path;
        m.nodes[id].originParent = m.find(parent);
    }
    std::vector<Op> kept;
    for (const Op &o : c.ops) {
        Action act;
        if (step(m, o, act))
            kept.push_back(o);
    }
    Case t = c;
    t.ops = kept;
    if (budget-- > 0 && caseFails(t, kind))
        c = t;
    return c;
}

int envInt(const char *name, int fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr int kSanitizerDivisor = 2; // the sanitizers cost a few times the run time
#else
constexpr int kSanitizerDivisor = 1;
#endif

// Runs seeds; returns the failing ones, the first of them shrunk and printed.
// With checkpoints, one after every 1 to 3 operations, as the seed says.
Case generateWith(uint64_t seed, Writer writer, int fat, bool checkpoints) {
    Case c = generate(seed, writer, fat);
    if (checkpoints)
        c.checkpoint_every = 1 + static_cast<int>(seed % 3);
    return c;
}

void runSeeds(Writer writer, int fat, uint64_t first, int count, bool checkpoints = false) {
    std::vector<uint64_t> failing;
    std::string firstReport;
    for (int i = 0; i < count; ++i) {
        const Case c = generateWith(first + i, writer, fat, checkpoints);
        const Outcome o = runCase(c);
        if (o.setupFailed)
            ADD_FAILURE() << "seed " << first + i << ": " << o.report;
        else if (o.failed) {
            if (failing.empty())
                firstReport = o.report;
            failing.push_back(first + i);
        }
    }
    if (failing.empty())
        return;
    std::string seeds;
    for (uint64_t s : failing)
        seeds += " " + std::to_string(s);
    std::string shrunk;
    if (envInt("TESSEL_DIFF_SHRINK", 1)) {
        // mtools runs cost several times ours: a smaller budget keeps a failing run short.
        Case small = shrink(generateWith(failing[0], writer, fat, checkpoints),
                            writer == Writer::Own ? 300 : 120);
        small.name = "Seed" + std::to_string(failing[0]) + "Fat" + std::to_string(fat) +
                     writerCaseName(writer);
        shrunk = "\nshrunk:\n" + printCase(small) + runCase(small, true).report;
    }
    ADD_FAILURE() << failing.size() << " of " << count << " seeds fail (writer "
                  << writerName(writer) << ", FAT" << fat << "):" << seeds << "\nseed "
                  << failing[0] << " (again: TESSEL_DIFF_SEED=" << failing[0]
                  << " TESSEL_DIFF_WRITER=" << writerName(writer) << " TESSEL_DIFF_FAT=" << fat
                  << " writeback_diff_test --gtest_filter=WritebackDiffTool.Seed):\n"
                  << firstReport << shrunk;
}

// ---- Regression cases found by the random test, shrunk. Each shows one fault of today's
// write-back; all are to pass once it keeps its promise.

struct Regression {
    const char *name;
    const char *promise; // what the write-back promises that this case checks
    Writer writer;
    int fat;
    std::vector<TreeItem> tree;
    std::vector<Op> ops;
};

void PrintTo(const Regression &r, std::ostream *os) {
    *os << r.name;
}

const std::vector<Regression> kRegressions = {
    // Names shown by a short entry with the lower-case flags, no long name.
    {"RenameOverAFileKeepsTheCaseFlagsItWasGiven",
     "3: a name the guest stores with the case flags keeps the case they give, also over the "
     "short name of the file it replaces",
     Writer::Mtools,
     12,
     {F("b2.DAT", 0, 40), F("readme.bin", 0, 93, true)},
     {op::Rename("b2.DAT", "readme.bin")}},
    {"BareShortNamesKeepTheSpellingOfTheirObjects",
     "3: an 8.3-only guest's names keep the host's spelling where they name the object",
     Writer::Own83,
     16,
     {F("notes.txt", 2000, 1), F("Readme.md", 700, 2), D("docs"), F("docs/A.c", 0, 3)},
     {op::Rename("notes.txt", "x.txt"), op::Rename("x.txt", "notes.txt"),
      op::Move("Readme.md", "docs"), op::Delete("docs/A.c"), op::Create("docs/a.c", 10, 4)}},
    // mren carries the old entry's case flags over: a lower-case extension flag on a name
    // without an extension says no case, and the name keeps the spelling of the one it replaces.
    {"RenameOverAFileCarryingAnExtensionFlag",
     "3: a short name that says no case keeps the host's spelling of the object it replaces",
     Writer::Mtools,
     16,
     {F("Q9.c", 0, 925), F("a", 0, 540, true)},
     {op::Rename("Q9.c", "a")}},
    // The same, where the bare entry keeps its file's clusters (saved anew into the clusters it
    // freed): the file takes its bare name and the spelling goes to the other entry.
    {"BareNameOfARewriteLeavesTheSpellingAnotherEntryShows",
     "3: a bare name keeps the host's spelling of its own object only where no other entry of "
     "the directory shows that spelling",
     Writer::Own83,
     16,
     {F("A2.txt", 0, 693), F("Notes", 1, 884), F("x.bin", 0, 393), D("DATA8.C")},
     {op::Delete("x.bin"), op::Move("A2.txt", "DATA8.C"), op::Delete("Notes"),
      op::Create("Notes", 1, 835), op::Mkdir("ReAdMe.tXt"), op::Mkdir("B2.txt")}},
    // Two files rewritten in place that swap names: each new version waits for the other's old
    // one to leave the name.
    {"RewrittenFilesSwapNames",
     "1: every object the guest changed ends exactly as the guest left it",
     Writer::Own,
     32,
     {F("first.txt", 3000, 1), F("second.txt", 5000, 2)},
     {op::Overwrite("first.txt", 10, 100, 3), op::Overwrite("second.txt", 4000, 600, 4),
      op::Rename("first.txt", "t.txt"), op::Rename("second.txt", "first.txt"),
      op::Rename("t.txt", "second.txt")}},
    // An 8.3-only guest's short entry whose checksum happens to match long-name entries left
    // behind takes them up: the disk shows an old long name beside a bare one.
    {"BareNameLeavesTheSpellingAnotherEntryShows",
     "3: a bare name takes the host's spelling of the object it replaces only where no other "
     "entry of the directory shows that spelling",
     Writer::Own83,
     16,
     {F("Q0", 0, 580), D("RePoRt.tXt"), D("RePoRt.tXt/README.BIN"), F("Q.TxT", 0, 120, true)},
     {op::Rename("Q0", "Q.TxT"), op::Move("RePoRt.tXt/README.BIN", "")}},
    {"NameTakenUpByAnOldLongNameKeepsBothFiles",
     "1: two entries shown under one name ignoring case both land, neither lost",
     Writer::Own83,
     16,
     {F("DaTa.c", 0, 505), F("NoTeS6.mD", 1, 26, true)},
     {op::Rename("NoTeS6.mD", "DaTa.c"), op::Create("b.bin", 0, 6)}},
    {"AmbiguousNameIsNotUsedByTheGuest",
     "1: a rename that takes up an old long name, then a delete, lose nothing else",
     Writer::Own83,
     32,
     {D("notes.md"), D("notes.md/X.Md"), F("notes.md/X.Md/Img2.bin", 0, 262),
      F("notes.md/X.Md/notes7.txt", 1, 303)},
     {op::Rename("notes.md/X.Md/Img2.bin", "DATA.TXT"),
      op::Rename("notes.md/X.Md/notes7.txt", "Img2.bin"),
      op::Rename("notes.md/X.Md/DATA.TXT", "notes7.txt"), op::Delete("notes.md/X.Md/Img2.bin")}},
    {"DirectoryMadeInADeletedOnesClusterIsThatOne",
     "3: a directory made anew under a deleted one's name, in its cluster, keeps the host's "
     "spelling",
     Writer::Own83,
     12,
     {D("Q.txt"), D("Q.txt/a.txt")},
     {op::DeleteTree("Q.txt/a.txt"), op::Mkdir("A.TxT")}},
    {"SaveAnewInARenamedDirectoryKeepsTheSpelling",
     "3: a file saved anew in a directory the guest renamed keeps the host's spelling",
     Writer::Own83,
     16,
     {D("cafe.txt"), F("cafe.txt/B.txt", 1, 523)},
     {op::Rename("cafe.txt", "Readme18"), op::Delete("Readme18/B.txt"),
      op::Create("Readme18/B.txt", 1, 10)}},
    // Empty files (first cluster 0).
    {"EmptyFileLeftAloneIsRecreated",
     "2: an empty file the guest did not touch keeps its inode and mtime",
     Writer::Own,
     32,
     {F("SUMMARY.TXT", 2994, 472), F("empty.txt", 0)},
     {op::Delete("SUMMARY.TXT")}},
    {"EmptyFileDeleted",
     "4: an empty file the guest deleted does not come back",
     Writer::Own,
     16,
     {F("empty.txt", 0), F("other.txt", 100)},
     {op::Delete("empty.txt")}},
    {"EmptyFileRenamed",
     "4: a renamed empty file leaves no file under its old name",
     Writer::Own,
     32,
     {D("dir"), F("dir/MAKEFILE.TEXT", 0)},
     {op::Rename("dir/MAKEFILE.TEXT", "DATA.C")}},
    {"DeleteEmptyFileLosesNeighbour",
     "2: a file the guest did not touch is not deleted",
     Writer::Own,
     16,
     {F("MaKeFiLe.c", 0, 30), F("MAKEFILE2.C", 1, 642)},
     {op::Delete("MaKeFiLe.c")}},
    {"MtoolsDeleteEmptyFileLosesNeighbour",
     "2: a file the guest did not touch is not deleted",
     Writer::Mtools,
     16,
     {F("MaKeFiLe.c", 0, 30), F("MAKEFILE2.C", 1, 642)},
     {op::Delete("MaKeFiLe.c")}},
    // Names.
    {"CaseOnlyRenameOfFile",
     "1: the file ends under the name the guest gave it",
     Writer::Own,
     16,
     {F("Q6", 2047, 557)},
     {op::Rename("Q6", "q6")}},
    {"CaseOnlyRenameOfDirectory",
     "1: the directory ends under the name the guest gave it",
     Writer::Own,
     12,
     {D("B.JpEg")},
     {op::Rename("B.JpEg", "B.Jpeg")}},
    {"RenameOverExistingFile",
     "4: the renamed file's old name is not left behind",
     Writer::Own,
     12,
     {F("Q", 4095, 699), F("Notes", 1922, 263)},
     {op::Rename("Q", "Notes")}},
    {"SwapNamesThroughThirdName",
     "4: no moved-aside copy is left; each name holds the other's bytes",
     Writer::Own,
     16,
     {F("a.txt", 1500, 1), F("b.txt", 2500, 2)},
     {op::Rename("a.txt", "t.txt"), op::Rename("b.txt", "a.txt"), op::Rename("t.txt", "b.txt")}},
    // Contents decided by first cluster, size and date.
    {"InPlaceOverwriteKeepingSizeAndDate",
     "1: bytes rewritten in place under the same date arrive",
     Writer::Own,
     12,
     {F("v2.backup1.DAT", 1025, 102)},
     {op::Overwrite("v2.backup1.DAT", 513, 333, 78)}},
    {"DeleteThenCreateSameClusters",
     "1: a new file in a deleted file's clusters keeps its own bytes",
     Writer::Own,
     16,
     {F("A.TXT", 2048, 1)},
     {op::Delete("A.TXT"), op::Create("NEW.TXT", 2048, 2)}},
    {"DeleteThenCreateSameName",
     "1: a file saved again under its name holds the new bytes",
     Writer::Own,
     12,
     {F("IMG", 1023, 718)},
     {op::Delete("IMG"), op::Create("IMG", 1023, 376)}},
    {"MovedFileRewrittenKeepingSize",
     "1: a moved file rewritten with as many bytes holds the new ones",
     Writer::Own,
     32,
     {D("a"), D("b"), F("b/Img8.bin", 1, 561)},
     {op::Move("b/Img8.bin", "a"), op::Rewrite("a/Img8.bin", 1, 448)}},
    {"NewFilesInClustersOfDeletedFiles",
     "1: new files in freed clusters hold their own bytes",
     Writer::Own,
     16,
     {F("a.jpeg", 511, 575, true), F("Report19.jpeg", 1025, 949)},
     {op::Rename("Report19.jpeg", "DaTa1.TaR.Gz"), op::Delete("DaTa1.TaR.Gz"), op::Delete("a.jpeg"),
      op::Create("SuMmArY Of rEsUlTs15", 1023, 604), op::Create("b.DAT", 1025, 254)}},
    // Clusters freed and given to other files.
    {"EmptiedFileClusterGivenToNewFile",
     "1: a new file in the cluster of a file emptied before holds its own bytes",
     Writer::Own,
     32,
     {D("dir"), D("dir/sub"), F("dir/sub/makefile", 1, 292)},
     {op::Rewrite("dir/sub/makefile", 0, 938), op::Create("dir/Q", 1, 13)}},
    {"RewriteShorterThenAppendInFreedClusters",
     "4: no moved-aside copy of the rewritten file is left",
     Writer::Own,
     16,
     {D("Data.DAT"), F("Data.DAT/q", 4095, 337, true), F("caf\303\251.c", 0, 946)},
     {op::Rewrite("Data.DAT/q", 2049, 368), op::Append("caf\303\251.c", 273, 345)}},
    {"TruncateThenNewFileRenamedOver",
     "4: no moved-aside copy of the truncated file is left",
     Writer::Own,
     12,
     {D("dir"), F("dir/v2.backup.DAT", 4095, 259, true), F("dir/report.c", 1023, 846, true)},
     {op::Truncate("dir/v2.backup.DAT", 0), op::Create("dir/x8.txt", 2049, 622),
      op::Rename("dir/x8.txt", "report.c")}},
    // Directories.
    {"DeleteTreeThenMkdirReusesCluster",
     "4: the deleted directory's files do not come back in the new one",
     Writer::Own,
     16,
     {D("old"), F("old/Readme", 1962, 372)},
     {op::DeleteTree("old"), op::Mkdir("new")}},
    {"RenameDirectoryThenDeleteInside",
     "4: a file deleted in a renamed directory stays deleted",
     Writer::Own,
     16,
     {D("old"), D("old/sub"), F("old/sub/file.gz", 4095, 758)},
     {op::Rename("old", "new"), op::Delete("new/sub/file.gz")}},
    {"MoveDirectoryThenRenameInsideOverExisting",
     "4: the renamed file's old name is not left behind",
     Writer::Own,
     12,
     {D("Q.c"), D("Makefile.md"), D("Q.c/x.DAT"), F("Q.c/x.DAT/A.JPEG", 1, 865),
      F("Q.c/x.DAT/caf\303\251", 513, 255)},
     {op::Move("Q.c/x.DAT", "Makefile.md"), op::Rename("Makefile.md/x.DAT/A.JPEG", "caf\303\251")}},
    // mtools as the guest: next-fit allocation, whole-file copies, mdel/mmove/mdeltree.
    {"MtoolsDeleteThenCopySameSize",
     "1: the new file holds its own bytes, not the deleted file's",
     Writer::Mtools,
     16,
     {F("A.TXT", 2048, 1)},
     {op::Delete("A.TXT"), op::Create("NEW.TXT", 2048, 2)}},
    {"MtoolsDeletedFileBackWhenAnotherIsSavedAgain",
     "4: a deleted file does not come back",
     Writer::Mtools,
     12,
     {F("Report.c", 4097, 97, true), D("Q.c"), F("Q.c/ARCHIVE.TEXT", 4096, 940)},
     {op::Delete("Report.c"), op::Delete("Q.c/ARCHIVE.TEXT"),
      op::Create("Q.c/ARCHIVE.TEXT", 512, 362)}},
    {"MtoolsRenamedThenDeletedFileComesBack",
     "4: a file renamed and then deleted does not come back",
     Writer::Mtools,
     16,
     {F("DaTa.tExT", 1025, 882, true), D("Data.DAT"), F("Data.DAT/q", 4095, 337, true)},
     {op::Rename("DaTa.tExT", "cafe.tar.gz"), op::Delete("cafe.tar.gz"),
      op::Rewrite("Data.DAT/q", 2049, 368)}},
    {"MtoolsMoveDirectoryThenDeleteInside",
     "4: a file deleted in a moved directory stays deleted",
     Writer::Mtools,
     12,
     {D("a"), D("a/sub"), F("a/sub/Q.bin", 8874, 747), D("b")},
     {op::Move("a/sub", "b"), op::Delete("b/sub/Q.bin")}},
    {"MtoolsMoveOutThenRenameDirectory",
     "4: a file moved out of a renamed directory is not left in it",
     Writer::Mtools,
     32,
     {D("dest"), D("dest/a2.bin"), D("Q.TeXt"), F("Q.TeXt/Img8.bin", 1, 561)},
     {op::Move("Q.TeXt/Img8.bin", "dest"), op::Create("dest/a2.bin/A.MD", 100, 59),
      op::Rewrite("dest/Img8.bin", 1, 448), op::Rename("Q.TeXt", "X11.BiN")}},
    {"MtoolsRewriteShorterThenSaveAnother",
     "4: no moved-aside copy of the rewritten file is left",
     Writer::Mtools,
     32,
     {F("notes", 3784, 153, true), F("q0", 3072, 206)},
     {op::Rewrite("q0", 1023, 95), op::Delete("notes"), op::Create("notes", 6820, 660)}},
    {"FileInADeletedDirectorysClusterUnderItsName",
     "1: a file created where the guest deleted a directory of the same name replaces it",
     Writer::Own,
     12,
     {D("my file.text")},
     {op::DeleteTree("my file.text"), op::Create("my file.text", 1, 54)}},
    {"RenamedDirectoryHoldingOnlyAnEmptyFile",
     "2: a directory renamed keeps its objects: its empty file keeps its inode and stamp",
     Writer::Own,
     16,
     {D("NOTES14.JPEG"), F("NOTES14.JPEG/ReAdMe.c", 0, 843)},
     {op::Rename("NOTES14.JPEG", "ImG.TxT")}},
    {"MovedDirectoryHoldingOnlyAnEmptyFile",
     "2: a directory moved keeps its objects: its empty file keeps its inode and stamp",
     Writer::Own,
     32,
     {D("my file.jpeg"), D("my file.jpeg/X13.DAT"), F("my file.jpeg/X13.DAT/Notes.text", 0, 788)},
     {op::Rename("my file.jpeg/X13.DAT", "X13.dAT")}},
    {"MtoolsEmptyFileRenamed",
     "4: a renamed empty file leaves no file under its old name",
     Writer::Mtools,
     16,
     {F("Q.c", 0, 389)},
     {op::Rename("Q.c", "Readme")}},
    {"MtoolsCopyOverSameSizeSameDate",
     "1: a file copied over with as many bytes under the same date holds the new ones",
     Writer::Mtools,
     16,
     {F("f.txt", 3000, 1)},
     {op::Overwrite("f.txt", 10, 100, 2)}},
};

} // namespace

// Our writer checked on its own, on image files from mkfs.fat: fsck.fat finds nothing and mtools
// reads back the tree the model expects. The differential test trusts it.
class FatWriterSelfCheck : public testing::TestWithParam<int> {};

TEST_P(FatWriterSelfCheck, RandomOperationsLeaveASoundFileSystem) {
    const int fat = GetParam();
    const int seeds = std::max(2, envInt("TESSEL_DIFF_SELFCHECK_SEEDS", 12) / kSanitizerDivisor);
    for (int s = 0; s < seeds; ++s) {
        const Case c = generate(5000 + s, Writer::Own, fat);
        TempDir work;
        const std::string image = (work / "fs.img").string();
        // 1 KiB clusters, as on the virtual disks; sizes in KiB that suit each type.
        const std::string size = fat == 12 ? "2048" : fat == 16 ? "8192" : "70000";
        auto mk = testsupport::run("mkfs.fat -F " + std::to_string(fat) + " -s 2 -S 512 -C " +
                                   shellQuote(image) + " " + size);
        ASSERT_EQ(mk.status, 0) << mk.output;
        testsupport::ImageDevice dev(image);
        ASSERT_TRUE(dev.ok());
        testsupport::FatWriter w(dev.reader(), dev.writer(), testsupport::fatStampOf(kFixedTime));
        ASSERT_TRUE(w.mount()) << w.error();
        ASSERT_EQ(w.fatType(), fat);
        Model m;
        for (const TreeItem &t : c.tree) {
            std::string parent;
            const std::string leaf = splitLeaf(t.path, parent);
            const std::string data = t.dir ? "" : patternBytes(t.size, t.seed);
            m.add(m.find(parent), leaf, t.dir, data);
            ASSERT_TRUE(t.dir ? w.makeDirectory(t.path) : w.createFile(t.path, data))
                << t.path << ": " << w.error();
        }
        std::string done;
        for (const Op &o : c.ops) {
            Action act;
            if (!step(m, o, act))
                continue;
            done += printOp(o) + "\n";
            ASSERT_TRUE(applyOwn(w, act)) << printOp(o) << ": " << w.error();
            if (act.kind == Kind::Create || act.kind == Kind::Rewrite || act.kind == Kind::Append ||
                act.kind == Kind::Overwrite || act.kind == Kind::Truncate) {
                std::string back;
                ASSERT_TRUE(w.readFile(act.path, back)) << w.error();
                ASSERT_EQ(back, act.whole) << act.path;
            }
        }
        ASSERT_TRUE(w.flush()) << w.error();
        auto fsck = testsupport::run("fsck.fat -n " + shellQuote(image));
        EXPECT_EQ(fsck.status, 0) << "seed " << 5000 + s << "\n" << fsck.output << done;
        const fs::path out = work / "out";
        fs::create_directories(out);
        auto copy = testsupport::run("LC_ALL=C.UTF-8 mcopy -s -n -m -i " + shellQuote(image) +
                                     " '::*' " + shellQuote(out.string()));
        EXPECT_EQ(copy.status, 0) << copy.output;
        std::map<std::string, std::string> want;
        for (size_t i = 1; i < m.nodes.size(); ++i)
            if (m.nodes[i].alive)
                want[m.path(static_cast<int>(i))] = m.nodes[i].dir ? "<dir>" : m.nodes[i].data;
        EXPECT_EQ(contentsTree(out, false), want) << "seed " << 5000 + s << "\n" << done;
        // Every entry carries the one date (entry lines are the ones with a time of day).
        auto listing =
            testsupport::run("LC_ALL=C.UTF-8 mdir -/ -a -i " + shellQuote(image) + " ::/");
        const std::string date = fixedTimeText().substr(0, 10);
        std::istringstream lines(listing.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] == ' ' || line.find(':') == std::string::npos ||
                line.rfind("Directory for", 0) == 0 || line.rfind("Total", 0) == 0)
                continue;
            EXPECT_NE(line.find(date), std::string::npos) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fat, FatWriterSelfCheck, testing::Values(12, 16, 32),
                         [](const testing::TestParamInfo<int> &i) {
                             return "Fat" + std::to_string(i.param);
                         });

// Our writer's short names follow the published algorithm.
TEST(FatWriterSelfCheck, ShortNamesAndTails) {
    TempDir work;
    const std::string image = (work / "fs.img").string();
    ASSERT_EQ(testsupport::run("mkfs.fat -F 12 -C " + shellQuote(image) + " 1024").status, 0);
    testsupport::ImageDevice dev(image);
    testsupport::FatWriter w(dev.reader(), dev.writer(), testsupport::fatStampOf(kFixedTime));
    ASSERT_TRUE(w.mount()) << w.error();
    for (const char *name :
         {"README.TXT", "readme2.txt", "A long file name.text", "A long file name.text2",
          "my file.c", "archive.tar.gz", ".profile", "list+1", "caf\xc3\xa9.txt"})
        ASSERT_TRUE(w.createFile(name, "x")) << name << ": " << w.error();
    ASSERT_TRUE(w.flush());
    auto dir = testsupport::run("LC_ALL=C.UTF-8 mdir -i " + shellQuote(image) + " ::/");
    for (const char *alias : {"README   TXT", "README2  TXT", "ALONGF~1 TEX", "ALONGF~2 TEX",
                              "MYFILE~1 C", "ARCHIV~1 GZ", "PROFIL~1", "LIST_1~1", "CAF_~1   TXT"})
        EXPECT_NE(dir.output.find(alias), std::string::npos) << alias << "\n" << dir.output;
    // A case-only rename keeps the object and changes its name.
    ASSERT_TRUE(w.rename("my file.c", "MY FILE.C")) << w.error();
    const std::vector<testsupport::FatWriter::Item> list = w.list(w.root());
    EXPECT_TRUE(std::any_of(list.begin(), list.end(), [](const testsupport::FatWriter::Item &l) {
        return l.name == "MY FILE.C";
    }));
}

// A few hundred seeds across both writers and the three FAT types.
struct SeedRun {
    Writer writer;
    int fat;
    int seeds;
};
void PrintTo(const SeedRun &r, std::ostream *os) {
    *os << writerName(r.writer) << " FAT" << r.fat << ", " << r.seeds << " seeds";
}
class WritebackDiff : public testing::TestWithParam<SeedRun> {};

TEST_P(WritebackDiff, RandomSeeds) {
    const SeedRun p = GetParam();
    const int scale = envInt("TESSEL_DIFF_SEEDS_PERCENT", 100);
    const int count = std::max(1, p.seeds * scale / 100 / kSanitizerDivisor);
    runSeeds(p.writer, p.fat, 1000 * static_cast<uint64_t>(p.fat), count);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, WritebackDiff,
    testing::Values(SeedRun{Writer::Own, 12, 100}, SeedRun{Writer::Own, 16, 100},
                    SeedRun{Writer::Own, 32, 80}, SeedRun{Writer::Own83, 12, 60},
                    SeedRun{Writer::Own83, 16, 60}, SeedRun{Writer::Own83, 32, 40},
                    SeedRun{Writer::Mtools, 12, 40}, SeedRun{Writer::Mtools, 16, 40},
                    SeedRun{Writer::Mtools, 32, 30}),
    [](const testing::TestParamInfo<SeedRun> &i) {
        return std::string(writerName(i.param.writer)) + "Fat" + std::to_string(i.param.fat);
    });

// The same with checkpoints between the operations: after each, the host holds what the guest's
// disk holds, and the disk reads the same as before it.
class WritebackDiffCheckpoints : public testing::TestWithParam<int> {};

TEST_P(WritebackDiffCheckpoints, RandomSeeds) {
    const int fat = GetParam();
    const int scale = envInt("TESSEL_DIFF_SEEDS_PERCENT", 100);
    // FAT32's disk is large: reading it whole around each checkpoint costs the most.
    const int count = std::max(1, (fat == 32 ? 10 : 40) * scale / 100 / kSanitizerDivisor);
    checkpointsDone = checkpointsSkipped = 0;
    runSeeds(Writer::Own, fat, 7000 + 1000 * static_cast<uint64_t>(fat), count, true);
    // Between whole operations the disk is consistent: checkpoints there write back.
    EXPECT_GT(checkpointsDone, count);
    std::cout << checkpointsDone << " checkpoints wrote back, " << checkpointsSkipped
              << " were skipped\n";
}

INSTANTIATE_TEST_SUITE_P(Own, WritebackDiffCheckpoints, testing::Values(12, 16, 32),
                         [](const testing::TestParamInfo<int> &i) {
                             return "Fat" + std::to_string(i.param);
                         });

class WritebackDiffRegression : public testing::TestWithParam<Regression> {};

TEST_P(WritebackDiffRegression, KeepsThePromise) {
    const Regression &reg = GetParam();
    const Outcome o = runCase(Case{reg.name, reg.writer, reg.fat, reg.tree, reg.ops});
    EXPECT_FALSE(o.failed) << "promise: " << reg.promise << "\n" << o.report;
}

INSTANTIATE_TEST_SUITE_P(Cases, WritebackDiffRegression, testing::ValuesIn(kRegressions),
                         [](const testing::TestParamInfo<Regression> &i) {
                             return std::string(i.param.name);
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WritebackDiffRegression);

// One seed, printed as a case (TESSEL_DIFF_SEED, TESSEL_DIFF_WRITER, TESSEL_DIFF_FAT), shrunk
// when it fails unless TESSEL_DIFF_SHRINK=0.
TEST(WritebackDiffTool, Seed) {
    const char *seedText = std::getenv("TESSEL_DIFF_SEED");
    if (!seedText)
        GTEST_SKIP() << "run by hand: set TESSEL_DIFF_SEED";
    const char *w = std::getenv("TESSEL_DIFF_WRITER");
    const Writer writer = writerNamed(w ? w : "own");
    const uint64_t seed = std::strtoull(seedText, nullptr, 10);
    static const int fats[] = {12, 16, 32};
    const int fat = envInt("TESSEL_DIFF_FAT", fats[seed % 3]);
    const Case c = generateWith(seed, writer, fat, envInt("TESSEL_DIFF_CHECKPOINTS", 0) != 0);
    std::cout << printCase(c);
    const Outcome o = runCase(c, true);
    std::cout << o.report;
    if (!o.failed)
        return;
    if (envInt("TESSEL_DIFF_SHRINK", 1)) {
        Case small = shrink(c, envInt("TESSEL_DIFF_SHRINK_BUDGET", 600));
        small.name =
            "Seed" + std::to_string(seed) + "Fat" + std::to_string(fat) + writerCaseName(writer);
        std::cout << "shrunk:\n" << printCase(small) << runCase(small, true).report;
    }
    ADD_FAILURE() << "seed " << seed << " fails";
}

// Seeds from a random start until TESSEL_DIFF_SECONDS have passed (scripts/diff-writeback.sh).
TEST(WritebackDiffTool, Long) {
    const int seconds = envInt("TESSEL_DIFF_SECONDS", 0);
    if (seconds <= 0)
        GTEST_SKIP() << "run by hand: set TESSEL_DIFF_SECONDS";
    const char *w = std::getenv("TESSEL_DIFF_WRITER");
    const std::string which = w ? w : "both";
    uint64_t seed = std::strtoull(
        std::getenv("TESSEL_DIFF_START") ? std::getenv("TESSEL_DIFF_START") : "0", nullptr, 10);
    if (seed == 0)
        seed = std::random_device{}() % 1000000000ull + 100000;
    const int shrinkLimit =
        envInt("TESSEL_DIFF_SHRINK", 1) ? envInt("TESSEL_DIFF_SHRINK_MAX", 3) : 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int runs = 0, failures = 0, toolFailures = 0;
    std::cout << "starting at seed " << seed << "\n";
    for (; std::chrono::steady_clock::now() < end; ++seed) {
        static const int fats[] = {12, 16, 32};
        const int fat = fats[seed % 3];
        // Both: mtools on a quarter of the seeds (being slower), the 8.3 writer on another.
        const Writer writer = which != "both"       ? writerNamed(which)
                              : (seed / 3) % 4 == 0 ? Writer::Mtools
                              : (seed / 3) % 4 == 1 ? Writer::Own83
                                                    : Writer::Own;
        const Case c = generateWith(seed, writer, fat, envInt("TESSEL_DIFF_CHECKPOINTS", 0) != 0);
        const Outcome o = runCase(c);
        ++runs;
        if (!o.failed)
            continue;
        if (o.setupFailed && o.report.find("Assertion") != std::string::npos) {
            // mtools itself stopped on one of its own assertions: no case for the write-back.
            ++toolFailures;
            continue;
        }
        ++failures;
        std::cout << "FAILING SEED " << seed << " (TESSEL_DIFF_SEED=" << seed
                  << " TESSEL_DIFF_WRITER=" << writerName(writer) << " TESSEL_DIFF_FAT=" << fat
                  << ")" << (o.setupFailed ? " [setup]" : "") << "\n"
                  << o.report << std::flush;
        if (failures <= shrinkLimit && !o.setupFailed) {
            Case small = shrink(c);
            small.name = "Seed" + std::to_string(seed) + "Fat" + std::to_string(fat) +
                         writerCaseName(writer);
            std::cout << "shrunk:\n" << printCase(small) << runCase(small).report << std::flush;
        }
    }
    std::cout << runs << " seeds run, " << failures << " failed, " << toolFailures
              << " stopped by an mtools assertion of its own\n";
    EXPECT_EQ(failures, 0);
}
