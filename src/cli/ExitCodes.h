#pragma once

namespace imgweld {

// Exit codes of the program. The commands return their results (a bool, or
// what -L made of a file); the command line turns them into these codes.
inline constexpr int kExitOk = 0;  // also after the banner for no arguments
inline constexpr int kExitInvalidCommand = 2;
// A known command word with arguments missing or left over.
inline constexpr int kExitUsageFault = 2;
inline constexpr int kExitPackFailed = 3;
inline constexpr int kExitUnpackFailed = 4;

}  // namespace imgweld
