#pragma once

namespace vellora {

// Opens the system's printer settings, started detached and never waited for:
// system-config-printer when installed, otherwise the printing system's web
// page. A failure to start is ignored.
void openPrinterSettings();

} // namespace vellora
