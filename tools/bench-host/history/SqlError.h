#pragma once
// A failed SQLite call: SQLite's reason as the text, its extended result
// code and, for failed I/O, the operating system's errno.  Its own file, so
// that what only catches it needs no connection.
#include <stdexcept>
#include <string>

class SqlError : public std::runtime_error {
public:
    // SQLite's "disk I/O error" gets the operating system's reason added
    // ("No space left on device"), which is the one a user can act on.
    SqlError(int code, const std::string& what, int os_errno = 0);
    int Code() const { return code_; }
    // The file system has no room (or the file may grow no further): what a
    // run waits out, storing nothing, rather than stops for.
    bool NoRoom() const;
    // SQLite found the file damaged, or not a database at all: nothing
    // more should be written to it.
    bool Damaged() const;
    // The same failure, its text put in context ("history PATH: cannot
    // store a record: " + what()).
    SqlError Told(const std::string& context) const;

private:
    int code_;
    int os_errno_;
};
