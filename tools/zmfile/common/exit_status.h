// The exit statuses of zmfile, shared by the commands and the server module.
#ifndef ZIMRAX_TOOLS_ZMFILE_COMMON_EXIT_STATUS_H_
#define ZIMRAX_TOOLS_ZMFILE_COMMON_EXIT_STATUS_H_

namespace zimrax::zmfile {

inline constexpr int kExitOk = 0;
inline constexpr int kExitErrorCode = 1;  // the operation reported a non-zero ErrorCode
inline constexpr int kExitUsage = 2;      // bad arguments, an unreadable body, a server that cannot start
inline constexpr int kExitFault = 3;      // the operation faulted

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_COMMON_EXIT_STATUS_H_
