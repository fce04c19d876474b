// The host's chooser widget: a text field holding a path, with a button that opens a file panel
// on it. A change of the text, typed or chosen, sends the text field's message to its target.
#ifndef HAIKU_POPASL_H
#define HAIKU_POPASL_H

#include <string>

#include <FilePanel.h>
#include <TextControl.h>
#include <View.h>

class PopASL : public BView {
  public:
    PopASL(unsigned long id, const char *name, const char *initialText,
           const char *directoryRequestTitle, const char *fileRequestTitle, const char *help,
           file_panel_mode panelMode, bool modal, uint32 nodeFlavors);

    // The text field that holds the path; owned by the chooser.
    BTextControl *TextControl() const { return fTextControl; }

    unsigned long Id() const { return fId; }
    file_panel_mode PanelMode() const { return fPanelMode; }
    uint32 NodeFlavors() const { return fNodeFlavors; }
    // The title of the file panel, for directories or for files as the node kinds ask.
    const char *RequestTitle() const { return fRequestTitle.c_str(); }

  private:
    BTextControl *fTextControl;
    unsigned long fId;
    file_panel_mode fPanelMode;
    uint32 fNodeFlavors;
    std::string fRequestTitle;
};

#endif
