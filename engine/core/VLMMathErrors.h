// The host run-time's arithmetic errors, as the value operations raise them:
// integer overflow and division by zero of the integer forms, and the
// overflow, division-by-zero and invalid-operation errors of the floating
// point forms. Integer overflow, division by zero and NaN are always checked
// before the operation, so none of them reaches undefined behaviour.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include "platform/host/Exception.h"

class EIntOverflow : public qv::Exception {
public:
  EIntOverflow() : qv::Exception("Integer overflow") {}
};

class EDivByZero : public qv::Exception {
public:
  EDivByZero() : qv::Exception("Division by zero") {}
};

class EOverflow : public qv::Exception {
public:
  EOverflow() : qv::Exception("Floating point overflow") {}
};

class EZeroDivide : public qv::Exception {
public:
  EZeroDivide() : qv::Exception("Floating point division by zero") {}
};

class EInvalidOp : public qv::Exception {
public:
  EInvalidOp() : qv::Exception("Invalid floating point operation") {}
};
