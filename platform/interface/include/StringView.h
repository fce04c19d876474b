// Stand-in for BStringView: a line of static text.
#ifndef _STRING_VIEW_H
#define _STRING_VIEW_H

#include <string>

#include <View.h>

class BStringView : public BView {
  public:
    BStringView(const char *name, const char *text, uint32 flags = B_WILL_DRAW);
    const char *Text() const { return fText.c_str(); }
    void SetText(const char *text) { fText = text != nullptr ? text : ""; }

  private:
    std::string fText;
};

#endif
