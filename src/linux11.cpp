// SPDX-License-Identifier: GPL-2.0-or-later
// gma950clock: the console dialogue that picks a GMA 950 core clock setting and applies it.
#include <cstdlib>
#include <iostream>
#include <string>

#include "clock/clock_settings.h"
#include "clock/config_ports.h"

namespace gma950clock {
namespace {

// Exit statuses; 2 (a malformed simulation environment) comes from the backend's setup.
constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;
constexpr int kExitBackendSetupFailed = 2;

const std::string kRule(74, '*');

void writeBanner(std::ostream& out) {
  out << '\n'
      << kRule << '\n'
      << "gma950clock - Intel(R) GMA 950 graphics core clock switch for Linux\n"
      << kRule << '\n'
      << '\n'
      << "Sets the graphics core clock to 400, 250 or 200 MHz.\n"
      << "Run it as root; the clock returns to its default on resume from standby.\n";
}

void writeMenu(std::ostream& out) {
  out << '\n'
      << "Hit '4' followed by 'Enter' to set Intel(R) GMA 950 core clock to 400 MHz\n"
      << "Hit '3' followed by 'Enter' to set Intel(R) GMA 950 core clock to 250 MHz\n"
      << "Hit '2' followed by 'Enter' to set Intel(R) GMA 950 core clock to 200 MHz\n"
      << '\n'
      << "Hit any different digit or letter followed by 'Enter' to exit\n"
      << '\n'
      << "> ";
}

void writeClosing(std::ostream& out, bool applied) {
  out << '\n'
      << kRule << '\n'
      << (applied ? "Exiting. Note: on return from standby the setting will be reset to default \n"
                  : "Exiting. No setting has been applied \n")
      << kRule << "\n\n";
}

// Argument mode: the one argument names the setting; a wrong one is answered, not applied.
const ClockSetting* selectFromArgument(const char* argument, std::ostream& out) {
  const ClockSetting* selection = findClockSettingByArgument(argument);
  writeBanner(out);
  if (selection == nullptr) {
    out << '\n'
        << argument << " is a wrong command line argument!\nCorrect values are: 400, 250, 200\n";
  }
  return selection;
}

// Interactive mode: the first non-blank character typed is the answer; the rest stays unread.
const ClockSetting* selectFromMenu(std::istream& in, std::ostream& out) {
  // Whether the terminal could be cleared makes no difference to what follows. With
  // _FORTIFY_SOURCE, as distributions build, glibc marks system() warn_unused_result, which GCC
  // does not let a cast to void quiet.
  [[maybe_unused]] const int cleared = std::system("clear");
  writeBanner(out);
  writeMenu(out);
  out.flush();
  char answer = 0;
  if (!(in >> answer)) return nullptr;
  return findClockSettingByKey(answer);
}

int runConsoleDialogue(int argc, char* argv[], ConfigPortAccess& ports, std::istream& in,
                       std::ostream& out, std::ostream& err) {
  const ClockSetting* selection =
      argc == 2 ? selectFromArgument(argv[1], out) : selectFromMenu(in, out);
  const bool applied = selection != nullptr && applyClockSetting(*selection, ports, out, err);
  writeClosing(out, applied);
  out.flush();
  return selection == nullptr || applied ? kExitDone : kExitRefused;
}

}  // namespace
}  // namespace gma950clock

int main(int argc, char* argv[]) {
  std::unique_ptr<gma950clock::ConfigPortAccess> ports =
      gma950clock::openPlatformConfigPorts(std::cerr);
  if (!ports) return gma950clock::kExitBackendSetupFailed;
  return gma950clock::runConsoleDialogue(argc, argv, *ports, std::cin, std::cout, std::cerr);
}
