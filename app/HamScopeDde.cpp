// The band rule of the radio item and the conversation the window holds.
#include "app/HamScopeDde.h"

namespace qv::app {

std::string RadioBandText(std::string_view received) {
  // p: the 1-based place of the first '.', or the length when there is none.
  const size_t dot = received.find('.');
  const size_t p = dot == std::string_view::npos ? received.size() : dot + 1;
  std::string band(p < 3 ? received.substr(0, p + 1) : received.substr(0, p - 1));

  // Text comparisons of the leading characters, in byte order.
  const std::string two = band.substr(0, 2);
  if (two > "50" && two < "55") band = "50";
  if (two == "29") band = "28";
  if (two == "7.") band = "7";
  if (two == "4." || two == "3.") band = "3.5";
  if (two == "2." || two == "1.") band = "1.8";
  const std::string three = band.substr(0, 3);
  if (three > "144" && three < "149") band = "144";
  if (three > "219" && three < "226") band = "222";
  if (three > "420" && three < "460") band = "432";
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
