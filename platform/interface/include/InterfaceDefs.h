// Stand-in for the Interface Kit's shared constants.
#ifndef _INTERFACE_DEFS_H
#define _INTERFACE_DEFS_H

#include <SupportDefs.h>

enum orientation { B_HORIZONTAL, B_VERTICAL };

enum border_style { B_PLAIN_BORDER, B_FANCY_BORDER, B_NO_BORDER };

// Symbolic spacings and insets, resolved by the layouts from the user's settings.
enum {
    B_USE_DEFAULT_SPACING = -1002,
    B_USE_ITEM_SPACING = -1003,
    B_USE_ITEM_INSETS = -1003,
    B_USE_HALF_ITEM_SPACING = -1004,
    B_USE_HALF_ITEM_INSETS = -1004,
    B_USE_WINDOW_INSETS = -1005,
    B_USE_WINDOW_SPACING = -1005,
    B_USE_SMALL_INSETS = -1006,
    B_USE_SMALL_SPACING = -1006,
    B_USE_CORNER_SPACING = -1007,
    B_USE_BIG_INSETS = -1008,
    B_USE_BIG_SPACING = -1008,
};

#endif
