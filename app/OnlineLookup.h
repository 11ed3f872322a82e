// The online callsign lookup: the HTTP request of the raw lookup, the answer
// whose fields are introduced by one-byte markers, and the two callsign pages
// opened in the browser.
//
// The answer is handled as raw 8-bit bytes: the markers 0xB5-0xDE (and 0xFB,
// 0xFC, 0xFD for the zones and the continent) are bytes, never decoded as
// UTF-8. A field's text runs from the byte after its marker to the next byte
// of 0xB5-0xDE; a field that reaches the end of the line without one reads
// "NF".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/host/StringList.h"

namespace qv::app {

class MainView;

// Hosts of the three services.
inline constexpr const char* kLookupHost = "hamcall.net";
inline constexpr const char* kHamQthHost = "www.hamqth.com";
inline constexpr const char* kQrzHost = "www.qrz.com";

// Items of the choice OnlineLookup.
enum LookupChoice : int32_t { lcHamQthPage = 0, lcQrzPage = 1, lcRawLookup = 2, lcNone = 3 };

// Bytes that end a field (LookupFieldMarkers).
constexpr uint8_t kFirstFieldMarker = 0xB5;
constexpr uint8_t kLastFieldMarker = 0xDE;
inline bool IsLookupFieldMarker(uint8_t b) { return b >= kFirstFieldMarker && b <= kLastFieldMarker; }
// True for a byte that introduces a field of the marker table.
bool IsReadMarker(uint8_t b);

// A query value with every byte outside A-Z a-z 0-9 "-" "." "_" "~" "/"
// written as "%XX" (upper-case hex); calls and plain ids stay as they are.
std::string PercentEncodeQueryValue(std::string_view value);

// "http://<host>/call?username=<id>&password=<pw>&rawlookup=1&callsign=<call>
// &program=Quorvex", slashed zeros of id and call as "0", values encoded.
std::string BuildLookupRequest(std::string_view host, std::string_view userId, std::string_view password,
                               std::string_view call);
std::string HamQthPageUrl(std::string_view call);
std::string QrzPageUrl(std::string_view call);

// The lookup's HTTP GET: the reply body's lines, the request ended within
// deadlineMs (0: no limit). False with a short reason in failure when the
// request failed (the HTTP client's words: refused, host not found, a TLS
// failure, the deadline) or the service answered with an error status
// ("HTTP 404 Not Found"), whose body is no answer but, when it is plain
// text, may say why: its first line follows the status ("HTTP 401
// Unauthorized: Invalid login").
bool FetchLookupReply(const std::string& url, StringList& lines, int32_t deadlineMs, std::string& failure);

// ExtractLookupField: the field text starting at 1-based position start of
// line, looking at no more than length - 1 bytes; "NF" when no marker ends it.
std::string ExtractLookupField(int32_t length, std::string_view line, int32_t start);

// The line of the answer that carries the fields: the first one holding a
// marker byte; -1 when none does.
int32_t FindAnswerLine(const StringList& lines);

// "E" Extra, "A" Adv, "G" Gen, "P" Tech +, "T" Tech, "N" Nov; others unchanged.
std::string LicenceClassText(std::string_view code);

// Spreads one answer line over the entry fields: every marker of the table
// whose condition holds fills its field (name, city, state, country and
// continent only when memberFound is false; the e-mail address only when its
// field is empty), then the licence class is spelled out and, without a
// member, an empty country takes the prefix country and an "NF" or empty
// continent becomes "NA" for "USA", else empty.
void ApplyLookupAnswer(MainView& view, std::string_view line, bool memberFound);

}  // namespace qv::app
