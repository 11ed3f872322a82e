// The link with the digital-mode program: its service, topic and items, the
// rule that turns the radio frequency it reports into a band text, and the
// DDE conversation the main window holds.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "app/MainController.h"
#include "platform/gui/DdeConversation.h"

namespace qv::app {

inline constexpr std::string_view kHamScopeService = "HamScope";
inline constexpr std::string_view kHamScopeTopic = "LogData";

// The 16 items in the order the link names them.
inline constexpr std::array<std::string_view, 16> kHamScopeItems = {
    "Mode", "Call_C", "Name_C",    "Rst_rcv", "Rst_sent", "Seq_rcv",   "City", "State",
    "Country", "Continent", "Radio", "Log_It", "Clear", "Ext_macro", "Call", "Name"};

// The band text of a received frequency in MHz ("7.040" gives "7", "29.600"
// gives "28", "146.520" gives "144").
std::string RadioBandText(std::string_view received);

// The conversation behind HamScopeLink; its events go to the two callbacks.
class HamScopeConversation final : public HamScopeLink {
public:
  HamScopeConversation(std::function<void(const std::string& item, const std::string& text)> itemChange,
                       std::function<void()> closed);
  bool SetLink(const std::string& service, const std::string& topic) override;
  void StartAdvise(const std::string& item) override { Conversation_.startAdvise(item); }
  void Poke(const std::string& item, const std::string& text) override { Conversation_.poke(item, text); }
  void CloseLink() override { Conversation_.closeLink(); }
  gui::DdeConversation& Conversation() { return Conversation_; }

private:
  gui::DdeConversation Conversation_;
};

}  // namespace qv::app
