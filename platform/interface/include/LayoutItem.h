// Stand-in for BLayoutItem: one entry of a layout, here always a view.
#ifndef _LAYOUT_ITEM_H
#define _LAYOUT_ITEM_H

class BView;

class BLayoutItem {
  public:
    explicit BLayoutItem(BView *view, float weight = 1.0f) : fView(view), fWeight(weight) {}
    virtual ~BLayoutItem() = default;
    BView *View() { return fView; }
    float Weight() const { return fWeight; }

  private:
    BView *fView;
    float fWeight;
};

#endif
