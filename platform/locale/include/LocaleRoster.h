// Stand-in for the Locale Kit's BLocaleRoster: hands out the catalog of the calling image.
#ifndef _LOCALE_ROSTER_H
#define _LOCALE_ROSTER_H

#include <Catalog.h>

class BLocaleRoster {
  public:
    static BLocaleRoster *Default();
    // The catalog of the calling image; it lives as long as the image.
    BCatalog *GetCatalog();
};

#endif
