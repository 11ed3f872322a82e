// Catching the engine's (and the host library's) exceptions in tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/core/VLMExcept.h"

namespace qv::test {

// Runs fn, which must raise EVLMException, and returns it.
template <class Fn>
EVLMException Raised(Fn fn) {
  try {
    fn();
  } catch (const EVLMException& e) {
    return e;
  }
  ADD_FAILURE() << "no EVLMException was raised";
  return EVLMException(0, "none");
}

// The native code of the EVLMException fn raises; 0 when it raises none.
template <class Fn>
int32_t RaisedCode(Fn fn) {
  try {
    fn();
  } catch (const EVLMException& e) {
    return e.NativeError;
  }
  return 0;
}

// The message of the EVLMException fn raises; "" when it raises none.
template <class Fn>
std::string RaisedMessage(Fn fn) {
  try {
    fn();
  } catch (const EVLMException& e) {
    return e.Message();
  }
  return "";
}

// The message of the exception of class E that fn must raise.
template <class E, class Fn>
std::string MessageOf(Fn fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.Message();
  }
  ADD_FAILURE() << "expected exception was not raised";
  return {};
}

}  // namespace qv::test
