#pragma once
// OLE colour values as containers save them: 0x00BBGGRR for a fixed colour, or the high bit set
// and a system colour index in the low byte, resolved against the current colour scheme.

#include <cstdint>

namespace quennet {

using OleColor = std::uint32_t;

inline constexpr OleColor kSystemColorFlag = 0x80000000U;
inline constexpr OleColor kColorInactiveCaption = 0x80000003U;
inline constexpr OleColor kColorHighlight = 0x8000000DU;
inline constexpr OleColor kColorHighlightText = 0x8000000EU;
inline constexpr OleColor kColorInactiveCaptionText = 0x80000013U;
inline constexpr OleColor kColorGreen = 0x00008000U;
inline constexpr OleColor kColorRed = 0x000000FFU;
inline constexpr OleColor kColorWhite = 0x00FFFFFFU;

}  // namespace quennet
