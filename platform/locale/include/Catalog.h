// Stand-in for the Locale Kit's BCatalog: translations by numeric id.
#ifndef _CATALOG_H
#define _CATALOG_H

#include <map>
#include <string>

#include <SupportDefs.h>

class BCatalog {
  public:
    // The translation of id, or null when the catalog has none.
    const char *GetString(uint32 id);

  private:
    friend void loadTestTranslations(std::map<uint32, std::string>);
    std::map<uint32, std::string> fTexts;
};

// Test hook, not part of the Locale Kit: replaces the translations of the catalog that
// BLocaleRoster::Default()->GetCatalog() yields. Pointers from earlier lookups become invalid.
void loadTestTranslations(std::map<uint32, std::string> texts);

#endif
