#include "history/SqlError.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>

SqlError::SqlError(int code, const std::string& what, int os_errno)
    : std::runtime_error((code & 0xFF) == SQLITE_IOERR && os_errno != 0 && what.find(std::strerror(os_errno)) == std::string::npos
                             ? what + " (" + std::strerror(os_errno) + ")"
                             : what),
      code_(code),
      os_errno_(os_errno) {}

bool SqlError::NoRoom() const {
    if ((code_ & 0xFF) == SQLITE_FULL) return true;
    return (code_ & 0xFF) == SQLITE_IOERR && (os_errno_ == ENOSPC || os_errno_ == EDQUOT || os_errno_ == EFBIG);
}

bool SqlError::Damaged() const { return (code_ & 0xFF) == SQLITE_CORRUPT || (code_ & 0xFF) == SQLITE_NOTADB; }

SqlError SqlError::Told(const std::string& context) const { return SqlError(code_, context + what(), os_errno_); }
