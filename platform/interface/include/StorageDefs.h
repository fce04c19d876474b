// Stand-in for the Storage Kit's node kinds.
#ifndef _STORAGE_DEFS_H
#define _STORAGE_DEFS_H

#include <SupportDefs.h>

enum node_flavor {
    B_FILE_NODE = 0x01,
    B_SYMLINK_NODE = 0x02,
    B_DIRECTORY_NODE = 0x04,
    B_ANY_NODE = 0x07,
};

#endif
