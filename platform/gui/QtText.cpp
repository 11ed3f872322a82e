#include "platform/gui/QtText.h"

#include <QKeyEvent>
#include <QLineEdit>

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

QString BoxText(const std::string& text) {
  QString s = FromCp1252(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

bool FilterTypedKey(QLineEdit& line, const QKeyEvent& key, const std::function<char(char typed, int caret)>& filter) {
  const QString text = key.text();
  if (text.size() != 1 || key.key() == Qt::Key_Backspace || text[0].unicode() < 0x20 || text[0].unicode() == 0x7F ||
      (key.modifiers() & Qt::ControlModifier))
    return false;
  const char typed = CharToCp1252Byte(text[0]);
  const char result = filter(typed, line.cursorPosition());
  if (result == 0) return true;
  if (result == typed && typed != '?') return false;
  line.insert(QString(Cp1252ByteToChar(result)));
  return true;
}

}  // namespace qv::gui
