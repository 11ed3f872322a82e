// A client conversation with another program in the shape of a Windows DDE
// client conversation: open a link to a service and topic, start advise loops
// on named items (their changes are reported), poke text to items, close.
// Linux has no DDE; the transport is our own framed protocol over a
// Unix-domain stream socket (QLocalSocket).
//
// Where the server listens: the socket "<service>.<topic>" in lower case, in
// the folder
//   1. $QUORVEX_DDE_DIR when set (created when missing), else
//   2. $XDG_RUNTIME_DIR/dde when $XDG_RUNTIME_DIR is set (created, mode 0700),
//   3. else <TempPath>/quorvex-dde-<uid> (created, mode 0700). CI and root
//      often run without $XDG_RUNTIME_DIR; a folder there that belongs to
//      another user or is open to others is refused (no link).
// Service and topic are names of letters, digits, '_' and '-' only.
//
// Frames, in both directions: an ASCII header line, then the payload
//
//   VERB ITEM LEN\n<LEN raw bytes>
//
//   VERB  upper-case letters, at most 16
//   ITEM  1-255 printable ASCII characters without blanks; "-" when none
//   LEN   payload length, decimal digits, at most kDdeMaxPayload
//   payload  8-bit text as it is (no terminator)
//
//   client -> server   INIT - n       payload: service TAB topic
//                      ADVISE item 0  start reporting the item's changes
//                      POKE item n    payload: the new text of the item
//                      TERMINATE - 0  the client ends the conversation
//   server -> client   ACK item 0     INIT ("-"), ADVISE or POKE accepted
//                      NACK item 0    refused
//                      DATA item n    an advised item changed; payload: its text
//                      TERMINATE - 0  the server ends the conversation
//
// Rules of the client:
//   1. The link is up when INIT is answered with ACK within kDdeLinkTimeoutMs
//      of the start of setLink; no answer, NACK or anything else: no link.
//   2. An advise start delivers no initial value; DATA of an item that is not
//      advised is ignored.
//   3. Received text loses its trailing NUL, CR and LF characters.
//   4. ADVISE and POKE are sent without waiting; their answers are read and
//      ignored (pokes are not checked).
//   5. A malformed frame, a verb the client does not expect, or a payload on
//      a verb that takes none drops the link at once.
//   6. onClose fires exactly once per link that was up, whichever side ends
//      it (closeLink, TERMINATE, the socket closing, rule 5).
//
// States: Closed --setLink (ACK)--> Linked --closeLink / TERMINATE / EOF /
// malformed frame--> Closed. Frames are handled one at a time: a callback
// that runs a nested event loop does not receive the next change inside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>

class QLocalSocket;

namespace qv::gui {

inline constexpr int kDdeLinkTimeoutMs = 2000;
inline constexpr size_t kDdeMaxVerb = 16;
inline constexpr size_t kDdeMaxItem = 255;
inline constexpr size_t kDdeMaxPayload = 1 << 20;
// Longest header line: verb, item, seven digits, two blanks and the '\n'.
inline constexpr size_t kDdeMaxHeader = kDdeMaxVerb + kDdeMaxItem + 7 + 3;

struct DdeFrame {
  std::string Verb;
  std::string Item;
  std::string Payload;
};

// One frame as bytes (the caller passes valid names).
std::string EncodeDdeFrame(std::string_view verb, std::string_view item, std::string_view payload = {});

// Cuts received bytes into frames. Once the stream breaks the frame rules it
// stays broken: every later Next answers Malformed.
class DdeFrameReader {
public:
  enum class Result : uint8_t { NeedMore, Frame, Malformed };
  void Feed(std::string_view bytes);
  Result Next(DdeFrame& frame);
  const std::string& Error() const { return Error_; }

private:
  Result Fail(std::string why);
  std::string Buffer_;
  size_t Start_ = 0;  // first byte of Buffer_ not yet taken
  std::string Error_;
};

// The folder of the conversation sockets (rules above), created when
// missing; empty when it cannot be made or is not safe to use.
std::string DdeSocketFolder();
// The socket of service and topic; empty when the names are not allowed or
// the folder is unusable.
std::string DdeSocketPath(std::string_view service, std::string_view topic);

class DdeConversation {
public:
  DdeConversation();
  ~DdeConversation();
  DdeConversation(const DdeConversation&) = delete;
  DdeConversation& operator=(const DdeConversation&) = delete;

  // Opens the link (closing an open one first); true when the server
  // accepted service and topic. Blocks for at most kDdeLinkTimeoutMs.
  bool setLink(const std::string& service, const std::string& topic);
  bool isLinked() const { return Linked_; }
  // Starts the advise loop of item: its changes reach onItemChange.
  void startAdvise(const std::string& item);
  void poke(const std::string& item, const std::string& text);
  // Ends the link; onClose follows at once. Nothing when no link is up.
  void closeLink();

  std::function<void(const std::string& item, const std::string& text)> onItemChange;
  std::function<void()> onClose;

private:
  void Send(std::string_view verb, std::string_view item, std::string_view payload = {});
  void OnReadyRead();
  // Drops the link after a malformed frame or the socket closing.
  void Drop();
  void Closed();

  std::unique_ptr<QLocalSocket> Socket_;
  DdeFrameReader Reader_;
  std::set<std::string> Advised_;
  bool Linked_ = false;
  bool Dispatching_ = false;
  // Cleared when the object goes away, so a callback that deleted it ends
  // the dispatch loop instead of touching freed members.
  std::shared_ptr<bool> Alive_;
};

}  // namespace qv::gui
