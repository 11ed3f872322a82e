// The edge between the system's 8-bit text (Windows-1252 bytes) and Qt's
// QString. Every text that goes into or comes out of a widget passes here, so
// the slashed zero 0xD8 shows as "Ø" and comes back as the single byte.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <string_view>

class QKeyEvent;
class QLineEdit;

namespace qv::gui {

QString FromCp1252(std::string_view text);
// Characters that 1252 cannot hold become '?'.
std::string ToCp1252(const QString& text);

// One character as a 1252 byte; '?' when 1252 has none. A surrogate half
// alone (never typed on its own) also gives '?'.
char CharToCp1252Byte(QChar c);
QChar Cp1252ByteToChar(char byte);

// Message-box text: the 1252 text with its CR and CR LF line breaks as Qt's
// line feeds.
QString BoxText(const std::string& text);

// A key press on a line edit that types one printable character goes through
// filter (the typed 1252 byte and the caret position give the byte to type,
// 0 to drop it). True when the press was taken (dropped, or another character
// inserted in its place); false leaves it to the line edit: keys that type no
// single character (backspace, control keys, shortcuts) and characters the
// filter keeps.
bool FilterTypedKey(QLineEdit& line, const QKeyEvent& key, const std::function<char(char typed, int caret)>& filter);

}  // namespace qv::gui
