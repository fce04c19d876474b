// Stand-in for BRect.
#ifndef _RECT_H
#define _RECT_H

class BRect {
  public:
    float left = 0, top = 0, right = -1, bottom = -1;
    BRect() = default;
    BRect(float l, float t, float r, float b) : left(l), top(t), right(r), bottom(b) {}
};

#endif
