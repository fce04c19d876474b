// Stand-in for BLayout: orders the children of the view that owns it. Items are views; adding
// one makes it a child of the owner.
#ifndef _LAYOUT_H
#define _LAYOUT_H

#include <vector>

#include <LayoutItem.h>
#include <SupportDefs.h>

class BView;

class BLayout {
  public:
    BLayout();
    virtual ~BLayout();
    BLayout(const BLayout &) = delete;
    BLayout &operator=(const BLayout &) = delete;

    BView *Owner() const { return fOwner; }
    // Null when the layout has no owner view yet.
    virtual BLayoutItem *AddView(BView *child);
    virtual BLayoutItem *AddView(BView *child, float weight);
    int32 CountItems() const { return int32(fItems.size()); }
    BLayoutItem *ItemAt(int32 index) const;
    int32 IndexOfView(BView *child) const;

    void SetInsets(float left, float top, float right, float bottom);
    void GetInsets(float *left, float *top, float *right, float *bottom) const;

  protected:
    virtual void ItemAdded(BLayoutItem *, int32) {}

  private:
    friend class BView;
    void SetOwner(BView *owner) { fOwner = owner; }
    void ViewRemoved(BView *child);

    BView *fOwner = nullptr;
    std::vector<BLayoutItem *> fItems;
    float fInsets[4] = {0, 0, 0, 0};
};

#endif
