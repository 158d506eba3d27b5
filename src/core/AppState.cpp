#include "core/AppState.h"

namespace vellora {

void useTemplateHeadless(AppState& state, const LayoutTemplate& layoutTemplate)
{
    state.currentTemplate = layoutTemplate;
    state.windows.centredChecked = layoutTemplate.centred != 0;
    state.windows.numberOutsideChecked = layoutTemplate.numberOutside();
    state.sheetSurface.resize(layoutTemplate.paperWidth, layoutTemplate.paperHeight);
}

} // namespace vellora
