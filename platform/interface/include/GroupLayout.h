// Stand-in for BGroupLayout: a row or a column of items.
#ifndef _GROUP_LAYOUT_H
#define _GROUP_LAYOUT_H

#include <InterfaceDefs.h>
#include <Layout.h>

class BGroupLayout : public BLayout {
  public:
    explicit BGroupLayout(orientation orientation, float spacing = B_USE_DEFAULT_SPACING)
        : fOrientation(orientation), fSpacing(spacing) {}
    orientation Orientation() const { return fOrientation; }
    float Spacing() const { return fSpacing; }

  private:
    orientation fOrientation;
    float fSpacing;
};

#endif
