// SPDX-License-Identifier: GPL-2.0-or-later
// Clock programming against a recording fake: port order, reports, refusals and setting lookup.
#include "clock/clock_settings.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>

#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "recording_config_ports.h"

namespace {

using gma950clock::applyClockSetting;
using gma950clock::ClockSetting;
using gma950clock::findClockSettingByArgument;
using gma950clock::findClockSettingByKey;

const char* const kHacking = "print \nHacking hardware registers now...\n\n";

const ClockSetting& settingFor(unsigned megahertz) {
  for (const ClockSetting& setting : gma950clock::getClockSettings()) {
    if (setting.megahertz == megahertz) return setting;
  }
  throw std::invalid_argument("no such setting");
}

struct SequenceCase {
  unsigned megahertz;
  std::vector<std::string> events;
};

class ApplySequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(ApplySequence, IdentifiesThenWritesBothValuesWithReportsBetween) {
  std::ostringstream out;
  std::ostringstream err;
  RecordingConfigPorts ports(out);
  ports.readAnswers = {0x27A28086u, 0x34640534u, 0x12345678u};

  EXPECT_TRUE(applyClockSetting(settingFor(GetParam().megahertz), ports, out, err));

  EXPECT_EQ(ports.events(), GetParam().events);
  EXPECT_EQ(err.str(), "");
}

// Up to the first report: access, the identity of a 945GM, register 0xF0 reading 0x34640534.
std::vector<std::string> identifiedAndFirstReport(std::vector<std::string> after) {
  std::vector<std::string> events = {kHacking,          "ioperm",          "select 80001000",
                                     "read 27a28086",   "select 800010f0", "read 34640534",
                                     "print 34d0e729\n"};
  events.insert(events.end(), after.begin(), after.end());
  return events;
}

std::vector<std::string> expectedSequence(const char* finalValue, const char* completion) {
  return identifiedAndFirstReport({"select 800010f0", "write 34646000 (signals blocked)",
                                   "select 800010f0",
                                   std::string("write ") + finalValue + " (signals blocked)",
                                   "select 800010f0", "read 12345678",
                                   std::string("print 1280b465\n\n") + completion});
}

INSTANTIATE_TEST_SUITE_P(
    EachSetting, ApplySequence,
    ::testing::Values(
        SequenceCase{400, expectedSequence(
                              "34640533", "Done - GMA 950 should now be running at a speed of 400 MHz\n")},
        SequenceCase{250, expectedSequence(
                              "34640531", "Done - GMA 950 should now be running at a speed of 250 MHz\n")},
        SequenceCase{200, expectedSequence(
                              "34640534", "Done - GMA 950 should now be running at a speed of 200 MHz\n")}));

struct ReportCase {
  std::uint32_t before;
  std::uint32_t after;
  std::string printed;  // both masked reports as they appear
};

class MaskedReports : public ::testing::TestWithParam<ReportCase> {};

// The read-back is printed, never judged: whatever it shows, the completion line follows.
TEST_P(MaskedReports, PrintLowercaseHexWithoutLeadingZerosAndAlwaysComplete) {
  std::ostringstream out;
  std::ostringstream err;
  RecordingConfigPorts ports(out);
  ports.readAnswers = {0x27AE8086u, GetParam().before, GetParam().after};

  EXPECT_TRUE(applyClockSetting(settingFor(250), ports, out, err));

  EXPECT_EQ(out.str(), "\nHacking hardware registers now...\n\n" + GetParam().printed +
                           "Done - GMA 950 should now be running at a speed of 250 MHz\n");
}

INSTANTIATE_TEST_SUITE_P(
    ReadValues, MaskedReports,
    ::testing::Values(ReportCase{0x00000000u, 0x34640531u, "b4e21d\n34d0e72c\n\n"},
                      ReportCase{0x00B4E21Du, 0x00B4E21Cu, "0\n1\n\n"},
                      ReportCase{0xFFFFFFFEu, 0xFFFFFFFEu, "ff4b1de3\nff4b1de3\n\n"},
                      ReportCase{0x34640533u, 0x34646000u, "34d0e72e\n34d0821d\n\n"}));

// The caller's number format neither shapes the report nor is changed by it.
TEST(ReportFormat, LeavesTheCallersStreamFormatAsItWas) {
  struct FormatCase {
    std::ios_base::fmtflags flags;
    const char* laterOutput;
  };
  for (const FormatCase& format : {FormatCase{std::ios_base::dec, "255"},
                                   FormatCase{std::ios_base::hex | std::ios_base::uppercase |
                                                  std::ios_base::showbase,
                                              "0XFF"}}) {
    std::ostringstream out;
    std::ostringstream err;
    out.flags(format.flags);
    RecordingConfigPorts ports(out);
    ports.readAnswers = {0x27728086u, 0x34640534u, 0x34640533u};

    ASSERT_TRUE(applyClockSetting(settingFor(400), ports, out, err));
    out << 255;

    EXPECT_EQ(out.str(),
              "\nHacking hardware registers now...\n\n34d0e729\n34d0e72e\n\n"
              "Done - GMA 950 should now be running at a speed of 400 MHz\n" +
                  std::string(format.laterOutput));
  }
}

TEST(RefusedAccess, StopsBeforeAnyPortOperationWithOneLine) {
  std::ostringstream out;
  std::ostringstream err;
  RecordingConfigPorts ports(out);
  ports.refusal = "I/O ports 0xCF8-0xCFF: Operation not permitted; run it as root";

  EXPECT_FALSE(applyClockSetting(settingFor(400), ports, out, err));

  EXPECT_EQ(ports.events(), (std::vector<std::string>{kHacking, "ioperm"}));
  EXPECT_EQ(err.str(),
            "gma950clock: cannot access I/O ports 0xCF8-0xCFF: Operation not permitted; run it as "
            "root\n");
}

// Each refusal names the cause the user can act on, and lockdown only where its state says so;
// an error nobody foresaw gets strerror alone.
TEST(Refusal, NamesOnlyTheCausesTheKernelLeavesOpen) {
  using gma950clock::Lockdown;
  using Describe = std::string (*)(int, const gma950clock::ProcessPrivileges&);
  const Describe ports = gma950clock::describePortRefusal;
  const Describe file = gma950clock::describeConfigFileRefusal;
  const Lockdown none = Lockdown::kNone;
  const Lockdown unknown = Lockdown::kUnknown;
  const Lockdown locked = Lockdown::kLockedDown;
  struct RefusalCase {
    Describe describe;
    int error;
    gma950clock::ProcessPrivileges privileges;  // root, CAP_SYS_RAWIO, initial namespace, lockdown
    const char* reason;
  };
  for (const RefusalCase& c : {
           RefusalCase{ports, ENOSYS, {true, true, true, locked},
                       "Function not implemented; this kernel was built without ioperm "
                       "(CONFIG_X86_IOPL_IOPERM)"},
           RefusalCase{ports, EPERM, {false, false, true, unknown}, "Operation not permitted; run it as root"},
           RefusalCase{ports, EPERM, {true, false, true, none},
                       "Operation not permitted; the process lacks CAP_SYS_RAWIO (container or "
                       "service sandbox?)"},
           RefusalCase{ports, EPERM, {true, true, true, locked},
                       "Operation not permitted; the kernel is locked down (Secure Boot?)"},
           RefusalCase{ports, EPERM, {false, false, true, locked},
                       "Operation not permitted; the kernel is locked down (Secure Boot?)"},
           RefusalCase{ports, EPERM, {true, true, true, none},
                       "Operation not permitted; a security module or a system-call filter refused it"},
           RefusalCase{ports, EPERM, {true, true, true, unknown},
                       "Operation not permitted; kernel lockdown, a security module or a system-call "
                       "filter refused it"},
           RefusalCase{ports, EPERM, {true, true, false, unknown},
                       "Operation not permitted; the process has CAP_SYS_RAWIO only in a user "
                       "namespace of its own (container?)"},
           RefusalCase{ports, EINVAL, {true, true, true, none}, "Invalid argument"},
           RefusalCase{file, EACCES, {false, false, true, none}, "Permission denied; run it as root"},
           RefusalCase{file, EACCES, {true, false, true, none}, "Permission denied"},
           RefusalCase{file, EROFS, {true, false, true, none},
                       "Read-only file system; /sys is mounted read-only (container or service "
                       "sandbox?)"},
           RefusalCase{file, EPERM, {true, false, true, locked},
                       "Operation not permitted; the kernel is locked down (Secure Boot?)"},
           RefusalCase{file, EPERM, {true, false, true, none},
                       "Operation not permitted; a security module or a system-call filter refused it"},
           RefusalCase{file, EPERM, {true, false, false, unknown},
                       "Operation not permitted; kernel lockdown, a security module or a system-call "
                       "filter refused it"},
           RefusalCase{file, EIO, {true, false, true, locked}, "Input/output error"}}) {
    EXPECT_EQ(c.describe(c.error, c.privileges), c.reason)
        << (c.describe == ports ? "ports" : "file") << ", errno " << c.error << ", root "
        << c.privileges.root << ", CAP_SYS_RAWIO " << c.privileges.rawioEffective
        << ", initial namespace " << c.privileges.initialUserNamespace << ", lockdown "
        << static_cast<int>(c.privileges.lockdown);
  }
}

struct FailureCase {
  const char* name;
  std::deque<std::optional<std::uint32_t>> reads;  // nullopt: the read gets no value
  std::deque<std::string> writeRefusals;
  std::vector<std::string> events;
  std::string err;
  std::string out;  // after the opening message
};

std::ostream& operator<<(std::ostream& stream, const FailureCase& c) { return stream << c.name; }

std::vector<std::string> opened(std::vector<std::string> events) {
  events.insert(events.begin(), kHacking);
  return events;
}

class Failure : public ::testing::TestWithParam<FailureCase> {};

// A value that was not read is neither reported nor written back, and before the writes it stops
// the run. A write that fails never leaves the intermediate value behind: the value read before
// is written back, and the report shows what the register holds.
TEST_P(Failure, ReportsOnlyWhatWasReadAndPutsTheRegisterBack) {
  std::ostringstream out;
  std::ostringstream err;
  RecordingConfigPorts ports(out);
  ports.readAnswers = GetParam().reads;
  ports.writeRefusals = GetParam().writeRefusals;

  EXPECT_FALSE(applyClockSetting(settingFor(400), ports, out, err));

  EXPECT_EQ(ports.events(), GetParam().events);
  EXPECT_EQ(err.str(), GetParam().err);
  EXPECT_EQ(out.str(), "\nHacking hardware registers now...\n\n" + GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    ReadsAndWrites, Failure,
    ::testing::Values(
        FailureCase{"IdentityUnread",
                    {std::nullopt},
                    {},
                    opened({"ioperm", "select 80001000", "read failed"}),
                    "gma950clock: cannot read the identity of PCI 00:02.0: F: 0 of 4 bytes read; "
                    "nothing was changed\n",
                    ""},
        FailureCase{"ClockRegisterShort",
                    {0x27A28086u, std::nullopt},
                    {},
                    opened({"ioperm", "select 80001000", "read 27a28086", "select 800010f0", "read failed"}),
                    "gma950clock: cannot read the clock register: F: 0 of 4 bytes read; nothing was "
                    "changed\n",
                    ""},
        FailureCase{"ClockRegisterAllOnes",
                    {0x27A28086u, 0xFFFFFFFFu},
                    {},
                    opened({"ioperm", "select 80001000", "read 27a28086", "select 800010f0", "read ffffffff"}),
                    "gma950clock: cannot read the clock register: register 0xF0 of PCI 00:02.0 reads "
                    "as all ones; nothing was changed\n",
                    ""},
        FailureCase{"ReadBackUnread",
                    {0x27A28086u, 0x34640534u, std::nullopt},
                    {},
                    identifiedAndFirstReport({"select 800010f0", "write 34646000 (signals blocked)",
                                              "select 800010f0", "write 34640533 (signals blocked)",
                                              "select 800010f0", "read failed"}),
                    "gma950clock: cannot read the clock register back: F: 0 of 4 bytes read\n",
                    "34d0e729\n"},
        FailureCase{"IntermediateRefused",
                    {0x27A28086u, 0x34640534u},
                    {"F: Operation not permitted; the kernel is locked down (Secure Boot?)"},
                    identifiedAndFirstReport({"select 800010f0", "write 34646000 (signals blocked) refused"}),
                    "gma950clock: cannot write the clock register: F: Operation not permitted; the "
                    "kernel is locked down (Secure Boot?); nothing was changed\n",
                    "34d0e729\n"},
        FailureCase{"SettingRefusedThenWrittenBack",
                    {0x27A28086u, 0x34640534u, 0x34640534u},
                    {"", "F: Input/output error"},
                    identifiedAndFirstReport({"select 800010f0", "write 34646000 (signals blocked)",
                                              "select 800010f0", "write 34640533 (signals blocked) refused",
                                              "select 800010f0", "write 34640534 (signals blocked)",
                                              "select 800010f0", "read 34640534", "print 34d0e729\n"}),
                    "gma950clock: cannot write the clock register: F: Input/output error; the value "
                    "read before was written back\n",
                    "34d0e729\n34d0e729\n"},
        // The intermediate value stays, and is what the register reads back.
        FailureCase{"SettingAndWriteBackRefused",
                    {0x27A28086u, 0x34640534u, 0x34646000u},
                    {"", "F: Input/output error", "F: No such device"},
                    identifiedAndFirstReport({"select 800010f0", "write 34646000 (signals blocked)",
                                              "select 800010f0", "write 34640533 (signals blocked) refused",
                                              "select 800010f0", "write 34640534 (signals blocked) refused",
                                              "select 800010f0", "read 34646000", "print 34d0821d\n"}),
                    "gma950clock: cannot write the clock register: F: Input/output error; writing back "
                    "the value read before failed too: F: No such device\n",
                    "34d0e729\n34d0821d\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct IdentityCase {
  std::uint32_t identity;
  const char* refusal;  // nullptr: a GMA 950, programmed as usual
};

class DeviceIdentity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(DeviceIdentity, OnlyAGma950IsWritten) {
  std::ostringstream out;
  std::ostringstream err;
  RecordingConfigPorts ports(out);
  ports.readAnswers = {GetParam().identity, 0x34640534u, 0x34640533u};

  const bool applied = applyClockSetting(settingFor(400), ports, out, err);

  if (GetParam().refusal == nullptr) {
    EXPECT_TRUE(applied);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(ports.events().size(), 14u);
  } else {
    char identity[9];
    std::snprintf(identity, sizeof identity, "%08x", static_cast<unsigned>(GetParam().identity));
    EXPECT_FALSE(applied);
    EXPECT_EQ(ports.events(), (std::vector<std::string>{kHacking, "ioperm", "select 80001000",
                                                        std::string("read ") + identity}));
    EXPECT_EQ(err.str(), std::string("gma950clock: the device at PCI 00:02.0 is ") +
                             GetParam().refusal +
                             ", not an Intel(R) GMA 950; nothing was changed\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Identities, DeviceIdentity,
    ::testing::Values(IdentityCase{0x27728086u, nullptr}, IdentityCase{0x27A28086u, nullptr},
                      IdentityCase{0x27AE8086u, nullptr},
                      IdentityCase{0x10421AF4u, "1af4:1042"},   // virtio disk
                      IdentityCase{0x27A38086u, "8086:27a3"},   // Intel, but not graphics
                      IdentityCase{0x2A028086u, "8086:2a02"},   // a later Intel graphics core
                      IdentityCase{0x27A28087u, "8087:27a2"},   // right device id, wrong vendor
                      IdentityCase{0xFFFFFFFFu, "ffff:ffff"},   // nothing at 00:02.0
                      IdentityCase{0x00000000u, "0000:0000"}));

TEST(AsyncSignals, AreDeliverableAgainAfterTheWrites) {
  std::ostringstream out;
  std::ostringstream err;
  RecordingConfigPorts ports(out);
  ports.readAnswers = {0x27A28086u, 0x34640534u, 0x34640533u};

  ASSERT_TRUE(applyClockSetting(settingFor(400), ports, out, err));

  sigset_t current;
  sigprocmask(SIG_BLOCK, nullptr, &current);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) {
    EXPECT_EQ(sigismember(&current, signal), 0) << "signal " << signal << " left blocked";
  }
}

TEST(SettingLookup, ArgumentsMatchOnlyAsWholeStrings) {
  struct ArgumentCase {
    const char* argument;
    unsigned megahertz;  // 0: no setting
  };
  for (const ArgumentCase& c : {ArgumentCase{"400", 400}, ArgumentCase{"250", 250},
                                ArgumentCase{"200", 200}, ArgumentCase{"4000", 0},
                                ArgumentCase{"40", 0}, ArgumentCase{"0400", 0},
                                ArgumentCase{" 400", 0}, ArgumentCase{"400 ", 0},
                                ArgumentCase{"4", 0}, ArgumentCase{"", 0}}) {
    const ClockSetting* setting = findClockSettingByArgument(c.argument);
    EXPECT_EQ(setting == nullptr ? 0u : setting->megahertz, c.megahertz)
        << "argument '" << c.argument << "'";
  }
}

TEST(SettingLookup, KeysSelectTheirSpeedAndNothingElse) {
  struct KeyCase {
    char key;
    unsigned megahertz;  // 0: no setting
  };
  for (const KeyCase& c : {KeyCase{'4', 400}, KeyCase{'3', 250}, KeyCase{'2', 200},
                           KeyCase{'1', 0}, KeyCase{'5', 0}, KeyCase{'0', 0}, KeyCase{'q', 0},
                           KeyCase{'.', 0}, KeyCase{'\0', 0}}) {
    const ClockSetting* setting = findClockSettingByKey(c.key);
    EXPECT_EQ(setting == nullptr ? 0u : setting->megahertz, c.megahertz)
        << "key '" << c.key << "'";
  }
}

}  // namespace
