// The band rule of the radio item and the conversation the window holds.
#include "app/HamScopeDde.h"

namespace qv::app {

std::string RadioBandText(std::string_view received) {
  // p: the 1-based place of the first '.', or the length when there is none.
  const size_t dot = received.find('.');
  const size_t p = dot == std::string_view::npos ? received.size() : dot + 1;
  std::string band(p < 3 ? received.substr(0, p + 1) : received.substr(0, p - 1));

  // Text comparisons of the leading characters, in byte order. The result is
  // chosen first and assigned once (gcc 12 sees a false overlap in repeated
  // literal assignments at -O2).
  std::string_view to;
  const std::string two = band.substr(0, 2);
  if (two > "50" && two < "55") to = "50";
  if (two == "29") to = "28";
  if (two == "7.") to = "7";
  if (two == "4." || two == "3.") to = "3.5";
  if (two == "2." || two == "1.") to = "1.8";
  const std::string three = to.empty() ? band.substr(0, 3) : std::string(to.substr(0, 3));
  if (three > "144" && three < "149") to = "144";
  if (three > "219" && three < "226") to = "222";
  if (three > "420" && three < "460") to = "432";
  if (!to.empty()) band = std::string(to);
  return band;
}

HamScopeConversation::HamScopeConversation(
    std::function<void(const std::string& item, const std::string& text)> itemChange,
    std::function<void()> closed) {
  Conversation_.onItemChange = std::move(itemChange);
  Conversation_.onClose = std::move(closed);
}

bool HamScopeConversation::SetLink(const std::string& service, const std::string& topic) {
  return Conversation_.setLink(service, topic);
}

}  // namespace qv::app
