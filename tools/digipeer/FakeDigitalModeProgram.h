// A stand-in for the digital-mode program at the other end of the link, for
// tests and for trying the link by hand (tools/qvdigipeer). It serves the
// conversation protocol of platform/gui/DdeConversation.h from a thread of its
// own, so a client in the calling thread may block in setLink while it answers.
//
// It accepts INIT for its service and topic (any case), answers ADVISE and
// POKE with ACK, keeps the value of every poked or set item, and echoes a poke
// as DATA to the clients that advised the item. What clients send is kept in
// a transcript, one line per frame: verb, item and (when not empty) the text,
// blank-separated: "INIT - HamScope\tLogData", "ADVISE Mode", "POKE Name John",
// "TERMINATE -"; a frame that breaks the rules adds "MALFORMED" and ends that
// client's connection.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv::test {

class FakeDigitalModeProgram {
public:
  explicit FakeDigitalModeProgram(std::string service = "HamScope", std::string topic = "LogData");
  ~FakeDigitalModeProgram();
  FakeDigitalModeProgram(const FakeDigitalModeProgram&) = delete;
  FakeDigitalModeProgram& operator=(const FakeDigitalModeProgram&) = delete;

  // Listens on the socket of its service and topic (a stale socket file is
  // replaced); false when it cannot.
  bool Listen();
  const std::string& SocketPath() const;

  // The item takes text; DATA goes to every client that advised it.
  void Set(const std::string& item, const std::string& text);
  // Ends every conversation: TERMINATE, then the connection closes.
  void Drop();
  // Sends bytes as they are to every client.
  void SendRaw(const std::string& bytes);

  std::vector<std::string> Transcript() const;
  void ClearTranscript();
  std::string Value(const std::string& item) const;
  size_t Clients() const;
  // Run the caller's event loop until the condition holds or timeoutMs pass.
  bool WaitForTranscript(size_t lines, int timeoutMs = 5000) const;
  bool WaitForClients(size_t count, int timeoutMs = 5000) const;

  // Called in the peer's thread with each new transcript line.
  std::function<void(const std::string& line)> OnLine;

private:
  struct Impl;
  std::unique_ptr<Impl> Impl_;
};

}  // namespace qv::test
