// Names in the host directory: those the disk keeps for itself (never shown to the guest, never
// taken from it), those the host can take, and how a name is shown in a diagnostic.
#include <cctype>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>

#include <dos/dirfd.h>

#include "disk/disk.h"

bool isWriteBackCopy(const char *name) {
    // ".vvfat-" eight upper-case hex digits ".tmp", as createTempFile names them.
    if (std::strlen(name) != 19 || std::strncmp(name, ".vvfat-", 7) != 0 ||
        std::strcmp(name + 15, ".tmp") != 0)
        return false;
    for (int i = 7; i < 15; ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i])) && (name[i] < 'A' || name[i] > 'F'))
            return false;
    return true;
}

bool isJournalName(const char *name) {
    return std::strcmp(name, JOURNAL_NAME) == 0 ||
           std::strncmp(name, JOURNAL_SET_ASIDE, sizeof JOURNAL_SET_ASIDE - 1) == 0;
}

// A volume's trash at its top, as file managers name it: ".Trash", or ".Trash-" and a user id.
bool isVolumeTrashName(const char *name) {
    if (std::strcmp(name, ".Trash") == 0)
        return true;
    if (std::strncmp(name, ".Trash-", 7) != 0 || name[7] == '\0')
        return false;
    for (const char *c = name + 7; *c; ++c)
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return false;
    return true;
}

bool isKeptAtRoot(const VVFAT *v, const char *name) {
    if (isJournalName(name))
        return true;
    if (!isVolumeTrashName(name))
        return false;
    // Only where the mounted directory is the top of its volume is that the volume's trash.
    struct stat root, parent;
    return DosFstat(v->root_fd, &root) == 0 &&
           DosStatAt(v->root_fd, "..", &parent, AT_SYMLINK_NOFOLLOW) == 0 &&
           (root.st_dev != parent.st_dev || root.st_ino == parent.st_ino);
}

bool isUsableHostName(const std::string &name) {
    // 255 bytes is the longest name POSIX hosts take (NAME_MAX).
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string printableName(const std::string &name) {
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}
