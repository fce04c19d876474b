// Stand-in for BBox: a labelled frame around its child.
#ifndef _BOX_H
#define _BOX_H

#include <string>

#include <View.h>

class BBox : public BView {
  public:
    BBox(const char *name, uint32 flags = B_WILL_DRAW | B_FRAME_EVENTS | B_NAVIGABLE_JUMP,
         border_style border = B_FANCY_BORDER, BView *child = nullptr);
    void SetLabel(const char *label);
    const char *Label() const { return fLabel.c_str(); }
    border_style Border() const { return fBorder; }

  private:
    std::string fLabel;
    border_style fBorder;
};

#endif
