// One walk of a host tree, for comparing it before and after: every object below root by
// relative path, with its kind, its bytes and what lstat says of it. Links are recorded, never
// followed into. The views below are the shapes the suites compare.
#ifndef TESSEL_TESTS_TREE_SNAPSHOT_H
#define TESSEL_TESTS_TREE_SNAPSHOT_H

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

enum class NodeKind { File, Directory, Link, Other };

struct TreeNode {
    NodeKind kind = NodeKind::Other;
    bool reachesDirectory = false; // a directory, or a link to one
    std::string bytes;             // a regular file's contents, read through a link
    std::string target;            // a link's target
    struct stat st {};             // lstat
};

struct SnapshotOptions {
    bool contents = true; // read the bytes of regular files (and of files behind links)
    bool root = false;    // root itself too, as "."
};

using TreeSnapshot = std::map<std::string, TreeNode>;

inline TreeNode snapshotNode(const std::filesystem::path &p, const SnapshotOptions &options) {
    namespace fs = std::filesystem;
    TreeNode n;
    lstat(p.c_str(), &n.st);
    struct stat followed {};
    const bool reaches = stat(p.c_str(), &followed) == 0;
    n.kind = S_ISLNK(n.st.st_mode)   ? NodeKind::Link
             : S_ISDIR(n.st.st_mode) ? NodeKind::Directory
             : S_ISREG(n.st.st_mode) ? NodeKind::File
                                     : NodeKind::Other;
    n.reachesDirectory = reaches && S_ISDIR(followed.st_mode);
    if (n.kind == NodeKind::Link)
        n.target = fs::read_symlink(p).string();
    if (options.contents && reaches && S_ISREG(followed.st_mode))
        n.bytes = readFile(p);
    return n;
}

inline TreeSnapshot takeSnapshot(const std::filesystem::path &root,
                                 const SnapshotOptions &options = {}) {
    namespace fs = std::filesystem;
    TreeSnapshot out;
    if (options.root)
        out["."] = snapshotNode(root, options);
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        struct stat st {};
        if (lstat(it->path().c_str(), &st) == 0) // gone meanwhile: not part of the tree
            out[fs::relative(it->path(), root).string()] = snapshotNode(it->path(), options);
    }
    return out;
}

// Path -> contents, "<dir>" for a directory or a link to one; sorted by path.
inline std::vector<std::pair<std::string, std::string>>
snapshotTree(const std::filesystem::path &root) {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto &[path, n] : takeSnapshot(root))
        out.emplace_back(path, n.reachesDirectory ? "<dir>" : n.bytes);
    return out;
}

// Path -> contents, "<dir>", or "<link>" (with its target when asked).
inline std::map<std::string, std::string> contentsTree(const std::filesystem::path &root,
                                                       bool linkTargets) {
    std::map<std::string, std::string> out;
    for (auto &[path, n] : takeSnapshot(root))
        out[path] = n.kind == NodeKind::Link ? (linkTargets ? "<link " + n.target + ">" : "<link>")
                    : n.reachesDirectory     ? "<dir>"
                                             : n.bytes;
    return out;
}

// The paths where two trees of contents differ, one a line; empty when they are equal.
inline std::string contentsDifference(const std::map<std::string, std::string> &got,
                                      const std::map<std::string, std::string> &want) {
    std::string out;
    for (auto &[path, contents] : got) {
        auto w = want.find(path);
        if (w == want.end())
            out += "  extra: " + path + "\n";
        else if (w->second != contents)
            out += "  differs: " + path + "\n";
    }
    for (auto &[path, contents] : want)
        if (!got.count(path))
            out += "  missing: " + path + "\n";
    return out;
}

// Everything stat says of every object below root (and of root, "."), except the access time
// and, unless asked, the change time: what "untouched" means for a directory.
inline std::map<std::string, std::string> statTree(const std::filesystem::path &root,
                                                   bool withCtime = false) {
    std::map<std::string, std::string> out;
    for (auto &[path, n] : takeSnapshot(root, {.contents = false, .root = true})) {
        const struct stat &st = n.st;
        std::string s = "ino " + std::to_string(st.st_ino) + " mode " + std::to_string(st.st_mode) +
                        " uid " + std::to_string(st.st_uid) + " gid " + std::to_string(st.st_gid) +
                        " links " + std::to_string(st.st_nlink) + " size " +
                        std::to_string(st.st_size) + " mtime " + std::to_string(st.st_mtim.tv_sec) +
                        "." + std::to_string(st.st_mtim.tv_nsec);
        if (withCtime)
            s += " ctime " + std::to_string(st.st_ctim.tv_sec) + "." +
                 std::to_string(st.st_ctim.tv_nsec);
        out[path] = s;
    }
    return out;
}

// The relative paths below root, parents before their children.
inline std::vector<std::string> pathsIn(const std::filesystem::path &root) {
    std::vector<std::string> out;
    for (auto &[path, n] : takeSnapshot(root, {.contents = false}))
        out.push_back(path);
    return out;
}

} // namespace testsupport

#endif
