#pragma once
// The window's layout is given in twips; at 96 dpi 15 twips make a pixel and
// Qt's high-DPI scaling takes care of other densities.

#include <QRect>

namespace tovaly {

/// Twips to pixels at 96 dpi, rounded half away from zero.
[[nodiscard]] constexpr int TwipsToPixels(int twips)
{
    return twips >= 0 ? (twips * 2 + 15) / 30 : -((-twips * 2 + 15) / 30);
}

/// A rectangle given by left, top, width and height in twips, in pixels.
[[nodiscard]] constexpr QRect TwipsRect(int left, int top, int width, int height)
{
    return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height));
}

} // namespace tovaly
