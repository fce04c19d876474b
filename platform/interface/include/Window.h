// Stand-in for BWindow: a top-level holder of views. Adding a view calls AttachedToWindow on it
// and on each of its descendants; the window deletes the views it still holds.
#ifndef _WINDOW_H
#define _WINDOW_H

#include <vector>

#include <Looper.h>
#include <Rect.h>

class BView;

enum window_type { B_UNTYPED_WINDOW = 0, B_TITLED_WINDOW = 1, B_DOCUMENT_WINDOW = 11 };
const uint32 B_CURRENT_WORKSPACE = 0;

class BWindow : public BLooper {
  public:
    BWindow(BRect frame, const char *title, window_type type, uint32 flags,
            uint32 workspace = B_CURRENT_WORKSPACE);
    ~BWindow() override;

    void AddChild(BView *child, BView *before = nullptr);
    bool RemoveChild(BView *child);
    int32 CountChildren() const { return int32(fChildren.size()); }

  private:
    std::vector<BView *> fChildren;
};

#endif
