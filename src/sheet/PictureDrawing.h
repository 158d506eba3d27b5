#pragma once

#include "core/DrawingSurface.h"
#include "sheet/PictureHandle.h"

namespace vellora {

// The whole picture scaled (area-averaging) to exactly width × height at
// (x, y), replacing pixels; what falls outside is cut off.
void drawPicture(DrawingSurface& surface, const PictureHandle& picture, int x, int y, int width,
                 int height);
// At the picture's own size.
void drawPicture(DrawingSurface& surface, const PictureHandle& picture, int x, int y);
// As drawPicture, but source pixels exactly equal to key leave the
// destination untouched (the key is tested before scaling).
void drawPictureKeyed(DrawingSurface& surface, const PictureHandle& picture, int x, int y,
                      int width, int height, QRgb key);

} // namespace vellora
