#include "platform/dataset/DatabaseError.h"

#include "platform/host/Component.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace qv {

void DatabaseError(std::string_view message, const Component* component) {
  if (component != nullptr && !component->Name().empty()) {
    std::string text = component->Name();
    text += ": ";
    text += message;
    throw EDatabaseError(std::move(text));
  }
  throw EDatabaseError(std::string(message));
}

void DatabaseErrorFmt(std::string_view fmt, std::initializer_list<FormatArg> args,
                      const Component* component) {
  DatabaseError(format(fmt, args), component);
}

std::string ExtractFieldName(std::string_view fields, size_t& pos) {
  if (pos >= fields.size()) {
    pos = fields.size();
    return std::string();
  }
  size_t end = fields.find(';', pos);
  if (end == std::string_view::npos) end = fields.size();
  std::string name = Trim(fields.substr(pos, end - pos));
  pos = end < fields.size() ? end + 1 : end;
  return name;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char ca = a[i];
    const char cb = b[i];
    // Equal bytes need no case mapping; of two ASCII bytes only a letter and
    // its other case match (what the 1252 table says for them).
    if (ca == cb) continue;
    if (static_cast<unsigned char>(ca | cb) < 0x80) {
      const char upper = static_cast<char>(ca & ~0x20);
      if ((ca ^ cb) != 0x20 || upper < 'A' || upper > 'Z') return false;
      continue;
    }
    if (UpperChar1252(ca) != UpperChar1252(cb)) return false;
  }
  return true;
}

}  // namespace qv
