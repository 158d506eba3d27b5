#pragma once

#include <QString>

namespace vellora {

struct AppState;

// Start-up state: the program folder, an empty queue, every template value 0,
// and the printing module behind the layout pass's print seam.
void initialiseAppState(AppState& state, const QString& programFolder);

} // namespace vellora
