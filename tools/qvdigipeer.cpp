// qvdigipeer: a stand-in for the digital-mode program, to try the logger's
// link by hand.
//
//   qvdigipeer [service [topic]]        (default: HamScope LogData)
//
// It listens where the logger looks for the program (QUORVEX_DDE_DIR moves
// the place, see platform/gui/DdeConversation.h), prints each frame a client
// sends ("< POKE Name John"), and reads commands from standard input:
//
//   set ITEM TEXT   the item takes the text; clients that advised it get it
//                   ("set Call_C W1AW", "set Radio 14.070", "set Log_It ON")
//   drop            ends every conversation
//   quit            ends the program (so does the end of the input)
#include <QCoreApplication>
#include <iostream>
#include <mutex>
#include <string>

#include "tools/digipeer/FakeDigitalModeProgram.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::string service = argc > 1 ? argv[1] : "HamScope";
  const std::string topic = argc > 2 ? argv[2] : "LogData";

  qv::test::FakeDigitalModeProgram peer(service, topic);
  std::mutex output;  // lines come from the peer's thread
  peer.OnLine = [&](const std::string& line) {
    std::lock_guard<std::mutex> g(output);
    std::cout << "< " << line << std::endl;
  };
  if (!peer.Listen()) {
    std::cerr << "qvdigipeer: cannot listen for " << service << "/" << topic << std::endl;
    return 1;
  }
  {
    std::lock_guard<std::mutex> g(output);
    std::cout << "listening on " << peer.SocketPath() << std::endl;
  }

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") break;
    if (line == "drop") {
      peer.Drop();
    } else if (line.rfind("set ", 0) == 0) {
      const std::string rest = line.substr(4);
      const size_t blank = rest.find(' ');
      peer.Set(rest.substr(0, blank), blank == std::string::npos ? std::string() : rest.substr(blank + 1));
    } else if (!line.empty()) {
      std::lock_guard<std::mutex> g(output);
      std::cerr << "commands: set ITEM TEXT | drop | quit" << std::endl;
    }
  }
  return 0;
}
