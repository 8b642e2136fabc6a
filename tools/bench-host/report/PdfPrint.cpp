#include "report/PdfPrint.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// A browser that neither prints nor exits in this time is stuck; a report
// of a year prints in a few seconds.
constexpr std::chrono::seconds kPrintTimeout{120};

}  // namespace

std::string PrintPdf(const std::string& html_path, const std::string& pdf_path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path html = fs::absolute(html_path, ec);
    const fs::path pdf = fs::absolute(pdf_path, ec);
    const char* env = std::getenv("BENCH_HOST_CHROMIUM");
    const std::string browser = env && *env ? env : "chromium";
    // A fresh profile each time: a browser already open for the user must
    // not take the job over, and nothing of the user's is read.
    char profile_tmpl[] = "/tmp/bench-host-pdf-XXXXXX";
    if (!mkdtemp(profile_tmpl)) return "cannot print the PDF: no temporary folder for the browser";
    const std::string profile = profile_tmpl;
    fs::remove(pdf, ec);
    std::vector<std::string> args = {browser,
                                     "--headless",
                                     "--no-sandbox",  // root in CI and containers has no sandbox to give
                                     "--disable-gpu",
                                     "--no-first-run",
                                     "--user-data-dir=" + profile,
                                     "--no-pdf-header-footer",
                                     "--print-to-pdf=" + pdf.string(),
                                     "file://" + html.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, browser.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    auto cleanup = [&] { fs::remove_all(profile, ec); };
    if (err != 0) {
        cleanup();
        return "cannot print the PDF: cannot start " + browser + " (set BENCH_HOST_CHROMIUM to the browser)";
    }
    const auto deadline = std::chrono::steady_clock::now() + kPrintTimeout;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            cleanup();
            return "cannot print the PDF: " + browser + " did not finish in " + std::to_string(kPrintTimeout.count()) +
                   " s";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    cleanup();
    if (!fs::exists(pdf, ec) || fs::file_size(pdf, ec) == 0)
        return "cannot print the PDF: " + browser + " wrote no " + pdf.string() +
               (WIFEXITED(status) ? " (exit status " + std::to_string(WEXITSTATUS(status)) + ")" : std::string());
    return {};
}
