#include <Box.h>
#include <CardLayout.h>
#include <GroupView.h>
#include <Layout.h>
#include <StringView.h>
#include <View.h>
#include <Window.h>

#include <algorithm>
#include <cstring>
#include <memory>

BView::BView(const char *name, uint32 flags, BLayout *layout) : BHandler(name), fFlags(flags) {
    if (layout != nullptr)
        SetLayout(layout);
}

BView::~BView() {
    if (fParent != nullptr)
        fParent->RemoveChild(this);
    else if (fWindow != nullptr)
        fWindow->RemoveChild(this);
    // Each child takes itself out of fChildren as it goes.
    while (!fChildren.empty())
        delete fChildren.back();
    delete fLayout;
}

void BView::AttachedToWindow() {}

void BView::DetachedFromWindow() {}

void BView::MessageReceived(BMessage *message) {
    BHandler::MessageReceived(message);
}

void BView::AddChild(BView *child, BView *before) {
    if (child == nullptr || child->fParent != nullptr)
        return;
    auto at = std::find(fChildren.begin(), fChildren.end(), before);
    fChildren.insert(at, child);
    child->fParent = this;
    if (fWindow != nullptr)
        child->attachTree(fWindow);
}

bool BView::RemoveChild(BView *child) {
    auto found = std::find(fChildren.begin(), fChildren.end(), child);
    if (found == fChildren.end())
        return false;
    if (child->fWindow != nullptr)
        child->detachTree();
    fChildren.erase(found);
    child->fParent = nullptr;
    if (fLayout != nullptr)
        fLayout->ViewRemoved(child);
    return true;
}

BView *BView::ChildAt(int32 index) const {
    if (index < 0 || size_t(index) >= fChildren.size())
        return nullptr;
    return fChildren[size_t(index)];
}

BView *BView::FindView(const char *name) const {
    for (BView *child : fChildren) {
        if (std::strcmp(child->Name(), name) == 0)
            return child;
        if (BView *found = child->FindView(name))
            return found;
    }
    return nullptr;
}

void BView::SetLayout(BLayout *layout) {
    if (layout == fLayout)
        return;
    delete fLayout;
    fLayout = layout;
    if (layout != nullptr)
        layout->SetOwner(this);
}

bool BView::IsHidden() const {
    for (const BView *view = this; view != nullptr; view = view->fParent)
        if (view->fHidden > 0)
            return true;
    return false;
}

void BView::SetToolTip(const char *text) {
    fToolTip = text != nullptr ? text : "";
}

void BView::attachTree(BWindow *window) {
    fWindow = window;
    AttachedToWindow();
    for (BView *child : fChildren)
        child->attachTree(window);
}

void BView::detachTree() {
    for (BView *child : fChildren)
        child->detachTree();
    DetachedFromWindow();
    fWindow = nullptr;
}

BWindow::BWindow(BRect, const char *title, window_type, uint32, uint32) : BLooper(title) {}

BWindow::~BWindow() {
    while (!fChildren.empty()) {
        BView *child = fChildren.back();
        RemoveChild(child);
        delete child;
    }
}

void BWindow::AddChild(BView *child, BView *before) {
    if (child == nullptr || child->Parent() != nullptr || child->Window() != nullptr)
        return;
    auto at = std::find(fChildren.begin(), fChildren.end(), before);
    fChildren.insert(at, child);
    child->attachTree(this);
}

bool BWindow::RemoveChild(BView *child) {
    auto found = std::find(fChildren.begin(), fChildren.end(), child);
    if (found == fChildren.end())
        return false;
    fChildren.erase(found);
    child->detachTree();
    return true;
}

BLayout::BLayout() = default;

BLayout::~BLayout() {
    for (BLayoutItem *item : fItems)
        delete item;
}

BLayoutItem *BLayout::AddView(BView *child) {
    return AddView(child, 1.0f);
}

BLayoutItem *BLayout::AddView(BView *child, float weight) {
    if (fOwner == nullptr || child == nullptr)
        return nullptr;
    // All or nothing: a view that could not be added stays its caller's.
    auto item = std::make_unique<BLayoutItem>(child, weight);
    fItems.reserve(fItems.size() + 1);
    fOwner->AddChild(child);
    fItems.push_back(item.get());
    ItemAdded(item.get(), int32(fItems.size()) - 1);
    return item.release();
}

BLayoutItem *BLayout::ItemAt(int32 index) const {
    if (index < 0 || size_t(index) >= fItems.size())
        return nullptr;
    return fItems[size_t(index)];
}

int32 BLayout::IndexOfView(BView *child) const {
    for (size_t i = 0; i < fItems.size(); ++i)
        if (fItems[i]->View() == child)
            return int32(i);
    return -1;
}

void BLayout::SetInsets(float left, float top, float right, float bottom) {
    fInsets[0] = left;
    fInsets[1] = top;
    fInsets[2] = right;
    fInsets[3] = bottom;
}

void BLayout::GetInsets(float *left, float *top, float *right, float *bottom) const {
    *left = fInsets[0];
    *top = fInsets[1];
    *right = fInsets[2];
    *bottom = fInsets[3];
}

void BLayout::ViewRemoved(BView *child) {
    const int32 index = IndexOfView(child);
    if (index < 0)
        return;
    delete fItems[size_t(index)];
    fItems.erase(fItems.begin() + index);
}

BLayoutItem *BCardLayout::VisibleItem() const {
    return ItemAt(fVisible);
}

void BCardLayout::SetVisibleItem(int32 index) {
    for (int32 i = 0; i < CountItems(); ++i) {
        BView *view = ItemAt(i)->View();
        if (i == fVisible && i != index)
            view->Hide();
        if (i == index && i != fVisible)
            view->Show();
    }
    fVisible = index >= 0 && index < CountItems() ? index : -1;
}

void BCardLayout::ItemAdded(BLayoutItem *item, int32) {
    // A new card stays hidden until it is made the visible one.
    item->View()->Hide();
}

BGroupView::BGroupView(orientation orientation, float spacing)
    : BGroupView(nullptr, orientation, spacing) {}

BGroupView::BGroupView(const char *name, orientation orientation, float spacing)
    : BView(name, B_WILL_DRAW | B_SUPPORTS_LAYOUT, new BGroupLayout(orientation, spacing)) {}

BGroupLayout *BGroupView::GroupLayout() const {
    return static_cast<BGroupLayout *>(GetLayout());
}

BBox::BBox(const char *name, uint32 flags, border_style border, BView *child)
    : BView(name, flags), fBorder(border) {
    if (child != nullptr)
        AddChild(child);
}

void BBox::SetLabel(const char *label) {
    fLabel = label != nullptr ? label : "";
}

BStringView::BStringView(const char *name, const char *text, uint32 flags)
    : BView(name, flags), fText(text != nullptr ? text : "") {}
