#pragma once

namespace imgweld {

// Exit codes of the program. The commands return their results (a bool, or
// what -L made of a file); the command line turns them into these codes.
inline constexpr int kExitOk = 0;  // also after the usage banner
inline constexpr int kExitInvalidCommand = 2;
inline constexpr int kExitPackFailed = 3;
inline constexpr int kExitUnpackFailed = 4;

}  // namespace imgweld
