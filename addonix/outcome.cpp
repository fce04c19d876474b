// What the disks report, brought to a user who never sees standard output: the closing line of
// each write-back and the journal's recovery in the panel's status line, and a notification for
// whatever needs attention (objects not written back, a journal recovered or set aside, a
// journal that cannot be written). The "VVFAT: " lines still go to standard output.
#include "addonix_private.h"

#include <Notification.h>
#include <addonix/boundary.h>
#include <addonix/haiku.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "locale_strings.h"
#include "settings_window.h"
#include "ide.h"
#include "vvfat.h"

namespace {

std::mutex watchMutex;
int watchers = 0; // instances; the sink is ours while there is one

// What one mount or unmount of this thread reported, for the status line.
struct Collected {
    std::string writeBack;
    std::string journal;
    std::string unmounted; // the directory written back
    std::string mounted;   // the directory mounted, whose journal is recovered
};
thread_local Collected *collecting = nullptr;

const char *withoutPrefix(const char *line) {
    static const char prefix[] = "VVFAT: ";
    return std::strncmp(line, prefix, sizeof prefix - 1) == 0 ? line + sizeof prefix - 1 : line;
}

bool needsAttention(const VVFAT_Report &report) {
    if (report.write_back != nullptr)
        return report.write_back->failed != 0;
    return report.event != VVFAT_Report::Line;
}

void post(const char *line, const std::string &directory) {
    BNotification notification(B_IMPORTANT_NOTIFICATION);
    notification.SetGroup(GetString(MSG_TITLE));
    notification.SetTitle(GetString(MSG_NOTIFICATION_TITLE));
    std::string content = withoutPrefix(line);
    if (!directory.empty())
        content += std::string("\n") + GetString(MSG_DIRECTORY_LABEL) + " " + directory;
    notification.SetContent(content.c_str());
    notification.Send();
}

// Called one report at a time, from any thread (the journal's among them).
void sink(const VVFAT_Report &report, void *) {
    std::printf("%s\n", report.line);
    noThrow("Tessel: cannot show what the disk reported", [&] {
        Collected *c = collecting;
        if (c != nullptr && report.write_back != nullptr)
            c->writeBack = withoutPrefix(report.line);
        else if (c != nullptr && (report.event == VVFAT_Report::JournalRecovered ||
                                  report.event == VVFAT_Report::JournalSetAside))
            c->journal = withoutPrefix(report.line);
        if (needsAttention(report))
            post(report.line, c == nullptr                   ? std::string()
                              : report.write_back != nullptr ? c->unmounted
                                                             : c->mounted);
    });
}

template <class Operation> void watched(PluginData *data, bool mounting, Operation operation) {
    Collected collected;
    collected.unmounted = VVFAT_DirectoryName(data->ide->vvfat);
    if (mounting)
        collected.mounted = settingDirectoryName(data);
    struct Collecting {
        explicit Collecting(Collected *c) { collecting = c; }
        ~Collecting() { collecting = nullptr; }
    } scope(&collected);
    operation();
    if (data->common.pl_PrefsWindow == nullptr)
        return;
    static_cast<SettingsWindow *>(static_cast<BView *>(data->common.pl_PrefsWindow))
        ->ShowOutcome(collected.writeBack.c_str(), collected.journal.c_str(),
                      mounting && data->ide->vvfat != nullptr);
}

// printf into a string, for the catalogue's formats.
std::string printed(const char *format, const char *a, const char *b) {
    const int n = std::snprintf(nullptr, 0, format, a, b);
    if (n < 0)
        return format;
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, a, b);
    out.resize(static_cast<size_t>(n));
    return out;
}

} // namespace

void watchReports() {
    std::lock_guard lock(watchMutex);
    if (watchers++ == 0)
        VVFAT_SetReportSink(sink, nullptr);
}

void unwatchReports() {
    std::lock_guard lock(watchMutex);
    if (--watchers == 0)
        VVFAT_SetReportSink(nullptr, nullptr);
}

void pollCheckpoint(PluginData *data) {
    noThrow("Tessel: cannot follow the checkpoints", [data] {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        IDECheckpointEnded ended;
        if (!IDEPollCheckpoint(
                data->ide,
                UQUAD(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()), &ended))
            return;
        const VVFAT_CheckpointResult &r = ended.result;
        if (r.kind == VVFAT_CheckpointResult::Nothing)
            return;
        char at[16] = "";
        struct tm local;
        if (localtime_r(&ended.at, &local) != nullptr)
            std::strftime(at, sizeof at, "%H:%M:%S", &local);
        std::string line;
        if (r.kind == VVFAT_CheckpointResult::Done) {
            static const char prefix[] = "VVFAT: write-back: ";
            std::string counts = VVFAT_WriteBackLine(r.counts);
            if (counts.compare(0, sizeof prefix - 1, prefix) == 0)
                counts.erase(0, sizeof prefix - 1);
            line = printed(GetString(MSG_CHECKPOINT_DONE), at, counts.c_str());
        } else {
            line = printed(GetString(r.kind == VVFAT_CheckpointResult::Skipped
                                         ? MSG_CHECKPOINT_WAITS
                                         : MSG_CHECKPOINT_FAILED),
                           at, r.reason.c_str());
        }
        std::printf("Tessel: %s\n", line.c_str());
        std::fflush(stdout);
        // Posted once while it stays the same: a failure tried again at every checkpoint would
        // post at each.
        const bool failed = r.kind == VVFAT_CheckpointResult::Failed ||
                            (r.kind == VVFAT_CheckpointResult::Done && r.counts.failed != 0);
        if (r.kind != VVFAT_CheckpointResult::Skipped) {
            const size_t said =
                failed ? std::hash<std::string>{}(std::to_string(r.counts.failed) + r.reason) | 1
                       : 0;
            if (failed && said != data->lastCheckpointFailure)
                post(line.c_str(), VVFAT_DirectoryName(data->ide->vvfat));
            data->lastCheckpointFailure = said;
        }
        if (data->common.pl_PrefsWindow != nullptr)
            static_cast<SettingsWindow *>(static_cast<BView *>(data->common.pl_PrefsWindow))
                ->ShowCheckpoint(line.c_str());
    });
}

void mountWatched(PluginData *data) {
    watched(data, true, [data] { mount(data); });
}

void unmountWatched(PluginData *data) {
    watched(data, false, [data] { IDEUnMount(data->ide); });
}
