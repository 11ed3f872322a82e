// The edge between the system's 8-bit text (Windows-1252 bytes) and Qt's
// QString. Every text that goes into or comes out of a widget passes here, so
// the slashed zero 0xD8 shows as "Ø" and comes back as the single byte.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace qv::gui {

QString FromCp1252(std::string_view text);
// Characters that 1252 cannot hold become '?'.
std::string ToCp1252(const QString& text);

// One character as a 1252 byte; '?' when 1252 has none. A surrogate half
// alone (never typed on its own) also gives '?'.
char CharToCp1252Byte(QChar c);
QChar Cp1252ByteToChar(char byte);

}  // namespace qv::gui
