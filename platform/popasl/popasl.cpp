// Stand-in for the host's chooser: the text field only; the file panel is the host's.
#include <PopASL.h>

#include <memory>

PopASL::PopASL(unsigned long id, const char *name, const char *initialText,
               const char *directoryRequestTitle, const char *fileRequestTitle, const char *help,
               file_panel_mode panelMode, bool, uint32 nodeFlavors)
    : BView(name, B_WILL_DRAW | B_NAVIGABLE_JUMP), fTextControl(nullptr), fId(id),
      fPanelMode(panelMode), fNodeFlavors(nodeFlavors) {
    const char *title =
        (nodeFlavors & B_DIRECTORY_NODE) != 0 ? directoryRequestTitle : fileRequestTitle;
    fRequestTitle = title != nullptr ? title : "";
    std::unique_ptr<BTextControl> field(new BTextControl(nullptr, nullptr, initialText, nullptr));
    AddChild(field.get());
    fTextControl = field.release(); // a child now, deleted with the view
    SetToolTip(help);
}
