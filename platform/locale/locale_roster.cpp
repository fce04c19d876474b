// The stand-in catalog starts empty, as on a system without a translation for the plug-in.
#include <LocaleRoster.h>

#include <utility>

namespace {
BCatalog &imageCatalog() {
    static BCatalog catalog;
    return catalog;
}
} // namespace

const char *BCatalog::GetString(uint32 id) {
    auto found = fTexts.find(id);
    return found == fTexts.end() ? nullptr : found->second.c_str();
}

void loadTestTranslations(std::map<uint32, std::string> texts) {
    imageCatalog().fTexts = std::move(texts);
}

BLocaleRoster *BLocaleRoster::Default() {
    static BLocaleRoster roster;
    return &roster;
}

BCatalog *BLocaleRoster::GetCatalog() {
    return &imageCatalog();
}
