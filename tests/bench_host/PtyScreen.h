#pragma once
// A program run on a pseudo-terminal of a given size, its output played on
// a terminal emulator (libvterm), so a test reads the screen as a user sees
// it: what is on each row, and whether anything scrolled off the top.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct VTerm;
struct VTermScreen;

class PtyScreen {
public:
    // env: "NAME=value" entries set for the program (TERM among them).
    PtyScreen(const std::vector<std::string>& argv, int rows, int cols, const std::vector<std::string>& env);
    ~PtyScreen();
    PtyScreen(const PtyScreen&) = delete;
    PtyScreen& operator=(const PtyScreen&) = delete;

    // Plays what the program wrote within the wait; false once its output
    // has ended.
    bool Pump(std::chrono::milliseconds wait);
    // Plays the output until the screen satisfies done, or the deadline.
    bool WaitFor(const std::function<bool(const PtyScreen&)>& done, std::chrono::milliseconds deadline);

    // The text of every row, trailing blanks removed.
    std::vector<std::string> Rows() const;
    std::string Text() const;        // the rows, one per line
    const std::string& Raw() const { return raw_; }
    int Scrolled() const { return scrolled_; }  // rows pushed off the top so far

    // The terminal gets a new size (the program is told with SIGWINCH).
    void Resize(int rows, int cols);
    void Signal(int sig);
    // Plays the rest of the output and returns the exit status (128 +
    // signal); kills the program at the deadline.
    int Finish(std::chrono::milliseconds deadline);

private:
    pid_t pid_ = -1;
    int master_ = -1;
    int rows_, cols_;
    VTerm* vt_ = nullptr;
    VTermScreen* screen_ = nullptr;
    std::string raw_;
    int scrolled_ = 0;
};
