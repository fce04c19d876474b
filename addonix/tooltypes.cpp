// Tool types as the host stores them: "KEY=value" or "KEY" alone. A name selects a key when it is
// a case-insensitive prefix of it, so "dir" and "D" both mean DIRECTORY; an empty name matches
// the first key tried.
#include "addonix_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <proto/utility.h>

namespace {

// Strnicmp over exactly length characters: the key's zero takes part when the name is longer.
bool nameSelects(CONST_STRPTR toolType, LONG length, CONST_STRPTR key) {
    return Strnicmp(toolType, key, length) == 0;
}

} // namespace

void parseToolType(CONST_STRPTR toolType, InitialSettings &settings) {
    if (toolType[0] == '(')
        return;
    const char *equals = std::strchr(toolType, '=');
    if (equals == nullptr) {
        if (nameSelects(toolType, LONG(std::strlen(toolType)), "AUTOMOUNT"))
            settings.autoMount = TRUE;
        return;
    }
    const LONG length = LONG(equals - toolType);
    CONST_STRPTR value = equals + 1; // untrimmed; may itself hold "="
    if (nameSelects(toolType, length, "DIRECTORY")) {
        settings.directoryName = value;
    } else if (nameSelects(toolType, length, "IMAGEFILE")) {
        settings.imageFileName = value;
    } else if (nameSelects(toolType, length, "MOUNTMODE")) {
        if (Stricmp(value, "Directory") == 0)
            settings.mode = MODE_DIRECTORY;
        else if (Stricmp(value, "ImageFile") == 0)
            settings.mode = MODE_IMAGE_FILE;
    } else if (nameSelects(toolType, length, "JOURNAL")) {
        if (Stricmp(value, "OFF") == 0)
            settings.journal = FALSE;
        else if (Stricmp(value, "ON") == 0)
            settings.journal = TRUE;
    } else if (nameSelects(toolType, length, "WRITEBACK")) {
        if (Stricmp(value, "OFF") == 0)
            settings.writeBack = FALSE;
        else if (Stricmp(value, "ON") == 0)
            settings.writeBack = TRUE;
    } else if (nameSelects(toolType, length, "TRASH")) {
        if (Stricmp(value, "OFF") == 0)
            settings.trash = FALSE;
        else if (Stricmp(value, "ON") == 0)
            settings.trash = TRUE;
    } else if (nameSelects(toolType, length, "FATTYPE")) {
        if (std::strcmp(value, "12") == 0 || std::strcmp(value, "16") == 0 ||
            std::strcmp(value, "32") == 0)
            settings.fatType = std::atoi(value);
    } else if (nameSelects(toolType, length, "CHECKPOINT")) {
        if (Stricmp(value, "OFF") == 0) {
            settings.checkpoint = 0;
        } else if (*value != '\0' && std::strspn(value, "0123456789") == std::strlen(value) &&
                   std::strlen(value) <= 6) {
            settings.checkpoint = LONG(std::min<long>(std::atol(value), MAX_CHECKPOINT_SECONDS));
        }
    } else if (nameSelects(toolType, length, "DISKSIZE")) {
        // Kept as typed, as the panel's field holds it: a size that is no number is refused
        // when the disk is mounted, where it can be said.
        settings.diskSize = value;
    }
}
