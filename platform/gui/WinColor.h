// Colours are kept as the Windows colour values the program's design uses,
// 0x00BBGGRR (255 is red, 0xFF0000 blue); the widgets convert them here, at
// one place, to Qt colours.
#pragma once

#include <QColor>
#include <cstdint>

namespace qv::gui {

inline QColor WinColor(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

}  // namespace qv::gui
