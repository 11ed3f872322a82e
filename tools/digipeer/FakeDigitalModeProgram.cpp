// The digital-mode program stand-in. See FakeDigitalModeProgram.h.
#include "tools/digipeer/FakeDigitalModeProgram.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <map>
#include <mutex>
#include <set>

#include "platform/gui/DdeConversation.h"

namespace qv::test {

using gui::DdeFrame;
using gui::DdeFrameReader;
using gui::EncodeDdeFrame;

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return QString::fromLatin1(a).compare(QString::fromLatin1(b), Qt::CaseInsensitive) == 0;
}

bool SpinUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace

struct FakeDigitalModeProgram::Impl {
  struct Client {
    DdeFrameReader Reader;
    std::set<std::string> Advised;
  };

  FakeDigitalModeProgram& Owner;
  std::string Service, Topic, Path;
  QThread Thread;
  QObject* Context = nullptr;  // lives in Thread: everything below is used there only
  QLocalServer* Server = nullptr;
  std::map<QLocalSocket*, Client> Connections;
  mutable std::mutex Lock;  // guards the three below
  std::vector<std::string> Lines;
  std::map<std::string, std::string> Values;
  size_t ClientCount = 0;

  Impl(FakeDigitalModeProgram& owner, std::string service, std::string topic)
      : Owner(owner), Service(std::move(service)), Topic(std::move(topic)) {
    Context = new QObject();
    Context->moveToThread(&Thread);
    Thread.start();
  }
  ~Impl() {
    InThread([this] {
      for (auto& [socket, client] : Connections) delete socket;
      Connections.clear();
      delete Server;
      Server = nullptr;
    });
    Thread.quit();
    Thread.wait();
    delete Context;
  }

  void InThread(const std::function<void()>& f) { QMetaObject::invokeMethod(Context, f, Qt::BlockingQueuedConnection); }

  void Record(std::string line) {
    {
      std::lock_guard<std::mutex> g(Lock);
      Lines.push_back(line);
    }
    if (Owner.OnLine) Owner.OnLine(line);
  }

  void Write(QLocalSocket* socket, const std::string& bytes) {
    socket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    socket->flush();
  }

  void SetValue(const std::string& item, const std::string& text) {
    {
      std::lock_guard<std::mutex> g(Lock);
      Values[item] = text;
    }
    const std::string frame = EncodeDdeFrame("DATA", item, text);
    for (auto& [socket, client] : Connections)
      if (client.Advised.count(item) != 0) Write(socket, frame);
  }

  void Forget(QLocalSocket* socket) {
    if (Connections.erase(socket) == 0) return;
    socket->deleteLater();
    std::lock_guard<std::mutex> g(Lock);
    ClientCount = Connections.size();
  }

  void Accept() {
    while (QLocalSocket* socket = Server->nextPendingConnection()) {
      Connections[socket];
      {
        std::lock_guard<std::mutex> g(Lock);
        ClientCount = Connections.size();
      }
      QObject::connect(socket, &QLocalSocket::readyRead, Context, [this, socket] { Read(socket); });
      // Queued: a write that finds the client gone must not forget it while
      // Read still uses it.
      QObject::connect(
          socket, &QLocalSocket::disconnected, Context, [this, socket] { Forget(socket); }, Qt::QueuedConnection);
    }
  }

