// The link with the digital-mode program: the connect button, the close
// event, and the changes of the 16 items (fields filled from the program, a
// contact added or the fields cleared at its request, the radio frequency
// turned into a band). The pokes back to it stand where the call check, the
// clear and the contest serial make them (MainControllerCallCheck.cpp,
// MainControllerQsoChecks.cpp).
//
// The conversation's events wait while a modal scope is open (a dialog, an
// output, or in the window any running handler) and then run in arrival
// order, one at a time: an item change must not run inside a settings dialog
// or between the steps of Add To Log.
#include "app/HamScopeDde.h"
#include "app/MainController.h"
#include "app/QsoEntry.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

// The items whose text goes into an entry field as it is.
struct TextItem {
  std::string_view Item;
  Ctl Field;
};
constexpr TextItem kTextItems[] = {
    {"Name_C", Ctl::NameFld},    {"Rst_rcv", Ctl::RSTRcvd},       {"Rst_sent", Ctl::RSTSent},
    {"Seq_rcv", Ctl::RSTNumRcvd}, {"City", Ctl::CityFld},          {"State", Ctl::StateFLD},
    {"Country", Ctl::CountryFLD}, {"Continent", Ctl::ContinentFLD}};

}  // namespace

void MainController::ConnHSBtnClick() {
  if (Module_.HamScopeLinked) {
    // The close event does the rest.
    if (HamScope_ != nullptr) HamScope_->CloseLink();
    return;
  }
  if (HamScope_ == nullptr || !HamScope_->SetLink(std::string(kHamScopeService), std::string(kHamScopeTopic))) {
    View_.Warn("You must start HamScope !");
    return;
  }
  for (std::string_view item : kHamScopeItems) HamScope_->StartAdvise(std::string(item));
  Module_.HamScopeLinked = true;
  View_.SetText(Ctl::ConnHSBtn, "Disc from HamScope");
  Poke("Name", View_.Text(Ctl::NameFld));
  Poke("Call", View_.Text(Ctl::CallEntered));
  FocusField(Ctl::Mode);
}

void MainController::DdeClientConv1Close() {
  Module_.HamScopeLinked = false;
  View_.SetText(Ctl::ConnHSBtn, "Conn to HamScope");
  View_.SetText(Ctl::StatPanel, "");
}

// ------------------------------------------------------------ the queue

void MainController::LinkItemChange(const std::string& item, const std::string& text) {
  LinkEvents_.push_back({false, item, text});
  RunLinkEvents();
}

void MainController::LinkClosed() {
  LinkEvents_.push_back({true, {}, {}});
  RunLinkEvents();
}

void MainController::LeaveModalScope(bool runEvents) {
  if (ModalDepth_ > 0) --ModalDepth_;
  if (runEvents) RunLinkEvents();
}

void MainController::RunLinkEvents() {
  // An event that opens a dialog (a message box) must not start the next one
  // inside it: the running loop takes it when the dialog has closed.
  if (ModalDepth_ > 0 || RunningLinkEvents_) return;
  RunningLinkEvents_ = true;
  const auto done = ScopeExit([this] { RunningLinkEvents_ = false; });
  while (!LinkEvents_.empty() && ModalDepth_ == 0) {
    const LinkEvent e = std::move(LinkEvents_.front());
    LinkEvents_.pop_front();
    // Each event is a handler of its own: a failure ends it alone and is
    // shown, as the window's guard shows a handler's failure.
    try {
      if (e.Close)
        DdeClientConv1Close();
      else
        ClientItemChange(e.Item, e.Text);
    } catch (const std::exception& ex) {
      View_.ShowError(ex.what());
    } catch (...) {
      View_.ShowError("Unknown exception");
    }
  }
}

// ------------------------------------------------------------ the items

void MainController::ClientItemChange(const std::string& item, const std::string& text) {
  if (item == "Mode") {
    if (!text.empty()) View_.SetText(Ctl::Mode, text);
  } else if (item == "Call_C") {
    if (!Module_.HamScopeLinked || text.empty()) return;
    // The call field holds capitals (and slashed zeros when chosen), as if
    // the operator had typed the call.
    std::string call = UpperCase(text);
    if (State_.Program.ZSlashed)
      for (char& c : call)
        if (c == '0') c = kSlashedZero;
    View_.SetText(Ctl::CallEntered, call);
    CallEnteredExit();
  } else if (item == "Radio") {
    ClientRadioChange(text);
  } else if (item == "Log_It") {
    if (text != "ON") return;
    // The program waits for "OFF" before it asks again: it is answered even
    // when the contact could not be added.
    try {
      AddToLogButtonClick();
    } catch (...) {
      Poke("Log_It", "OFF");
      throw;
    }
    Poke("Log_It", "OFF");
  } else if (item == "Clear") {
    if (text != "ON") return;
    Poke("Clear", "OFF");
    ClearButtonClick();
  } else {
    for (const TextItem& t : kTextItems)
      if (item == t.Item) View_.SetText(t.Field, text);
  }
}

void MainController::ClientRadioChange(const std::string& text) {
  if (!Module_.HamScopeLinked) return;
  if (State_.Station.TypeLog) View_.SetText(Ctl::StatPanel, text);
  View_.SetText(Ctl::FreqEntered, RadioBandText(text));
  View_.SetText(Ctl::Notes, text);
}

}  // namespace qv::app
