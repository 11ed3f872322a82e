// The main window as its controller sees it: named controls with text, check
// state, visibility, size and colours, the focus, the two timers, message
// boxes and the browser. The Qt window implements it; controller tests use a
// fake. All text is 8-bit (1252) text; colours are Windows values 0x00BBGGRR.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppUi.h"
#include "app/Settings.h"

namespace qv::app {

// The controls of the main window, by their form names.
enum class Ctl : uint8_t {
  // entry fields
  CallEntered, TimeST, RSTSent, NumSent, RSTRcvd, RSTNumRcvd, CountryFLD, QSODate, NameFld, LName,
  CityFld, StateFLD, ContinentFLD, FreqEntered, Mode, TimeEndFld, Notes,
  // the extra fields (panel XtraFields)
  County, CQZ, GridSq, ITUZ, FISTS, IOTA, OOTC, TenTen, QCWA, DXCC, LicClass, BMCode, PrefCountry,
  PostalCode, Street, Lat, Long, Email, WebURL, QSLMgr,
  // check boxes
  IBM, QSLSCkBox, EQSLCkBox, LOTWCkBox,
  // panels and labels
  XtraFields, StatPanel, LogTypInf, LogNr, ClockPanel, QSOPanel, TlIBM, TLNonIBM, TlPoints, TlMult,
  TlScore, RSTSentHdr, RSTRcvdHdr, TimeEndHdr, NotesHdr, F11Text, RSTSentSep, RSTRcvdSep,
  // grid, buttons, choices
  BrDBGrid, AddToLogButton, ClearButton, EditLogBtn, ViewMultBtn, BtnToolBar, UserGuidBtn,
  SettingsButton, ExitButton, ConnHSBtn, OnlineLookup, OutFmtRadGrp,
  Count
};

inline constexpr const char* kCtlNames[] = {
    "CallEntered", "TimeST", "RSTSent", "NumSent", "RSTRcvd", "RSTNumRcvd", "CountryFLD", "QSODate",
    "NameFld", "LName", "CityFld", "StateFLD", "ContinentFLD", "FreqEntered", "Mode", "TimeEndFld",
    "Notes", "County", "CQZ", "GridSq", "ITUZ", "FISTS", "IOTA", "OOTC", "TenTen", "QCWA", "DXCC",
    "LicClass", "BMCode", "PrefCountry", "PostalCode", "Street", "Lat", "Long", "Email", "WebURL",
    "QSLMgr", "IBM", "QSLSCkBox", "EQSLCkBox", "LOTWCkBox", "XtraFields", "StatPanel", "LogTypInf",
    "LogNr", "ClockPanel", "QSOPanel", "TlIBM", "TLNonIBM", "TlPoints", "TlMult", "TlScore",
    "RSTSentHdr", "RSTRcvdHdr", "TimeEndHdr", "NotesHdr", "F11Text", "RSTSentSep", "RSTRcvdSep",
    "BrDBGrid", "AddToLogButton", "ClearButton", "EditLogBtn", "ViewMultBtn", "BtnToolBar",
    "UserGuidBtn", "SettingsButton", "ExitButton", "ConnHSBtn", "OnlineLookup", "OutFmtRadGrp"};
static_assert(sizeof(kCtlNames) / sizeof(kCtlNames[0]) == static_cast<size_t>(Ctl::Count));

inline const char* CtlName(Ctl c) { return kCtlNames[static_cast<size_t>(c)]; }

// The extra fields in the order of the panel.
inline constexpr Ctl kXtraFields[] = {Ctl::County, Ctl::CQZ,        Ctl::GridSq,      Ctl::ITUZ,
                                      Ctl::FISTS,  Ctl::IOTA,       Ctl::OOTC,        Ctl::TenTen,
                                      Ctl::QCWA,   Ctl::DXCC,       Ctl::LicClass,    Ctl::BMCode,
                                      Ctl::PrefCountry, Ctl::PostalCode, Ctl::Street, Ctl::Lat,
                                      Ctl::Long,   Ctl::Email,      Ctl::WebURL,      Ctl::QSLMgr};

// Windows colour values (0x00BBGGRR) the main window uses.
inline constexpr uint32_t kWinBlack = 0x000000;
inline constexpr uint32_t kWinWhite = 0xFFFFFF;
inline constexpr uint32_t kWinRed = 0x0000FF;
inline constexpr uint32_t kWinBlue = 0xFF0000;
inline constexpr uint32_t kWinYellow = 0x00FFFF;
inline constexpr uint32_t kWinTeal = 0x808000;
inline constexpr uint32_t kWinAqua = 0xFFFF00;
inline constexpr uint32_t kWinPurple = 0x800080;

// Timer1, Timer2, and the timer that brings the backup copy up to date a
// slice at a time (interval 0: between the window's other events).
enum class MainTimer : uint8_t { Clock, Notice, Backup };

// The grid's columns by number (0-based), as the layouts name them.
inline constexpr int32_t kGridColumnCount = 42;

class MainView : public AppUi, public MainWindowHooks {
public:
  ~MainView() override = default;

  // Text of an edit or combo box, caption of a label, panel, button or box.
  virtual std::string Text(Ctl c) const = 0;
  virtual void SetText(Ctl c, std::string_view text) = 0;
  virtual bool Checked(Ctl c) const = 0;
  virtual void SetChecked(Ctl c, bool checked) = 0;
  virtual bool Visible(Ctl c) const = 0;
  virtual void SetVisible(Ctl c, bool visible) = 0;
  virtual int32_t Width(Ctl c) const = 0;
  virtual void SetWidth(Ctl c, int32_t pixels) = 0;
  virtual void SetHeight(Ctl c, int32_t pixels) = 0;
  virtual void SetMaxLength(Ctl c, int32_t chars) = 0;
  virtual void SetFontSize(Ctl c, int32_t points) = 0;
  virtual void SetColor(Ctl c, uint32_t winColor) = 0;      // background
  virtual void SetFontColor(Ctl c, uint32_t winColor) = 0;  // text or caption
  virtual void SetItems(Ctl c, const std::vector<std::string>& items) = 0;
  // Selected item of a radio group; -1 when none.
  virtual int32_t ItemIndex(Ctl c) const = 0;
  virtual void SetItemIndex(Ctl c, int32_t index) = 0;
  // Moves the focus. A move made by a handler runs no field-exit check; a
  // move made inside a field-exit check cancels the operator's move.
  virtual void Focus(Ctl c) = 0;
  // The control holding the focus; Ctl::Count when none of the named ones.
  virtual Ctl FocusedControl() const = 0;
  virtual void SetGridColumnVisible(int32_t column, bool visible) = 0;
  virtual int32_t ClientWidth() const = 0;
  virtual void SetTimerEnabled(MainTimer timer, bool enabled) = 0;
  virtual void SetTimerInterval(MainTimer timer, int32_t ms) = 0;
  // True while the window is the active window (the closing placement).
  virtual bool IsActiveWindow() const = 0;
  virtual WindowState CurrentWindowState() const = 0;
  // The error box of a failure (titled with the program's name).
  virtual void ShowError(const std::string& text) = 0;
  // Opens a document or web address with the desktop's handler.
  virtual void OpenUrl(const std::string& url) = 0;
  virtual void CloseWindow() = 0;
};

}  // namespace qv::app
