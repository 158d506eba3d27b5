#pragma once

#include <QString>

namespace vellora {

struct AppState;

// Start-up state: the program folder, an empty queue, every template value 0,
// and the printing module behind the layout pass's print seam.
void initialiseAppState(AppState& state, const QString& programFolder);

struct LayoutTemplate;

// Makes a template current without a settings window: the values, the radio
// states the window would show for it (centred, number outside) and the sheet
// surface sized to the paper.
void useTemplateHeadless(AppState& state, const LayoutTemplate& layoutTemplate);

} // namespace vellora
