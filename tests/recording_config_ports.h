// SPDX-License-Identifier: GPL-2.0-or-later
// Recording fake of the port layer: answers reads from a script and logs every call in order,
// together with what the code under test printed in between.
#pragma once

#include <signal.h>

#include <cstdio>
#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "clock/config_ports.h"

class RecordingConfigPorts final : public gma950clock::ConfigPortAccess {
 public:
  explicit RecordingConfigPorts(const std::ostringstream& out) : out_(out) {}

  // Script: whether access is granted, the values successive reads return (nullopt: a read that
  // gets no value; reads beyond the list answer all ones, as an empty slot does), and the reasons
  // successive writes fail with ("" for a write that succeeds; writes beyond the list succeed).
  std::optional<std::string> refusal;
  std::deque<std::optional<std::uint32_t>> readAnswers;
  std::deque<std::string> writeRefusals;

  gma950clock::AccessResult requestPortAccess() override {
    record("ioperm");
    if (refusal) return {false, *refusal};
    return {true, {}};
  }
  void selectConfigRegister(std::uint32_t address) override { record("select " + hex(address)); }
  gma950clock::ReadResult readConfigData() override {
    std::optional<std::uint32_t> value = 0xFFFFFFFFu;
    if (!readAnswers.empty()) {
      value = readAnswers.front();
      readAnswers.pop_front();
    }
    if (!value) {
      record("read failed");
      return {false, 0xFFFFFFFFu, "F: 0 of 4 bytes read"};
    }
    record("read " + hex(*value));
    return {true, *value, {}};
  }
  // A data write notes whether every asynchronous signal that could cut the sequence short was
  // blocked at that moment.
  gma950clock::AccessResult writeConfigData(std::uint32_t value) override {
    std::string refused;
    if (!writeRefusals.empty()) {
      refused = writeRefusals.front();
      writeRefusals.pop_front();
    }
    record("write " + hex(value) + (asyncSignalsBlocked() ? " (signals blocked)" : "") +
           (refused.empty() ? "" : " refused"));
    return {refused.empty(), refused};
  }

  // The log, ending with whatever was printed after the last port operation.
  const std::vector<std::string>& events() {
    notePrinted();
    return events_;
  }

 private:
  static std::string hex(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
  }

  static bool asyncSignalsBlocked() {
    sigset_t current;
    sigprocmask(SIG_BLOCK, nullptr, &current);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) {
      if (sigismember(&current, signal) != 1) return false;
    }
    return true;
  }

  void notePrinted() {
    const std::string printed = out_.str();
    if (printed.size() > printedSoFar_) {
      events_.push_back("print " + printed.substr(printedSoFar_));
      printedSoFar_ = printed.size();
    }
  }

  void record(const std::string& operation) {
    notePrinted();
    events_.push_back(operation);
  }

  const std::ostringstream& out_;
  std::size_t printedSoFar_ = 0;
  std::vector<std::string> events_;
};
