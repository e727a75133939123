#pragma once

#include "convert/report.h"

/// A console that keeps what is written to it, for the tests to compare.
class StringConsole : public ConsoleSink {
 public:
  void Write(const NativeString& text) override { text_ += text; }
  NativeString text_;
};
