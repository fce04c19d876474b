// Stand-in for BGroupView: a view laid out by a BGroupLayout.
#ifndef _GROUP_VIEW_H
#define _GROUP_VIEW_H

#include <GroupLayout.h>
#include <View.h>

class BGroupView : public BView {
  public:
    explicit BGroupView(orientation orientation = B_HORIZONTAL,
                        float spacing = B_USE_DEFAULT_SPACING);
    BGroupView(const char *name, orientation orientation = B_HORIZONTAL,
               float spacing = B_USE_DEFAULT_SPACING);
    BGroupLayout *GroupLayout() const;
};

#endif
