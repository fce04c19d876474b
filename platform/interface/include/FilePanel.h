// Stand-in for the file panel's modes; the panel itself is the host's concern.
#ifndef _FILE_PANEL_H
#define _FILE_PANEL_H

#include <StorageDefs.h>

enum file_panel_mode { B_OPEN_PANEL, B_SAVE_PANEL };

#endif
