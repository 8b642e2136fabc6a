#pragma once
// The one way the bench host reaches SQLite: a connection to a history file
// that is opened with the reason a user can act on when it cannot be (no
// such folder, permission denied, is a directory), runs statements and
// small queries, and turns every failure into an SqlError that says whether
// the disk was full.  The history's writer, its reader, the per-minute
// summary and the web page's queries all go through it.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "history/SqlError.h"
#include "history/SqlStatement.h"

struct sqlite3;

class SqlConnection {
public:
    enum class Open {
        kCreate,     // read and write, made if missing
        kReadOnly,   // read only, a write-ahead log beside it read too
        kImmutable,  // read only, as the file stands: no lock, no -shm
    };

    // Throws SqlError "cannot open history PATH: REASON".
    SqlConnection(const std::string& path, Open open);
    // A connection opened elsewhere (a tool's or a test's own), not closed
    // here.
    explicit SqlConnection(sqlite3* borrowed);
    ~SqlConnection();
    SqlConnection(const SqlConnection&) = delete;
    SqlConnection& operator=(const SqlConnection&) = delete;

    sqlite3* get() const { return db_; }
    const std::string& Path() const { return path_; }

    // Runs one or more statements that return no rows.
    void Exec(const std::string& sql);
    SqlStatement Prepare(const std::string& sql) { return SqlStatement(db_, sql); }
    // The first column of the first row of sql, if any and not NULL.
    std::optional<int64_t> Int(const std::string& sql);

    bool HasTable(const std::string& table);
    bool HasColumn(const std::string& table, const std::string& column);
    bool HasRows(const std::string& table);

    // Runs work in a savepoint: all of it or none.
    template <typename Work>
    auto InSavepoint(const char* name, Work work) {
        Exec(std::string("SAVEPOINT ") + name);
        try {
            auto out = work();
            Exec(std::string("RELEASE ") + name);
            return out;
        } catch (...) {
            RollBackTo(name);
            throw;
        }
    }
    // Undoes an open transaction, if any (never throws).
    void RollBack();

    // The reason a file cannot be opened, in the words of the operating
    // system where it has them ("" when nothing is plainly wrong): the folder
    // does not exist, the path is a folder, or permission is denied.
    static std::string WhyNotOpenable(const std::string& path, bool write);

    // The error of the last failed call, as an SqlError to throw.
    SqlError LastError(const std::string& context = std::string()) const;

private:
    void RollBackTo(const char* name);

    std::string path_;
    sqlite3* db_ = nullptr;
    bool owned_ = true;
};
