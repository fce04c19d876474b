// Stand-in for BCardLayout: one item visible at a time, the others hidden.
#ifndef _CARD_LAYOUT_H
#define _CARD_LAYOUT_H

#include <Layout.h>

class BCardLayout : public BLayout {
  public:
    BCardLayout() = default;
    BLayoutItem *VisibleItem() const;
    int32 VisibleIndex() const { return fVisible; }
    // An index outside the items shows none.
    void SetVisibleItem(int32 index);

  protected:
    void ItemAdded(BLayoutItem *item, int32 index) override;

  private:
    int32 fVisible = -1;
};

#endif
