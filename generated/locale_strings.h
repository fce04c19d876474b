// The built-in English catalogue: string ids and the block GetString walks.
#ifndef TESSEL_GENERATED_LOCALE_STRINGS_H
#define TESSEL_GENERATED_LOCALE_STRINGS_H

#include <exec/types.h>

enum {
    MSG_TOGGLE_MENU = 0,
    MSG_TITLE = 1,
    MSG_PREFS_MENU = 2,
    MSG_IMAGE_BOX = 3,
    MSG_IMAGE_LABEL = 4,
    MSG_IMAGE_REQUEST = 5,
    MSG_IMAGE_HELP = 6,
    MSG_IMAGE_MOUNT = 7,
    MSG_IMAGE_MOUNT_HELP = 8,
    MSG_IMAGE_NOTE = 9,
    MSG_DIRECTORY_BOX = 10,
    MSG_DIRECTORY_LABEL = 11,
    MSG_DIRECTORY_REQUEST = 12,
    MSG_DIRECTORY_HELP = 13,
    MSG_MODE_BOX = 14,
    MSG_MODE_HELP = 15,
    MSG_MODE_DIRECTORY = 16,
    MSG_MODE_IMAGE = 17,
    MSG_SYNCHRONIZE = 18,
    MSG_SYNCHRONIZE_HELP = 19,
    MSG_JOURNAL = 20,
    MSG_JOURNAL_HELP = 21,
    MSG_DISCARD = 22,
    MSG_DISCARD_HELP = 23,
    MSG_FAT_TYPE = 24,
    MSG_FAT_TYPE_HELP = 25,
    MSG_FAT_AUTOMATIC = 26,
    MSG_DISK_SIZE = 27,
    MSG_DISK_SIZE_HELP = 28,
    MSG_NOTIFICATION_TITLE = 29,
    MSG_TRASH = 30,
    MSG_TRASH_HELP = 31,
    MSG_CHECKPOINT = 32,
    MSG_CHECKPOINT_HELP = 33,
    MSG_CHECKPOINT_OFF = 34,
    MSG_CHECKPOINT_AFTER = 35,
    MSG_CHECKPOINT_DONE = 36,
    MSG_CHECKPOINT_WAITS = 37,
    MSG_CHECKPOINT_FAILED = 38,
    MSG_COUNT = 39
};

// Entries in ascending id order, no header and no end marker: id (4 bytes, big-endian),
// length L (2 bytes, big-endian), then the text with its zero, padded with one more zero to make
// L even.
extern const UBYTE CatCompBlock[];
extern const ULONG CatCompBlockSize;

#endif
