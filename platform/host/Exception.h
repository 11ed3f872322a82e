// The base of every exception the system raises: a message text and a help
// context, as the host class library's base exception class has them.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace qv {

class Exception : public std::exception {
public:
  explicit Exception(std::string message, int32_t helpContext = 0)
      : Message_(std::move(message)), HelpContext_(helpContext) {}

  const char* what() const noexcept override { return Message_.c_str(); }
  const std::string& Message() const noexcept { return Message_; }
  int32_t HelpContext() const noexcept { return HelpContext_; }

protected:
  // Only for derived classes that build their text after the base is made.
  void SetMessage(std::string message) { Message_ = std::move(message); }

private:
  std::string Message_;
  int32_t HelpContext_;
};

// Raised by the text/number/date conversions and by format() on a bad format
// string or argument list.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// Raised by a stream that cannot read or write the requested bytes.
class EStreamError : public Exception {
public:
  using Exception::Exception;
};
class EReadError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
  using EStreamError::EStreamError;
};

// Ends the running handler without a message: the handler has told the
// operator what happened already (the event handlers' guard drops it).
class ESilentException : public Exception {
public:
  ESilentException() : Exception("Operation stopped") {}
};

// Raised for an index outside a list.
class EListError : public Exception {
public:
  using Exception::Exception;
};

}  // namespace qv
