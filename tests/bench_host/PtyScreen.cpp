#include "PtyScreen.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace {

std::string Utf8(uint32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// A row pushed off the top; user is the count.
int CountPushedRow(int, const VTermScreenCell*, void* user) {
    ++*static_cast<int*>(user);
    return 1;
}

VTermScreenCallbacks g_callbacks{};

}  // namespace

PtyScreen::PtyScreen(const std::vector<std::string>& argv, int rows, int cols, const std::vector<std::string>& env)
    : rows_(rows), cols_(cols) {
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    pid_ = ::forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ < 0) throw std::runtime_error("forkpty");
    if (pid_ == 0) {
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    vt_ = vterm_new(rows, cols);
    vterm_set_utf8(vt_, 1);
    screen_ = vterm_obtain_screen(vt_);
    g_callbacks.sb_pushline = CountPushedRow;
    vterm_screen_set_callbacks(screen_, &g_callbacks, &scrolled_);
    vterm_screen_reset(screen_, 1);
}

PtyScreen::~PtyScreen() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
    if (vt_) vterm_free(vt_);
}

bool PtyScreen::Pump(std::chrono::milliseconds wait) {
    if (master_ < 0) return false;
    pollfd p{master_, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (n < 0) return errno == EINTR;
    if (n == 0) return true;
    char buf[8192];
    const ssize_t got = ::read(master_, buf, sizeof buf);
    if (got <= 0) {
        // EIO: every holder of the terminal's other side has gone.
        if (got < 0 && errno == EINTR) return true;
        ::close(master_);
        master_ = -1;
        return false;
    }
    raw_.append(buf, static_cast<std::size_t>(got));
    vterm_input_write(vt_, buf, static_cast<std::size_t>(got));
    return true;
}

bool PtyScreen::WaitFor(const std::function<bool(const PtyScreen&)>& done, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done(*this)) {
        if (std::chrono::steady_clock::now() >= end) return false;
        if (!Pump(std::chrono::milliseconds(50))) return done(*this);
    }
    return true;
}

std::vector<std::string> PtyScreen::Rows() const {
    std::vector<std::string> rows;
    for (int r = 0; r < rows_; ++r) {
        std::string line;
        for (int c = 0; c < cols_;) {
            VTermScreenCell cell{};
            vterm_screen_get_cell(screen_, VTermPos{r, c}, &cell);
            if (cell.chars[0] == 0) {
                line += ' ';
            } else {
                for (int k = 0; k < VTERM_MAX_CHARS_PER_CELL && cell.chars[k]; ++k) line += Utf8(cell.chars[k]);
            }
            c += cell.width > 0 ? cell.width : 1;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        rows.push_back(line);
    }
    return rows;
}

std::string PtyScreen::Text() const {
    std::string text;
    for (const auto& r : Rows()) text += r + "\n";
    return text;
}

void PtyScreen::Resize(int rows, int cols) {
    rows_ = rows;
    cols_ = cols;
    vterm_set_size(vt_, rows, cols);
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    // The kernel sends SIGWINCH to the terminal's foreground process group.
    ::ioctl(master_, TIOCSWINSZ, &ws);
}

void PtyScreen::Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

int PtyScreen::Finish(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (Pump(std::chrono::milliseconds(50)))
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            break;
        }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
