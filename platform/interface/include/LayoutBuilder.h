// Stand-in for the layout builders: chained calls that fill a group or a card layout. A nested
// group is a BGroupView and a card layout lives in a plain BView, so every item of the tree is
// a view owned by its parent.
#ifndef _LAYOUT_BUILDER_H
#define _LAYOUT_BUILDER_H

#include <CardLayout.h>
#include <GroupLayout.h>
#include <GroupView.h>
#include <View.h>

#include <memory>

namespace BLayoutBuilder {

template <typename ParentBuilder> class Base {
  protected:
    Base() = default;

  public:
    void SetParent(ParentBuilder *parent) { fParent = parent; }
    ParentBuilder &End() { return *fParent; }

  protected:
    ParentBuilder *fParent = nullptr;
};

template <typename ParentBuilder = void *> class Group;
template <typename ParentBuilder = void *> class Cards;

template <typename ParentBuilder> class Group : public Base<ParentBuilder> {
  public:
    typedef Group<ParentBuilder> ThisBuilder;
    typedef Group<ThisBuilder> GroupBuilder;
    typedef Cards<ThisBuilder> CardBuilder;

    explicit Group(BGroupView *view) : fLayout(view->GroupLayout()) {}
    Group(BView *view, orientation orientation = B_HORIZONTAL,
          float spacing = B_USE_DEFAULT_SPACING)
        : fLayout(new BGroupLayout(orientation, spacing)) {
        view->SetLayout(fLayout);
    }
    explicit Group(BGroupLayout *layout) : fLayout(layout) {}

    ThisBuilder &GetLayout(BGroupLayout **layout) {
        *layout = fLayout;
        return *this;
    }
    ThisBuilder &GetView(BView **view) {
        *view = fLayout->Owner();
        return *this;
    }
    ThisBuilder &Add(BView *view) {
        fLayout->AddView(view);
        return *this;
    }
    ThisBuilder &Add(BView *view, float weight) {
        fLayout->AddView(view, weight);
        return *this;
    }
    GroupBuilder AddGroup(orientation orientation, float spacing = B_USE_DEFAULT_SPACING,
                          float weight = 1.0f) {
        std::unique_ptr<BGroupView> view(new BGroupView(orientation, spacing));
        fLayout->AddView(view.get(), weight);
        GroupBuilder builder(view.release());
        builder.SetParent(this);
        return builder;
    }
    CardBuilder AddCards(float weight = 1.0f) {
        std::unique_ptr<BCardLayout> layout(new BCardLayout);
        std::unique_ptr<BView> view(new BView(nullptr, 0, layout.get()));
        BCardLayout *cards = layout.release(); // the view's now
        fLayout->AddView(view.get(), weight);
        view.release();
        CardBuilder builder(cards);
        builder.SetParent(this);
        return builder;
    }
    ThisBuilder &SetInsets(float left, float top, float right, float bottom) {
        fLayout->SetInsets(left, top, right, bottom);
        return *this;
    }
    ThisBuilder &SetInsets(float horizontal, float vertical) {
        return SetInsets(horizontal, vertical, horizontal, vertical);
    }
    ThisBuilder &SetInsets(float insets) { return SetInsets(insets, insets, insets, insets); }
    operator BGroupLayout *() { return fLayout; }

  private:
    BGroupLayout *fLayout;
};

template <typename ParentBuilder> class Cards : public Base<ParentBuilder> {
  public:
    typedef Cards<ParentBuilder> ThisBuilder;

    explicit Cards(BView *view) : fLayout(new BCardLayout) { view->SetLayout(fLayout); }
    explicit Cards(BCardLayout *layout) : fLayout(layout) {}

    ThisBuilder &GetLayout(BCardLayout **layout) {
        *layout = fLayout;
        return *this;
    }
    ThisBuilder &GetView(BView **view) {
        *view = fLayout->Owner();
        return *this;
    }
    ThisBuilder &Add(BView *view) {
        fLayout->AddView(view);
        return *this;
    }
    ThisBuilder &SetVisibleItem(int32 index) {
        fLayout->SetVisibleItem(index);
        return *this;
    }
    operator BCardLayout *() { return fLayout; }

  private:
    BCardLayout *fLayout;
};

} // namespace BLayoutBuilder

#endif
