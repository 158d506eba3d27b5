#pragma once

#include <QtGlobal>

namespace vellora {

// The sheet being filled: size-1 cells already filled, copies of the current
// photo still to place.
struct PendingSheet
{
    qint32 filledCells = 0;
    qint32 copiesLeft = 0;
};

} // namespace vellora
