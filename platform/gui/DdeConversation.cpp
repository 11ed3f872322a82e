// The DDE client conversation over a local socket. See DdeConversation.h for
// the frames and the rules.
#include "platform/gui/DdeConversation.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <cstdlib>
#include <unistd.h>

#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Paths.h"
#include "platform/os/System.h"

namespace qv::gui {

namespace {

constexpr size_t kMaxNameLength = 40;  // service or topic: keeps the socket path short

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsItemChar(char c) { return c > ' ' && c < 0x7F; }

// A service or topic may name a file: letters, digits, '_' and '-' only.
bool IsSocketName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (char c : name)
    if (!IsUpper(c) && !(c >= 'a' && c <= 'z') && !IsDigit(c) && c != '_' && c != '-') return false;
  return true;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A DDE text often ends with CR LF and the C terminator: none of them is text.
std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace

// ------------------------------------------------------------------ frames

std::string EncodeDdeFrame(std::string_view verb, std::string_view item, std::string_view payload) {
  std::string frame;
  frame.reserve(verb.size() + item.size() + payload.size() + 12);
  frame.append(verb).append(1, ' ').append(item).append(1, ' ').append(std::to_string(payload.size()));
  frame.append(1, '\n').append(payload);
  return frame;
}

void DdeFrameReader::Feed(std::string_view bytes) {
  if (!Error_.empty()) return;
  Buffer_.erase(0, Start_);
  Start_ = 0;
  Buffer_.append(bytes);
}

DdeFrameReader::Result DdeFrameReader::Fail(std::string why) {
  Error_ = std::move(why);
  Buffer_.clear();
  Start_ = 0;
  return Result::Malformed;
}

DdeFrameReader::Result DdeFrameReader::Next(DdeFrame& frame) {
  if (!Error_.empty()) return Result::Malformed;
  const size_t end = Buffer_.find('\n', Start_);
  const size_t headerSize = (end == std::string::npos ? Buffer_.size() : end + 1) - Start_;
  if (headerSize > kDdeMaxHeader) return Fail("frame header too long");
  if (end == std::string::npos) return Result::NeedMore;

  const std::string_view header(Buffer_.data() + Start_, end - Start_);
  const size_t blank1 = header.find(' ');
  const size_t blank2 = blank1 == std::string_view::npos ? blank1 : header.find(' ', blank1 + 1);
  if (blank2 == std::string_view::npos) return Fail("frame header without three fields");
  const std::string_view verb = header.substr(0, blank1);
  const std::string_view item = header.substr(blank1 + 1, blank2 - blank1 - 1);
  const std::string_view len = header.substr(blank2 + 1);

  if (verb.empty() || verb.size() > kDdeMaxVerb) return Fail("bad verb");
  for (char c : verb)
    if (!IsUpper(c)) return Fail("bad verb");
  if (item.empty() || item.size() > kDdeMaxItem) return Fail("bad item");
  for (char c : item)
    if (!IsItemChar(c)) return Fail("bad item");
  if (len.empty() || len.size() > 7) return Fail("bad length");
  size_t size = 0;
  for (char c : len) {
    if (!IsDigit(c)) return Fail("bad length");
    size = size * 10 + static_cast<size_t>(c - '0');
  }
  if (size > kDdeMaxPayload) return Fail("payload too long");

  const size_t payloadAt = end + 1;
  if (Buffer_.size() - payloadAt < size) return Result::NeedMore;
  frame.Verb.assign(verb);
  frame.Item.assign(item);
  frame.Payload.assign(Buffer_, payloadAt, size);
  Start_ = payloadAt + size;
  return Result::Frame;
}

// ----------------------------------------------------------------- sockets

std::string DdeSocketFolder() {
  if (const char* dir = std::getenv("QUORVEX_DDE_DIR"); dir != nullptr && *dir != '\0') {
    std::string folder = WithoutTrailingSlash(dir);
    return ForceFolders(folder) ? folder : std::string();
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    std::string folder = WithoutTrailingSlash(runtime) + "/dde";
    if (CreatePrivateFolder(folder)) return folder;
  }
  std::string folder = TempPath() + "/quorvex-dde-" + std::to_string(::geteuid());
  return CreatePrivateFolder(folder) ? folder : std::string();
}

std::string DdeSocketPath(std::string_view service, std::string_view topic) {
  if (!IsSocketName(service) || !IsSocketName(topic)) return {};
  const std::string folder = DdeSocketFolder();
  if (folder.empty()) return {};
  return folder + "/" + LowerCase(service) + "." + LowerCase(topic);
}

// ------------------------------------------------------------ conversation

DdeConversation::DdeConversation()
    : Socket_(std::make_unique<QLocalSocket>()), Alive_(std::make_shared<bool>(true)) {
  QObject::connect(Socket_.get(), &QLocalSocket::readyRead, Socket_.get(), [this] { OnReadyRead(); });
  QObject::connect(Socket_.get(), &QLocalSocket::disconnected, Socket_.get(), [this] {
    // What arrived before the end is still handled, in order.
    const std::shared_ptr<bool> alive = Alive_;
    OnReadyRead();
    if (*alive) Drop();
  });
}

DdeConversation::~DdeConversation() {
  *Alive_ = false;
  QObject::disconnect(Socket_.get(), nullptr, nullptr, nullptr);
  if (Linked_) {
    Send("TERMINATE", "-");
    Socket_->flush();
  }
  // Gone from inside one of the socket's own signals: the socket must outlive
  // that signal.
  if (Dispatching_) Socket_.release()->deleteLater();
}

void DdeConversation::Send(std::string_view verb, std::string_view item, std::string_view payload) {
  const std::string frame = EncodeDdeFrame(verb, item, payload);
  Socket_->write(frame.data(), static_cast<qint64>(frame.size()));
  Socket_->flush();
}

bool DdeConversation::setLink(const std::string& service, const std::string& topic) {
  closeLink();
  if (Socket_->state() != QLocalSocket::UnconnectedState) Socket_->abort();
  Reader_ = DdeFrameReader();
  Advised_.clear();
  const std::string path = DdeSocketPath(service, topic);
  if (path.empty()) return false;

  QElapsedTimer clock;
  clock.start();
  auto fail = [&] {
    Socket_->abort();
    return false;
  };
  Socket_->connectToServer(QFile::decodeName(QByteArray::fromStdString(path)));
  if (!Socket_->waitForConnected(kDdeLinkTimeoutMs)) return fail();
  Send("INIT", "-", service + '\t' + topic);
  for (;;) {
    DdeFrame answer;
    const DdeFrameReader::Result r = Reader_.Next(answer);
    if (r == DdeFrameReader::Result::Malformed) return fail();
    if (r == DdeFrameReader::Result::Frame) {
      if (answer.Verb != "ACK" || answer.Item != "-" || !answer.Payload.empty()) return fail();
      break;
    }
    const qint64 left = kDdeLinkTimeoutMs - clock.elapsed();
    if (left <= 0 || !Socket_->waitForReadyRead(static_cast<int>(left))) return fail();
    const QByteArray bytes = Socket_->readAll();
    Reader_.Feed(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
  }
  Linked_ = true;
  // Whatever came with the answer is handled from the event loop, like any
  // later frame.
  std::weak_ptr<bool> alive = Alive_;
  QMetaObject::invokeMethod(
      Socket_.get(),
      [this, alive] {
        if (auto a = alive.lock(); a && *a) OnReadyRead();
      },
      Qt::QueuedConnection);
  return true;
}

void DdeConversation::startAdvise(const std::string& item) {
  if (!Linked_) return;
  Advised_.insert(item);
  Send("ADVISE", item);
}

void DdeConversation::poke(const std::string& item, const std::string& text) {
  if (Linked_) Send("POKE", item, text);
}

void DdeConversation::closeLink() {
  if (!Linked_) return;
  Linked_ = false;  // the socket's own signals while it closes are not frames
  Send("TERMINATE", "-");
  Socket_->disconnectFromServer();
  Closed();
}

void DdeConversation::Drop() {
  if (!Linked_) return;
  Linked_ = false;
  Socket_->abort();
  Closed();
}

void DdeConversation::Closed() {
  Linked_ = false;
  Advised_.clear();
  if (auto notify = onClose) notify();
}

void DdeConversation::OnReadyRead() {
  if (!Linked_ || Dispatching_) return;
  Dispatching_ = true;
  const std::shared_ptr<bool> alive = Alive_;
  const auto endDispatch = ScopeExit([&] {
    if (*alive) Dispatching_ = false;
  });
  // A frame that breaks the rules ends the link (and may end this object).
  auto bad = [&] { Drop(); };
  while (Linked_) {
    if (Socket_->bytesAvailable() > 0) {
      const QByteArray bytes = Socket_->readAll();
      Reader_.Feed(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    }
    DdeFrame frame;
    const DdeFrameReader::Result r = Reader_.Next(frame);
    if (r == DdeFrameReader::Result::NeedMore) {
      if (Socket_->bytesAvailable() > 0) continue;
      return;
    }
    if (r == DdeFrameReader::Result::Malformed) return bad();
    if (frame.Verb == "DATA") {
      if (Advised_.count(frame.Item) == 0) continue;
      if (auto notify = onItemChange) {
        notify(frame.Item, WithoutLineEnd(std::move(frame.Payload)));
        if (!*alive) return;
      }
    } else if (frame.Verb == "ACK" || frame.Verb == "NACK") {
      if (!frame.Payload.empty()) return bad();
    } else if (frame.Verb == "TERMINATE") {
      return Drop();
    } else {
      return bad();
    }
  }
}

}  // namespace qv::gui
