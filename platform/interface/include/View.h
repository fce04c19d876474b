// Stand-in for BView: a node of the view tree. A view owns its children and its layout; deleting
// a view deletes them.
#ifndef _VIEW_H
#define _VIEW_H

#include <string>
#include <vector>

#include <Handler.h>
#include <InterfaceDefs.h>

class BLayout;
class BWindow;

const uint32 B_FULL_UPDATE_ON_RESIZE = 0x80000000UL;
const uint32 B_WILL_DRAW = 0x20000000UL;
const uint32 B_PULSE_NEEDED = 0x10000000UL;
const uint32 B_NAVIGABLE_JUMP = 0x08000000UL;
const uint32 B_FRAME_EVENTS = 0x04000000UL;
const uint32 B_NAVIGABLE = 0x02000000UL;
const uint32 B_SUPPORTS_LAYOUT = 0x00100000UL;

class BView : public BHandler {
  public:
    BView(const char *name, uint32 flags, BLayout *layout = nullptr);
    ~BView() override;

    virtual void AttachedToWindow();
    virtual void DetachedFromWindow();
    void MessageReceived(BMessage *message) override;

    void AddChild(BView *child, BView *before = nullptr);
    bool RemoveChild(BView *child);
    int32 CountChildren() const { return int32(fChildren.size()); }
    BView *ChildAt(int32 index) const;
    BView *Parent() const { return fParent; }
    // Depth-first search of this view's descendants by name.
    BView *FindView(const char *name) const;
    BWindow *Window() const { return fWindow; }
    uint32 Flags() const { return fFlags; }

    // Takes ownership of layout; its items become children of this view.
    virtual void SetLayout(BLayout *layout);
    BLayout *GetLayout() const { return fLayout; }

    void Hide() { ++fHidden; }
    void Show() { --fHidden; }
    bool IsHidden() const;

    void SetToolTip(const char *text);
    // Stand-in only: the text given to SetToolTip.
    const char *ToolTipText() const { return fToolTip.c_str(); }

  private:
    friend class BWindow;
    void attachTree(BWindow *window);
    void detachTree();

    uint32 fFlags;
    BView *fParent = nullptr;
    BWindow *fWindow = nullptr;
    BLayout *fLayout = nullptr;
    std::vector<BView *> fChildren;
    int32 fHidden = 0;
    std::string fToolTip;
};

#endif
