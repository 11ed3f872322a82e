#include "platform/gui/QtText.h"

#include "platform/host/CodePage.h"

namespace qv::gui {

QString FromCp1252(std::string_view text) {
  const std::u16string wide = Cp1252ToUtf16(text);
  return QString(reinterpret_cast<const QChar*>(wide.data()), static_cast<qsizetype>(wide.size()));
}

std::string ToCp1252(const QString& text) {
  const std::u16string_view wide(reinterpret_cast<const char16_t*>(text.utf16()),
                                 static_cast<size_t>(text.size()));
  return Utf16ToCp1252(wide);
}

char CharToCp1252Byte(QChar c) {
  uint8_t byte = 0;
  if (c.isSurrogate() || !CharToCp1252(static_cast<char32_t>(c.unicode()), &byte)) return '?';
  return static_cast<char>(byte);
}

QChar Cp1252ByteToChar(char byte) { return QChar(Cp1252ToChar(static_cast<uint8_t>(byte))); }

}  // namespace qv::gui
