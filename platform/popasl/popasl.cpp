// Stand-in for the host's chooser: the text field only; the file panel is the host's.
#include <PopASL.h>

PopASL::PopASL(unsigned long id, const char *name, const char *initialText,
               const char *directoryRequestTitle, const char *fileRequestTitle, const char *help,
               file_panel_mode panelMode, bool, uint32 nodeFlavors)
    : BView(name, B_WILL_DRAW | B_NAVIGABLE_JUMP),
      fTextControl(new BTextControl(nullptr, nullptr, initialText, nullptr)), fId(id),
      fPanelMode(panelMode), fNodeFlavors(nodeFlavors) {
    const char *title =
        (nodeFlavors & B_DIRECTORY_NODE) != 0 ? directoryRequestTitle : fileRequestTitle;
    fRequestTitle = title != nullptr ? title : "";
    AddChild(fTextControl);
    SetToolTip(help);
}
