// The user's trash: what a settled write-back would remove for good goes where the desktop's
// file manager can restore it. On Haiku, the volume's Trash folder with the original path in the
// attribute Tracker reads; elsewhere the freedesktop.org trash of the object's volume (the home
// trash when it lies there, else the volume's own), with a .trashinfo file written before the
// object moves in, so that a file manager never sees an object it cannot restore.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

#include <dos/dirfd.h>
#include <proto/dos.h>

#include "writeback/writeback.h"

namespace {

std::string parentPath(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

std::string baseName(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The device of the object at an absolute path, or of the nearest of its parents that exists.
bool deviceOf(std::string path, dev_t &dev) {
    for (;;) {
        struct stat st;
        if (DosStatAt(AT_FDCWD, path.c_str(), &st, 0) == 0) {
            dev = st.st_dev;
            return true;
        }
        if (errno != ENOENT || path == "/")
            return false;
        path = parentPath(path);
    }
}

// Whether dirFd's `name` is a directory we may use as a trash: not a link, ours, and, when asked,
// with the sticky bit (a volume's shared .Trash).
bool fitForTrash(int dirFd, const char *name, bool sticky) {
    struct stat st;
    if (DosStatAt(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!S_ISDIR(st.st_mode) || (sticky && !(st.st_mode & S_ISVTX)) ||
        (!sticky && st.st_uid != DosGetEuid())) {
        errno = EPERM;
        return false;
    }
    return true;
}

#ifndef __HAIKU__

// The directory at an absolute path, made (private to the user) where it is missing, without
// following a link at its last step; -1 with errno.
int openMadeDir(const std::string &path, bool make) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
    int fd = DosOpenAt(AT_FDCWD, path.c_str(), flags);
    if (fd >= 0 || errno != ENOENT || !make || path == "/")
        return fd;
    const std::string name = baseName(path);
    const ClosingFd parent(openMadeDir(parentPath(path), true));
    if (parent.fd < 0)
        return -1;
    if (DosMkdirAt(parent.fd, name.c_str(), 0700) == 0 || errno == EEXIST)
        fd = DosOpenAt(parent.fd, name.c_str(), flags);
    return fd;
}

// "files" and "info" of a trash directory, made where missing.
bool openCan(int trashFd, int &files, int &info) {
    for (const char *name : {"files", "info"})
        if (DosMkdirAt(trashFd, name, 0700) != 0 && errno != EEXIST)
            return false;
    files = DosOpenAt(trashFd, "files", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    info = files < 0 ? -1 : DosOpenAt(trashFd, "info", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    return info >= 0;
}

// Percent-encoded as a URI path: unreserved characters and '/' as they are.
std::string percentEncoded(const std::string &path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char ch : path) {
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
            std::strchr("-._~/", ch) != nullptr) {
            out += static_cast<char>(ch);
        } else {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
    return out;
}

#endif

// The path without links, as a lock names it; path itself when it has none.
std::string canonicalPath(const std::string &path) {
    std::string out = path;
    const BPTR lock = Lock(path.c_str(), SHARED_LOCK);
    if (lock) {
        char buffer[PATH_MAX];
        if (NameFromLock(lock, buffer, sizeof buffer))
            out = buffer;
        UnLock(lock);
    }
    return out;
}

} // namespace

std::string homeTrashPath() {
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/Trash";
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/share/Trash";
    return {};
}

std::string volumeTop(const std::string &dir, dev_t dev) {
    std::string top = dir;
    while (top != "/") {
        const std::string up = parentPath(top);
        struct stat st;
        if (DosStatAt(AT_FDCWD, up.c_str(), &st, 0) != 0 || st.st_dev != dev)
            break;
        top = up;
    }
    return top;
}

std::string chooseTrash(const std::string &dir, dev_t dev, bool make) {
    const std::string home = homeTrashPath();
    dev_t homeDev;
    if (!home.empty() && deviceOf(home, homeDev) && homeDev == dev)
        return home;
    // Walked up without links, which would lead the walk off the volume.
    const std::string top = volumeTop(canonicalPath(dir), dev);
    const std::string base = top == "/" ? std::string() : top;
    const std::string uid = std::to_string(static_cast<unsigned long>(DosGetEuid()));
    // A shared .Trash with the sticky bit, as an administrator may have made it.
    const ClosingFd topFd(DosOpenAt(AT_FDCWD, top.c_str(), O_RDONLY | O_DIRECTORY));
    bool shared = false;
    if (topFd.fd >= 0 && fitForTrash(topFd.fd, ".Trash", true)) {
        const ClosingFd sharedFd(
            DosOpenAt(topFd.fd, ".Trash", O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        if (sharedFd.fd >= 0 && make)
            shared = (DosMkdirAt(sharedFd.fd, uid.c_str(), 0700) == 0 || errno == EEXIST) &&
                     fitForTrash(sharedFd.fd, uid.c_str(), false);
        else if (sharedFd.fd >= 0) // would be made
            shared = fitForTrash(sharedFd.fd, uid.c_str(), false) || errno == ENOENT;
    }
    return shared ? base + "/.Trash/" + uid : base + "/.Trash-" + uid;
}

std::string absoluteDirectoryPath(const std::string &path) {
    return !path.empty() && path[0] == '/' ? path : canonicalPath(path);
}

UserTrash::~UserTrash() {
    for (auto &entry : cans_) {
        DosCloseFd(entry.second.files);
        DosCloseFd(entry.second.info);
    }
}

bool UserTrash::usable(const std::string &dir, dev_t dev) {
    auto found = cans_.find(dev);
    if (found != cans_.end()) {
        errno = found->second.error;
        return found->second.files >= 0;
    }
    Can &can = cans_[dev]; // first: what is opened below is closed with the trash
#ifdef __HAIKU__
    (void)dir;
    char path[PATH_MAX];
    if (DosFindTrash(dev, path, sizeof path) == 0)
        can.files = DosOpenAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY);
#else
    const std::string path = chooseTrash(dir, dev);
    const ClosingFd trashFd(openMadeDir(path, true));
    struct stat st;
    if (trashFd.fd >= 0 && DosFstat(trashFd.fd, &st) == 0 && st.st_dev != dev) {
        errno = EXDEV; // a link led elsewhere: a move there would copy
    } else if (trashFd.fd >= 0 && !openCan(trashFd.fd, can.files, can.info)) {
        DosCloseFd(can.files);
        can.files = -1;
    }
    if (can.files >= 0 && can.info < 0) {
        DosCloseFd(can.files);
        can.files = -1;
    }
#endif
    can.error = can.files >= 0 ? 0 : (errno ? errno : EIO);
    errno = can.error;
    return can.files >= 0;
}

bool trashWouldTake(const std::string &dir, dev_t dev) {
#ifdef __HAIKU__
    (void)dir;
    (void)dev;
    return true; // every volume has its Trash folder, made when missing
#else
    const std::string path = chooseTrash(dir, dev, false);
    if (path.empty())
        return false;
    // The trash as it is, or the nearest of the directories above it that exists, where what is
    // missing would be made.
    const ProcessIdentity identity = currentIdentity();
    for (std::string at = path;; at = parentPath(at)) {
        struct stat st;
        if (DosStatAt(AT_FDCWD, at.c_str(), &st, at == path ? AT_SYMLINK_NOFOLLOW : 0) == 0) {
            if (!S_ISDIR(st.st_mode) || st.st_dev != dev)
                return false;
            if (at != path)
                return mayWrite(st, identity);
            bool missing = false;
            for (const char *can : {"/files", "/info"}) {
                struct stat inside;
                if (DosStatAt(AT_FDCWD, (path + can).c_str(), &inside, AT_SYMLINK_NOFOLLOW) != 0)
                    missing = true;
                else if (!S_ISDIR(inside.st_mode))
                    return false;
            }
            return !missing || mayWrite(st, identity);
        }
        if (errno != ENOENT || at == "/")
            return false;
    }
#endif
}

bool UserTrash::put(int dirFd, const char *name, const std::string &original, dev_t dev, bool link,
                    std::string *entryOut) {
    if (!usable(parentPath(original), dev))
        return false;
    const Can &can = cans_[dev];
    // The name it had, cut at a character so that ".NNN.trashinfo" still fits.
    std::string base = baseName(original);
    if (base.size() > 200) {
        size_t cut = 200;
        while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80)
            --cut;
        base.resize(cut);
    }
    for (unsigned k = 1; k < 1000; ++k) {
        const std::string entry = k == 1 ? base : base + "." + std::to_string(k);
#ifdef __HAIKU__
        struct stat st;
        if (DosStatAt(can.files, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        const int moved = link ? DosLinkAt(dirFd, name, can.files, entry.c_str())
                               : DosRenameAtNoReplace(dirFd, name, can.files, entry.c_str());
        if (moved != 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        // Where Tracker's "Restore" puts it back; a link cannot be opened to take it.
        const int fd = DosOpenAt(can.files, entry.c_str(), O_RDONLY | O_NOFOLLOW);
        if (fd >= 0)
            DosWriteStringAttr(fd, "_trk/original_path", original.c_str());
        DosCloseFd(fd);
        if (entryOut)
            *entryOut = entry;
        return true;
#else
        const std::string infoName = entry + ".trashinfo";
        const time_t now = std::time(nullptr);
        struct tm local;
        char date[32] = "";
        if (localtime_r(&now, &local))
            std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
        const std::string text =
            "[Trash Info]\nPath=" + percentEncoded(original) + "\nDeletionDate=" + date + "\n";
        const int fd = DosOpenAt(can.info, infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        const bool written = DosWriteAll(fd, text.data(), text.size()) >= 0;
        int error = errno;
        DosCloseFd(fd);
        int moved = -1;
        if (written) {
            moved = link ? DosLinkAt(dirFd, name, can.files, entry.c_str())
                         : DosRenameAtNoReplace(dirFd, name, can.files, entry.c_str());
            error = errno;
        }
        if (moved == 0) {
            if (entryOut)
                *entryOut = entry;
            return true;
        }
        DosUnlinkAt(can.info, infoName.c_str(), 0);
        errno = error;
        if (!written || error != EEXIST)
            return false;
#endif
    }
    errno = EEXIST;
    return false;
}

bool UserTrash::takeBack(const std::string &entry, dev_t dev, ino_t ino) {
    const auto found = cans_.find(dev);
    if (found == cans_.end() || found->second.files < 0)
        return false;
    const Can &can = found->second;
    struct stat st;
    if (DosStatAt(can.files, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != dev ||
        st.st_ino != ino || DosUnlinkAt(can.files, entry.c_str(), 0) != 0)
        return false;
#ifndef __HAIKU__
    DosUnlinkAt(can.info, (entry + ".trashinfo").c_str(), 0);
#endif
    return true;
}
