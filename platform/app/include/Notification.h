// Stand-in for BNotification (Application Kit): a message for the desktop's notification
// server. There is no server here: Send appends the notification to the file named by the
// environment variable TESSEL_NOTIFICATIONS, one line each, "type|group|title|content" with a
// newline in the content written as "\n", so that tests and tessel-host can see what was sent.
#ifndef _NOTIFICATION_H
#define _NOTIFICATION_H

#include <string>

#include <SupportDefs.h>

typedef int64 bigtime_t;

enum notification_type {
    B_INFORMATION_NOTIFICATION,
    B_IMPORTANT_NOTIFICATION,
    B_ERROR_NOTIFICATION,
    B_PROGRESS_NOTIFICATION
};

class BNotification {
  public:
    explicit BNotification(notification_type type) : fType(type) {}
    virtual ~BNotification() = default;

    status_t InitCheck() const { return B_OK; }
    notification_type Type() const { return fType; }
    const char *Group() const { return fGroup.c_str(); }
    void SetGroup(const char *group) { fGroup = group != nullptr ? group : ""; }
    const char *Title() const { return fTitle.c_str(); }
    void SetTitle(const char *title) { fTitle = title != nullptr ? title : ""; }
    const char *Content() const { return fContent.c_str(); }
    void SetContent(const char *content) { fContent = content != nullptr ? content : ""; }
    // B_OK once written (or with no file named); B_ERROR when the file cannot take it.
    status_t Send(bigtime_t timeout = -1);

  private:
    notification_type fType;
    std::string fGroup;
    std::string fTitle;
    std::string fContent;
};

#endif