  void Read(QLocalSocket* socket) {
    auto it = Connections.find(socket);
    if (it == Connections.end()) return;
    Client& client = it->second;
    const QByteArray bytes = socket->readAll();
    client.Reader.Feed(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    DdeFrame f;
    for (;;) {
      const DdeFrameReader::Result r = client.Reader.Next(f);
      if (r == DdeFrameReader::Result::NeedMore) return;
      if (r == DdeFrameReader::Result::Malformed) {
        Record("MALFORMED");
        socket->abort();
        return;
      }
      Record(f.Verb + " " + f.Item + (f.Payload.empty() ? "" : " " + f.Payload));
      if (f.Verb == "INIT") {
        const size_t tab = f.Payload.find('\t');
        const bool ours = tab != std::string::npos && SameName(f.Payload.substr(0, tab), Service) &&
                          SameName(f.Payload.substr(tab + 1), Topic);
        Write(socket, EncodeDdeFrame(ours ? "ACK" : "NACK", "-"));
      } else if (f.Verb == "ADVISE") {
        client.Advised.insert(f.Item);
        Write(socket, EncodeDdeFrame("ACK", f.Item));
      } else if (f.Verb == "POKE") {
        Write(socket, EncodeDdeFrame("ACK", f.Item));
        SetValue(f.Item, f.Payload);
      } else if (f.Verb == "TERMINATE") {
        socket->disconnectFromServer();
        return;
      }
    }
  }
};

FakeDigitalModeProgram::FakeDigitalModeProgram(std::string service, std::string topic)
    : Impl_(std::make_unique<Impl>(*this, std::move(service), std::move(topic))) {}

FakeDigitalModeProgram::~FakeDigitalModeProgram() = default;

bool FakeDigitalModeProgram::Listen() {
  bool ok = false;
  Impl_->InThread([&] {
    Impl& m = *Impl_;
    m.Path = gui::DdeSocketPath(m.Service, m.Topic);
    if (m.Path.empty()) return;
    const QString name = QFile::decodeName(QByteArray::fromStdString(m.Path));
    QLocalServer::removeServer(name);
    m.Server = new QLocalServer();
    QObject::connect(m.Server, &QLocalServer::newConnection, m.Context, [&m] { m.Accept(); });
    ok = m.Server->listen(name);
  });
  return ok;
}

const std::string& FakeDigitalModeProgram::SocketPath() const { return Impl_->Path; }

void FakeDigitalModeProgram::Set(const std::string& item, const std::string& text) {
  Impl_->InThread([&] { Impl_->SetValue(item, text); });
}

void FakeDigitalModeProgram::Drop() {
  Impl_->InThread([&] {
    // Closing a socket may forget it at once: walk a copy.
    std::vector<QLocalSocket*> sockets;
    for (auto& [socket, client] : Impl_->Connections) sockets.push_back(socket);
    for (QLocalSocket* socket : sockets) {
      Impl_->Write(socket, EncodeDdeFrame("TERMINATE", "-"));
      socket->disconnectFromServer();
    }
  });
}

void FakeDigitalModeProgram::SendRaw(const std::string& bytes) {
  Impl_->InThread([&] {
    for (auto& [socket, client] : Impl_->Connections) Impl_->Write(socket, bytes);
  });
}

std::vector<std::string> FakeDigitalModeProgram::Transcript() const {
  std::lock_guard<std::mutex> g(Impl_->Lock);
  return Impl_->Lines;
}

void FakeDigitalModeProgram::ClearTranscript() {
  std::lock_guard<std::mutex> g(Impl_->Lock);
  Impl_->Lines.clear();
}

std::string FakeDigitalModeProgram::Value(const std::string& item) const {
  std::lock_guard<std::mutex> g(Impl_->Lock);
  auto it = Impl_->Values.find(item);
  return it == Impl_->Values.end() ? std::string() : it->second;
}

size_t FakeDigitalModeProgram::Clients() const {
  std::lock_guard<std::mutex> g(Impl_->Lock);
  return Impl_->ClientCount;
}

bool FakeDigitalModeProgram::WaitForTranscript(size_t lines, int timeoutMs) const {
  return SpinUntil([&] { return Transcript().size() >= lines; }, timeoutMs);
}

bool FakeDigitalModeProgram::WaitForClients(size_t count, int timeoutMs) const {
  return SpinUntil([&] { return Clients() == count; }, timeoutMs);
}

}  // namespace qv::test
