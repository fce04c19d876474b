// Small helpers of the write-back suites: the order a directory scan meets names, an object's
// size, the failure count of the closing line, a host action at the k-th host call, and the
// process's open descriptors.
#ifndef TESSEL_TESTS_WRITEBACK_CHECKS_H
#define TESSEL_TESTS_WRITEBACK_CHECKS_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "support/guest_session.h"
#include "vvfat.h"
#include "vvfat/writeback/writeback.h"

namespace testsupport {

// The order in which a scan of the directory meets its names.
inline std::vector<std::string> scanOrder(const fs::path &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                out.emplace_back(e->d_name);
        closedir(d);
    }
    return out;
}

inline bool scannedBefore(const fs::path &dir, const std::string &a, const std::string &b) {
    const auto order = scanOrder(dir);
    return std::find(order.begin(), order.end(), a) < std::find(order.begin(), order.end(), b);
}

// -1 when there is no such object.
inline long long sizeOf(const fs::path &p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

// The N of the summary line "VVFAT: write-back: ... N not written back.", or -1 without one.
inline long notWrittenBack(const std::string &out) {
    const std::string head = "VVFAT: write-back: ";
    const size_t at = out.rfind(head);
    if (at == std::string::npos)
        return -1;
    const size_t tail = out.find(" not written back.", at);
    if (tail == std::string::npos)
        return -1;
    const size_t space = out.rfind(' ', tail - 1);
    return std::stol(out.substr(space + 1, tail - space - 1));
}

// Runs `act` once, just before the k-th host call of `op` made from now on.
struct HostActsAt {
    static inline DosFaultOp op;
    static inline ULONG k = 0, seen = 0;
    static inline std::function<void()> act;
    static void observe(DosFaultOp o) {
        if (o == op && ++seen == k && act)
            act();
    }
    HostActsAt(DosFaultOp o, ULONG nth, std::function<void()> what) {
        op = o, k = nth, seen = 0, act = std::move(what);
        DosFaultObserve(observe);
    }
    ~HostActsAt() {
        DosFaultObserve(nullptr);
        act = nullptr;
    }
};

// Open descriptors of this process.
inline size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

} // namespace testsupport

#endif
