// Reports of the disks: one sink for every "VVFAT: " line, standard output unless a host or a
// test asks for them as data.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "disk/disk.h"

namespace {

std::mutex sinkMutex;
VVFAT_ReportSink sink = nullptr;
thread_local QuietReports *quiet = nullptr;
void *sinkContext = nullptr;

void reportEventV(VVFAT_Report::Event event, const char *format, va_list args);

void deliver(const VVFAT_Report &report) {
    std::lock_guard lock(sinkMutex);
    if (sink)
        sink(report, sinkContext);
    else
        std::printf("%s\n", report.line);
}

} // namespace

void VVFAT_SetReportSink(VVFAT_ReportSink newSink, void *context) {
    std::lock_guard lock(sinkMutex);
    sink = newSink;
    sinkContext = context;
}

void report(const char *format, ...) {
    va_list args;
    va_start(args, format);
    reportV(format, args);
    va_end(args);
}

void reportEvent(VVFAT_Report::Event event, const char *format, ...) {
    va_list args;
    va_start(args, format);
    reportEventV(event, format, args);
    va_end(args);
}

void reportV(const char *format, va_list args) {
    reportEventV(VVFAT_Report::Line, format, args);
}

namespace {

void reportEventV(VVFAT_Report::Event event, const char *format, va_list args) {
    if (quiet) {
        ++quiet->count;
        return;
    }
    // No allocation for ordinary lines: a report must get out when memory has run out.
    char small[1024];
    std::memcpy(small, "VVFAT: ", 7);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small + 7, sizeof small - 7, format, args);
    char *line = small;
    if (n >= 0 && static_cast<size_t>(n) + 8 > sizeof small) {
        if (auto big = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 8))) {
            std::memcpy(big, "VVFAT: ", 7);
            std::vsnprintf(big + 7, static_cast<size_t>(n) + 1, format, again);
            line = big;
        } // else the line goes out cut short
    }
    va_end(again);
    deliver({line, nullptr, event});
    if (line != small)
        std::free(line);
}

} // namespace

QuietReports::QuietReports() {
    quiet = this;
}

QuietReports::~QuietReports() {
    quiet = nullptr;
}

void reportWriteBack(const VVFAT_WriteBackCounts &counts) {
    char line[256];
    writeBackLine(counts, line, sizeof line);
    deliver({line, &counts});
}

const char *errorWords(int error) {
    return std::strerror(error);
}

void writeBackLine(const VVFAT_WriteBackCounts &c, char *out, size_t size) {
    // Said only when the trash took something, so that the line is as it always was otherwise.
    char trashed[48] = "";
    if (c.trashed)
        std::snprintf(trashed, sizeof trashed, " %lu moved to the Trash,",
                      static_cast<unsigned long>(c.trashed));
    std::snprintf(out, size,
                  "VVFAT: write-back: %lu created, %lu changed, %lu renamed or moved, %lu deleted,"
                  "%s %lu not written back.",
                  static_cast<unsigned long>(c.created), static_cast<unsigned long>(c.changed),
                  static_cast<unsigned long>(c.moved), static_cast<unsigned long>(c.deleted),
                  trashed, static_cast<unsigned long>(c.failed));
}

std::string VVFAT_WriteBackLine(const VVFAT_WriteBackCounts &counts) {
    char line[256];
    writeBackLine(counts, line, sizeof line);
    return line;
}

namespace {

// The number of up to nine digits that ends at `end` and follows a space; nothing else.
std::optional<ULONG> numberBefore(const std::string &text, size_t end) {
    size_t begin = end;
    while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9')
        --begin;
    if (begin == end || end - begin > 9 || begin == 0 || text[begin - 1] != ' ')
        return std::nullopt;
    return static_cast<ULONG>(std::stoul(text.substr(begin, end - begin)));
}

} // namespace

std::optional<VVFAT_WriteBackCounts> VVFAT_ParseWriteBackLine(const std::string &line) {
    static const std::string head = "VVFAT: write-back: ";
    static const std::string tail = " not written back.";
    if (line.size() < head.size() + tail.size() || line.compare(0, head.size(), head) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return std::nullopt;
    VVFAT_WriteBackCounts counts{};
    const auto failed = numberBefore(line, line.size() - tail.size());
    if (!failed)
        return std::nullopt;
    counts.failed = *failed;
    const struct {
        const char *words;
        ULONG VVFAT_WriteBackCounts::*count;
    } parts[] = {{" created,", &VVFAT_WriteBackCounts::created},
                 {" changed,", &VVFAT_WriteBackCounts::changed},
                 {" renamed or moved,", &VVFAT_WriteBackCounts::moved},
                 {" deleted,", &VVFAT_WriteBackCounts::deleted},
                 {" moved to the Trash,", &VVFAT_WriteBackCounts::trashed}};
    for (const auto &part : parts) {
        const size_t at = line.find(part.words, head.size() - 1);
        if (at != std::string::npos)
            counts.*part.count = numberBefore(line, at).value_or(0);
    }
    return counts;
}
